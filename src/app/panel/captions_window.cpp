#include "app/panel/captions_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace quendra {
namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// What was said: smaller and grey, above the translation.
QLabel* saidLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(palette);
    return label;
}

QLabel* translatedLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.25);
    label->setFont(font);
    return label;
}

QString joined(const std::vector<CaptionLine>& lines) {
    QStringList texts;
    for (const auto& line : lines) texts << qs(line.final ? line.text : line.text + " …");
    return texts.join('\n');
}

}  // namespace

CaptionsWindow::CaptionsWindow(std::shared_ptr<AppModel> model, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), model_(std::move(model)) {
    setObjectName("captions");
    setWindowTitle(QStringLiteral("Sottotitoli"));
    auto* column = new QVBoxLayout(this);

    column->addWidget(heading(QStringLiteral("Gli altri"), this));
    listenSaid_ = saidLabel("listenSaid", this);
    listenTranslated_ = translatedLabel("listenTranslated", this);
    column->addWidget(listenSaid_);
    column->addWidget(listenTranslated_);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    column->addWidget(line);

    column->addWidget(heading(QStringLiteral("Io"), this));
    speakSaid_ = saidLabel("speakSaid", this);
    speakTranslated_ = translatedLabel("speakTranslated", this);
    column->addWidget(speakSaid_);
    column->addWidget(speakTranslated_);
    column->addStretch(1);

    auto* row = new QHBoxLayout;
    saveResult_ = new QLabel(this);
    saveResult_->setObjectName("saveResult");
    saveResult_->setWordWrap(true);
    saveButton_ = new QPushButton(QStringLiteral("Salva i sottotitoli…"), this);
    saveButton_->setObjectName("saveCaptions");
    connect(saveButton_, &QPushButton::clicked, this, &CaptionsWindow::chooseAndSave);
    row->addWidget(saveResult_, 1);
    row->addWidget(saveButton_);
    column->addLayout(row);

    setMinimumSize(280, 180);
    resize(520, 300);

    observer_ = model_->observe([this](AppProperty property) { redraw(property); });
    redrawLines();
    redrawSave();
    setVisible(model_->settings().captions);
}

CaptionsWindow::~CaptionsWindow() { model_->unobserve(observer_); }

void CaptionsWindow::redraw(AppProperty property) {
    switch (property) {
        case AppProperty::captions: redrawLines(); redrawSave(); break;
        case AppProperty::running: redrawSave(); break;
        case AppProperty::settings:
            if (model_->settings().captions != isVisible()) setVisible(model_->settings().captions);
            break;
        default: break;
    }
}

void CaptionsWindow::redrawLines() {
    const Captions& captions = model_->captions();
    listenSaid_->setText(joined(captions.last("listen", TranscriptKind::input, linesShown)));
    listenTranslated_->setText(joined(captions.last("listen", TranscriptKind::output, linesShown)));
    speakSaid_->setText(joined(captions.last("speak", TranscriptKind::input, linesShown)));
    speakTranslated_->setText(joined(captions.last("speak", TranscriptKind::output, linesShown)));
}

// Saving is for a finished run.
void CaptionsWindow::redrawSave() {
    saveButton_->setEnabled(!model_->running() && !model_->captions().empty());
    if (model_->running()) saveResult_->clear();
}

void CaptionsWindow::chooseAndSave() {
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Salva i sottotitoli"),
                                                      QDir::home().filePath(QStringLiteral("sottotitoli.srt")),
                                                      QStringLiteral("Sottotitoli SRT (*.srt)"));
    if (!path.isEmpty()) saveTo(path.toStdString());
}

void CaptionsWindow::saveTo(const std::string& srtPath) {
    if (auto error = model_->saveCaptions(srtPath)) {
        saveResult_->setText(qs(*error));
    } else {
        saveResult_->setText(QStringLiteral("Salvati (SRT e testo)."));
    }
}

void CaptionsWindow::closeEvent(QCloseEvent* event) {
    // Closing is switching captions off; the setting hides the window.
    event->ignore();
    Settings next = model_->settings();
    next.captions = false;
    model_->setSettings(std::move(next));
}

}  // namespace quendra
