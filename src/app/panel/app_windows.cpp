#include "app/panel/app_windows.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFile>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include "app/panel/captions_window.h"
#include "app/panel/panel_view.h"

namespace quendra {

MainWindow::MainWindow(std::shared_ptr<AppModel> model, bool hasTray, QWidget* parent)
    : QWidget(parent), model_(std::move(model)), hasTray_(hasTray) {
    setWindowTitle(QStringLiteral("Ombrix"));
    setObjectName("main");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    panel_ = new PanelView(model_, this);
    layout->addWidget(panel_);
    connect(panel_, &PanelView::quitRequested, this, &MainWindow::quitRequested);
    // The window follows the panel: fixed width, height within the panel's range.
    setFixedWidth(PanelView::widthDip);
    setMinimumHeight(PanelView::minHeightDip);
    setMaximumHeight(PanelView::maxHeightDip);
    resize(PanelView::widthDip, PanelView::idealHeightDip);
    // A window of its own, not a child: it stays up while this one is hidden in the tray.
    QPointer<CaptionsWindow> captions = new CaptionsWindow(model_);
    connect(this, &QObject::destroyed, [captions] { delete captions.data(); });
}

void MainWindow::bringToFront() {
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (hasTray_) {
        // The tray panel stays; translation goes on.
        hide();
        event->ignore();
        return;
    }
    event->accept();
    model_->stop("");
    emit quitRequested();
}

TrayPanel::TrayPanel(std::shared_ptr<AppModel> model, MainWindow* window, QObject* parent)
    : QObject(parent), model_(std::move(model)), window_(window), tray_(new QSystemTrayIcon(this)), menu_(new QMenu) {
    tray_->setToolTip(QStringLiteral("Ombrix"));
    menu_->addAction(QStringLiteral("Apri Ombrix"), window_, &MainWindow::bringToFront);
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Esci"), this, [this] {
        model_->stop("");
        emit quitRequested();
    });
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) togglePanel();
    });
    observer_ = model_->observe([this](AppProperty property) {
        if (property == AppProperty::running) updateIcon();
    });
    updateIcon();
    tray_->show();
}

TrayPanel::~TrayPanel() {
    model_->unobserve(observer_);
    delete popup_;
    delete menu_;
}

QIcon TrayPanel::stateIcon(bool running, const QColor& color) {
    QFile file(running ? QStringLiteral(":/ombrix/tray-active.svg") : QStringLiteral(":/ombrix/tray-idle.svg"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    // Drawn in the desktop's text colour, so the icon shows on light and dark panels alike.
    QByteArray svg = file.readAll();
    svg.replace("#000", color.name().toLatin1());
    QSvgRenderer renderer(svg);
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void TrayPanel::updateIcon() {
    tray_->setIcon(stateIcon(model_->running(), QApplication::palette().color(QPalette::WindowText)));
}

void TrayPanel::togglePanel() {
    if (popup_ && popup_->isVisible()) {
        popup_->hide();
        return;
    }
    if (!popup_) {
        popup_ = new QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        popup_->setObjectName("trayPanel");
        popup_->setWindowTitle(QStringLiteral("Ombrix"));
        auto* layout = new QVBoxLayout(popup_);
        layout->setContentsMargins(1, 1, 1, 1);
        auto* panel = new PanelView(model_, popup_);
        layout->addWidget(panel);
        connect(panel, &PanelView::quitRequested, this, &TrayPanel::quitRequested);
        popup_->resize(PanelView::widthDip + 2, PanelView::idealHeightDip + 2);
    }
    // Near the icon when the tray says where it is (StatusNotifierItem hosts often do not): else
    // near the pointer, which has just clicked the icon. Kept on the screen.
    QRect anchor = tray_->geometry();
    if (!anchor.isValid()) anchor = QRect(QCursor::pos(), QSize(1, 1));
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    const QSize size = popup_->size();
    int x = anchor.center().x() - size.width() / 2;
    int y = anchor.bottom() + 4;
    if (y + size.height() > area.bottom()) y = anchor.top() - size.height() - 4;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
    popup_->move(x, y);
    popup_->show();
    popup_->raise();
    popup_->activateWindow();
}

}  // namespace quendra
