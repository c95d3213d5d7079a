// The application's two places: the main window and, where the desktop has a tray, a tray icon
// whose click opens a small frameless panel; each shows its own PanelView of the shared model.
// Without a tray the main window is the whole interface and closing it quits (after stopping).
//
// Threading: UI thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <memory>

#include "app/model/app_model.h"

class QSystemTrayIcon;
class QMenu;

namespace quendra {

class PanelView;

class MainWindow final : public QWidget {
    Q_OBJECT

public:
    MainWindow(std::shared_ptr<AppModel> model, bool hasTray, QWidget* parent = nullptr);
    PanelView* panel() const { return panel_; }
    // Shows, raises and focuses the window.
    void bringToFront();

signals:
    void quitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<AppModel> model_;
    bool hasTray_;
    PanelView* panel_;
};

class TrayPanel final : public QObject {
    Q_OBJECT

public:
    TrayPanel(std::shared_ptr<AppModel> model, MainWindow* window, QObject* parent = nullptr);
    ~TrayPanel() override;

    // The icon for the running state: a filled circle while translating, an outline otherwise,
    // drawn in `color`.
    static QIcon stateIcon(bool running, const QColor& color);
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // Opens the panel near the icon, or closes it when open.
    void togglePanel();
    QWidget* panelWindow() const { return popup_; }

signals:
    void quitRequested();

private:
    void updateIcon();

    std::shared_ptr<AppModel> model_;
    MainWindow* window_;
    QSystemTrayIcon* tray_;
    QMenu* menu_;
    QPointer<QWidget> popup_;
    std::uint64_t observer_ = 0;
};

}  // namespace quendra
