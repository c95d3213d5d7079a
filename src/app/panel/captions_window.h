// The captions window: a small window over the others that shows, for each direction, the last
// lines of what was said and of its translation as the links transcribe them, the line in
// progress updating in place. It is open while the "Sottotitoli" setting is on; closing it turns
// the setting off. After a run its captions can be saved as SRT and text.
//
// Threading: UI thread only, like the model.
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

#include "app/model/app_model.h"

class QLabel;
class QPushButton;

namespace quendra {

class CaptionsWindow final : public QWidget {
    Q_OBJECT

public:
    static constexpr std::size_t linesShown = 3;  // per direction and kind

    explicit CaptionsWindow(std::shared_ptr<AppModel> model, QWidget* parent = nullptr);
    ~CaptionsWindow() override;

    // Saves the captions to `srtPath` (and the text beside it) and shows the outcome.
    void saveTo(const std::string& srtPath);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void redraw(AppProperty property);
    void redrawLines();
    void redrawSave();
    void chooseAndSave();

    std::shared_ptr<AppModel> model_;
    std::uint64_t observer_ = 0;
    QLabel* listenSaid_ = nullptr;
    QLabel* listenTranslated_ = nullptr;
    QLabel* speakSaid_ = nullptr;
    QLabel* speakTranslated_ = nullptr;
    QPushButton* saveButton_ = nullptr;
    QLabel* saveResult_ = nullptr;
};

}  // namespace quendra
