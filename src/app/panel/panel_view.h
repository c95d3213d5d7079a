// The control panel: one column of controls over the shared application model. It reads the
// model's properties, writes settings back through it and calls its operations; its only own
// state is whether the settings are expanded and the e-mail and code being typed. The main
// window and the tray panel each show an instance.
//
// Threading: UI thread only, like the model.
#pragma once

#include <QScrollArea>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/model/app_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QToolButton;
class QVBoxLayout;
class QWidget;

namespace quendra {

class PanelView final : public QScrollArea {
    Q_OBJECT

public:
    static constexpr int widthDip = 340;
    static constexpr int minHeightDip = 320;
    static constexpr int idealHeightDip = 640;
    static constexpr int maxHeightDip = 900;

    explicit PanelView(std::shared_ptr<AppModel> model, QWidget* parent = nullptr);
    ~PanelView() override;

    QSize sizeHint() const override;

    bool showSettings() const { return showSettings_; }
    const std::string& email() const { return email_; }
    const std::string& code() const { return code_; }

signals:
    // "Esci": translation has been stopped; the application should quit now.
    void quitRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void build();
    void redraw(AppProperty property);
    void redrawAll();
    void redrawHeader();
    void redrawAccount();
    void redrawPickers();
    void redrawStatus();
    void redrawSettingsValues();
    void editSettings(const std::function<void(Settings&)>& change);
    // Choosing an option of `box` writes its value into `field` of the settings.
    void bindPicker(QComboBox* box, std::string Settings::*field);
    void startOrStop();
    void elideAccountLine();
    // The own keys and the monthly limit in "Avanzate", the month's spend and its question
    // (panel_extras.cpp).
    void buildOwnKeys(QVBoxLayout* box, QWidget* parent);
    void buildBudget(QVBoxLayout* column, QWidget* parent);
    void redrawOwnKeys();
    void redrawBudget();

    std::shared_ptr<AppModel> model_;
    std::uint64_t observer_ = 0;
    bool showSettings_ = false;
    std::string email_;
    std::string code_;
    std::string lastCodeSentTo_;
    bool redrawing_ = false;
    bool returnFromField_ = false;  // the Return being handled was a text field's
    QString accountLineText_;  // widgets being set from the model: their signals write nothing

    QPushButton* startButton_ = nullptr;
    QLabel* notice_ = nullptr;
    QWidget* loggedIn_ = nullptr;
    QLabel* accountLine_ = nullptr;
    QWidget* waitingCode_ = nullptr;
    QLabel* codeSentText_ = nullptr;
    QLineEdit* codeField_ = nullptr;
    QPushButton* enterButton_ = nullptr;
    QWidget* loggedOut_ = nullptr;
    QLineEdit* emailField_ = nullptr;
    QPushButton* sendCodeButton_ = nullptr;
    QLabel* accountMessage_ = nullptr;
    QComboBox* listenTarget_ = nullptr;
    QComboBox* listenLanguage_ = nullptr;
    QComboBox* outputLanguage_ = nullptr;
    QComboBox* provider_ = nullptr;
    QLabel* providerHint_ = nullptr;
    QCheckBox* listenEnabled_ = nullptr;
    QLabel* listenState_ = nullptr;
    QLabel* originalDuckTitle_ = nullptr;
    QSlider* originalDuck_ = nullptr;
    QCheckBox* speakEnabled_ = nullptr;
    QLabel* speakState_ = nullptr;
    QLabel* micDuckTitle_ = nullptr;
    QSlider* micDuck_ = nullptr;
    QPushButton* cutButton_ = nullptr;
    QCheckBox* originalVoice_ = nullptr;
    QCheckBox* silenceGate_ = nullptr;
    QLabel* tail_ = nullptr;
    QLabel* cost_ = nullptr;
    QToolButton* settingsToggle_ = nullptr;
    QWidget* settingsBox_ = nullptr;
    QComboBox* speakOutput_ = nullptr;
    QLineEdit* serviceUrl_ = nullptr;
    QLabel* listenDelay_ = nullptr;
    QLabel* speakDelay_ = nullptr;
    QCheckBox* captions_ = nullptr;
    QLabel* secretsLoading_ = nullptr;
    struct KeyRow {
        std::string provider;
        QLineEdit* field = nullptr;
        QToolButton* reveal = nullptr;
        QPushButton* remove = nullptr;
    };
    std::vector<KeyRow> keyRows_;
    QLineEdit* monthlyLimit_ = nullptr;
    QLabel* monthSpend_ = nullptr;
    QWidget* budgetQuestionBox_ = nullptr;
    QLabel* budgetQuestionText_ = nullptr;
};

}  // namespace quendra
