#include "app/panel/panel_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/panel/panel_texts.h"
#include "core/settings/service_address.h"

namespace quendra {

namespace {

constexpr int marginDip = 14;
constexpr int spacingDip = 10;
constexpr int sliderSteps = 1000;

QString qs(const std::string& text) { return QString::fromStdString(text); }

// Sizes relative to the body text, as the desktop's small and callout styles are.
void setCaption(QWidget* widget) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    widget->setFont(font);
}

void setCallout(QWidget* widget) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.93);
    widget->setFont(font);
}

QColor secondaryColor(const QWidget* widget) { return widget->palette().color(QPalette::PlaceholderText); }
const QColor errorRed(0xc4, 0x1e, 0x1e);
const QColor noticeOrange(0xc2, 0x4e, 0x00);

void setColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QLabel* captionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    setCaption(label);
    setColor(label, secondaryColor(label));
    return label;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QComboBox* picker(const QString& title, QWidget* parent, QVBoxLayout* column) {
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(title, parent);
    auto* box = new QComboBox(parent);
    box->setAccessibleName(title);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(8);
    // A long choice ("Finto, per prove (nessuna chiamata…") is elided at the panel's width.
    QObject::connect(box, &QComboBox::currentTextChanged, box, &QWidget::setToolTip);
    row->addWidget(label);
    row->addWidget(box, 1);
    column->addLayout(row);
    return box;
}

// Replaces the options of `box` and selects the one whose value is `current` (none when absent).
void setOptions(QComboBox* box, const std::vector<std::pair<std::string, std::string>>& options,
                const std::string& current) {
    box->clear();
    int selected = -1;
    for (const auto& [value, text] : options) {
        if (value == current) selected = box->count();
        box->addItem(qs(text), qs(value));
    }
    box->setCurrentIndex(selected);
}

std::string valueOf(const QComboBox* box, int index) {
    return index < 0 ? std::string() : box->itemData(index).toString().toStdString();
}

std::string trimmed(const std::string& text) { return QString::fromStdString(text).trimmed().toStdString(); }

}  // namespace

PanelView::PanelView(std::shared_ptr<AppModel> model, QWidget* parent) : QScrollArea(parent), model_(std::move(model)) {
    build();
    observer_ = model_->observe([this](AppProperty property) { redraw(property); });
    lastCodeSentTo_ = model_->codeSentTo();
    redrawAll();
}

PanelView::~PanelView() {
    model_->unobserve(observer_);
    // The children outlive this destructor: QWidget's deletes them, and a focused text field then
    // loses its focus and emits editingFinished. No slot or filter of this view may run on what is
    // left of it by then (nor store a half-typed key).
    for (QObject* child : findChildren<QObject*>()) {
        child->removeEventFilter(this);
        QObject::disconnect(child, nullptr, this, nullptr);
    }
}

QSize PanelView::sizeHint() const { return {widthDip, idealHeightDip}; }

void PanelView::build() {
    setWidgetResizable(true);
    setFixedWidth(widthDip);
    setMinimumHeight(minHeightDip);
    setMaximumHeight(maxHeightDip);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::NoFrame);

    auto* content = new QWidget(this);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(marginDip, marginDip, marginDip, marginDip);
    column->setSpacing(spacingDip);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeft);

    // Header.
    auto* header = new QHBoxLayout;
    auto* title = new QLabel(QStringLiteral("Ombrix"), content);
    QFont headline = title->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.1);
    title->setFont(headline);
    startButton_ = new QPushButton(content);
    startButton_->setObjectName("startButton");
    startButton_->setDefault(true);
    connect(startButton_, &QPushButton::clicked, this, [this] { startOrStop(); });
    header->addWidget(title);
    header->addStretch(1);
    header->addWidget(startButton_);
    column->addLayout(header);

    notice_ = new QLabel(content);
    notice_->setObjectName("notice");
    notice_->setWordWrap(true);
    setCallout(notice_);
    setColor(notice_, noticeOrange);
    column->addWidget(notice_);

    // Account: three forms, one shown at a time.
    loggedIn_ = new QWidget(content);
    {
        auto* row = new QHBoxLayout(loggedIn_);
        row->setContentsMargins(0, 0, 0, 0);
        accountLine_ = new QLabel(loggedIn_);
        accountLine_->setObjectName("accountLine");
        accountLine_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        setCallout(accountLine_);
        auto* logout = new QPushButton(QStringLiteral("Esci dall'account"), loggedIn_);
        logout->setObjectName("logoutButton");
        connect(logout, &QPushButton::clicked, this, [this] { model_->logout(); });
        row->addWidget(accountLine_, 1);
        row->addWidget(logout);
    }
    column->addWidget(loggedIn_);

    waitingCode_ = new QWidget(content);
    {
        auto* group = new QVBoxLayout(waitingCode_);
        group->setContentsMargins(0, 0, 0, 0);
        group->setSpacing(6);
        codeSentText_ = new QLabel(waitingCode_);
        codeSentText_->setObjectName("codeSentText");
        codeSentText_->setWordWrap(true);
        setCallout(codeSentText_);
        group->addWidget(codeSentText_);
        auto* row = new QHBoxLayout;
        codeField_ = new QLineEdit(waitingCode_);
        codeField_->setObjectName("codeField");
        codeField_->setPlaceholderText(QStringLiteral("Codice"));
        codeField_->setAccessibleName(QStringLiteral("Codice"));
        codeField_->setInputMethodHints(Qt::ImhDigitsOnly | Qt::ImhNoPredictiveText | Qt::ImhSensitiveData);
        codeField_->setMaxLength(64);
        enterButton_ = new QPushButton(QStringLiteral("Entra"), waitingCode_);
        enterButton_->setObjectName("enterButton");
        auto submit = [this] {
            if (enterButton_->isEnabled()) model_->verify(code_);
        };
        connect(codeField_, &QLineEdit::textChanged, this, [this](const QString& text) {
            code_ = text.toStdString();
            redrawAccount();
        });
        connect(codeField_, &QLineEdit::returnPressed, this, submit);
        connect(enterButton_, &QPushButton::clicked, this, submit);
        row->addWidget(codeField_, 1);
        row->addWidget(enterButton_);
        group->addLayout(row);
        auto* otherEmail = new QPushButton(QStringLiteral("Usa un'altra email"), waitingCode_);
        otherEmail->setObjectName("otherEmailButton");
        otherEmail->setFlat(true);
        otherEmail->setCursor(Qt::PointingHandCursor);
        QFont linkFont = otherEmail->font();
        linkFont.setUnderline(true);
        otherEmail->setFont(linkFont);
        connect(otherEmail, &QPushButton::clicked, this, [this] {
            codeField_->clear();
            model_->forgetCode();
        });
        group->addWidget(otherEmail, 0, Qt::AlignLeft);
    }
    column->addWidget(waitingCode_);

    loggedOut_ = new QWidget(content);
    {
        auto* group = new QVBoxLayout(loggedOut_);
        group->setContentsMargins(0, 0, 0, 0);
        group->setSpacing(6);
        auto* text = new QLabel(QStringLiteral("Accedi con la tua email: ti mandiamo un codice."), loggedOut_);
        text->setWordWrap(true);
        setCallout(text);
        group->addWidget(text);
        auto* row = new QHBoxLayout;
        emailField_ = new QLineEdit(loggedOut_);
        emailField_->setObjectName("emailField");
        emailField_->setPlaceholderText(QStringLiteral("nome@esempio.it"));
        emailField_->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
        sendCodeButton_ = new QPushButton(QStringLiteral("Mandami il codice"), loggedOut_);
        sendCodeButton_->setObjectName("sendCodeButton");
        auto submit = [this] {
            if (sendCodeButton_->isEnabled()) model_->requestCode(email_);
        };
        connect(emailField_, &QLineEdit::textChanged, this, [this](const QString& text) {
            email_ = text.toStdString();
            redrawAccount();
        });
        connect(emailField_, &QLineEdit::returnPressed, this, submit);
        connect(sendCodeButton_, &QPushButton::clicked, this, submit);
        row->addWidget(emailField_, 1);
        row->addWidget(sendCodeButton_);
        group->addLayout(row);
    }
    column->addWidget(loggedOut_);

    secretsLoading_ = new QLabel(QStringLiteral("Leggo l'accesso salvato nel portachiavi…"), content);
    secretsLoading_->setObjectName("secretsLoading");
    secretsLoading_->setWordWrap(true);
    setCallout(secretsLoading_);
    column->addWidget(secretsLoading_);

    accountMessage_ = new QLabel(content);
    accountMessage_->setObjectName("accountMessage");
    accountMessage_->setWordWrap(true);
    setCaption(accountMessage_);
    setColor(accountMessage_, errorRed);
    column->addWidget(accountMessage_);

    column->addWidget(divider(content));

    listenTarget_ = picker(QStringLiteral("Cosa ascolto"), content, column);
    listenTarget_->setObjectName("listenTarget");
    bindPicker(listenTarget_, &Settings::listenTarget);
    column->addWidget(captionLabel(QStringLiteral("Compaiono le app che stanno suonando adesso."), content));

    listenLanguage_ = picker(QStringLiteral("Io ascolto in"), content, column);
    listenLanguage_->setObjectName("listenLanguage");
    bindPicker(listenLanguage_, &Settings::listenLanguage);
    outputLanguage_ = picker(QStringLiteral("Gli altri mi sentono in"), content, column);
    outputLanguage_->setObjectName("outputLanguage");
    bindPicker(outputLanguage_, &Settings::outputLanguage);
    provider_ = picker(QStringLiteral("Modello"), content, column);
    provider_->setObjectName("provider");
    bindPicker(provider_, &Settings::provider);
    providerHint_ = captionLabel(
        qs(std::string("Per usare Gemini o OpenAI aggiungi la tua chiave su ") + serviceWebAddress + "."), content);
    providerHint_->setObjectName("providerHint");
    providerHint_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(providerHint_);

    column->addWidget(divider(content));

    // A slider block: the title with the value in percent above a slider from 0 to 1. The value
    // is written when the drag ends (or at once from the keyboard), not at every pixel.
    auto sliderBlock = [&](QLabel*& titleLabel, QSlider*& slider, const char* name, double Settings::*field) {
        auto* group = new QVBoxLayout;
        group->setSpacing(2);
        titleLabel = new QLabel(content);
        titleLabel->setWordWrap(true);
        setCaption(titleLabel);
        slider = new QSlider(Qt::Horizontal, content);
        slider->setObjectName(name);
        slider->setRange(0, sliderSteps);
        QSlider* s = slider;
        connect(slider, &QSlider::valueChanged, this, [this, s, field](int) {
            if (redrawing_) return;
            if (s->isSliderDown()) {
                redrawSettingsValues();  // the title follows the thumb
                return;
            }
            const double value = s->value() / static_cast<double>(sliderSteps);
            editSettings([&](Settings& settings) { settings.*field = value; });
        });
        connect(slider, &QSlider::sliderReleased, this, [this, s, field] {
            const double value = s->value() / static_cast<double>(sliderSteps);
            editSettings([&](Settings& settings) { settings.*field = value; });
        });
        group->addWidget(titleLabel);
        group->addWidget(slider);
        column->addLayout(group);
    };

    listenEnabled_ = new QCheckBox(QStringLiteral("Ascolto"), content);
    listenEnabled_->setObjectName("listenEnabled");
    connect(listenEnabled_, &QCheckBox::toggled, this, [this](bool on) {
        if (!redrawing_) editSettings([&](Settings& s) { s.listenEnabled = on; });
    });
    column->addWidget(listenEnabled_);
    listenState_ = new QLabel(content);
    listenState_->setObjectName("listenState");
    listenState_->setWordWrap(true);
    setCaption(listenState_);
    column->addWidget(listenState_);
    listenDelay_ = captionLabel(QString(), content);
    listenDelay_->setObjectName("listenDelay");
    column->addWidget(listenDelay_);
    sliderBlock(originalDuckTitle_, originalDuck_, "originalDuck", &Settings::originalDuckLevel);

    speakEnabled_ = new QCheckBox(QStringLiteral("Parlato"), content);
    speakEnabled_->setObjectName("speakEnabled");
    connect(speakEnabled_, &QCheckBox::toggled, this, [this](bool on) {
        if (!redrawing_) editSettings([&](Settings& s) { s.speakEnabled = on; });
    });
    column->addWidget(speakEnabled_);
    speakState_ = new QLabel(content);
    speakState_->setObjectName("speakState");
    speakState_->setWordWrap(true);
    setCaption(speakState_);
    column->addWidget(speakState_);
    speakDelay_ = captionLabel(QString(), content);
    speakDelay_->setObjectName("speakDelay");
    column->addWidget(speakDelay_);
    sliderBlock(micDuckTitle_, micDuck_, "micDuck", &Settings::micDuckLevel);

    column->addWidget(divider(content));

    auto* liveRow = new QHBoxLayout;
    cutButton_ = new QPushButton(QStringLiteral("Taglia traduzione"), content);
    cutButton_->setObjectName("cutButton");
    connect(cutButton_, &QPushButton::clicked, this, [this] { model_->cut(); });
    originalVoice_ = new QCheckBox(QStringLiteral("Voce originale"), content);
    originalVoice_->setObjectName("originalVoice");
    connect(originalVoice_, &QCheckBox::toggled, this, [this](bool on) {
        if (redrawing_) return;
        model_->setOriginalVoice(on);
        redrawStatus();  // the toggle shows the engine's state until it reports the new one
    });
    liveRow->addWidget(cutButton_);
    liveRow->addWidget(originalVoice_);
    liveRow->addStretch(1);
    column->addLayout(liveRow);

    silenceGate_ = new QCheckBox(QStringLiteral("Salta i silenzi"), content);
    silenceGate_->setObjectName("silenceGate");
    connect(silenceGate_, &QCheckBox::toggled, this, [this](bool on) {
        if (!redrawing_) editSettings([&](Settings& s) { s.silenceGate = on; });
    });
    column->addWidget(silenceGate_);
    captions_ = new QCheckBox(QStringLiteral("Sottotitoli"), content);
    captions_->setObjectName("captions");
    connect(captions_, &QCheckBox::toggled, this, [this](bool on) {
        if (!redrawing_) editSettings([&](Settings& s) { s.captions = on; });
    });
    column->addWidget(captions_);

    tail_ = captionLabel(QString(), content);
    tail_->setObjectName("tail");
    column->addWidget(tail_);
    cost_ = captionLabel(QString(), content);
    cost_->setObjectName("cost");
    column->addWidget(cost_);
    buildBudget(column, content);

    settingsToggle_ = new QToolButton(content);
    settingsToggle_->setObjectName("settingsToggle");
    settingsToggle_->setText(QStringLiteral("Impostazioni"));
    settingsToggle_->setCheckable(true);
    settingsToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    settingsToggle_->setArrowType(Qt::RightArrow);
    settingsToggle_->setAutoRaise(true);
    column->addWidget(settingsToggle_);
    settingsBox_ = new QWidget(content);
    {
        auto* box = new QVBoxLayout(settingsBox_);
        box->setContentsMargins(0, 6, 0, 0);
        box->setSpacing(8);
        box->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(QStringLiteral("La mia voce esce su"), settingsBox_));
        speakOutput_ = new QComboBox(settingsBox_);
        speakOutput_->setObjectName("speakOutput");
        speakOutput_->setAccessibleName(QStringLiteral("La mia voce esce su"));
        speakOutput_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        speakOutput_->setMinimumContentsLength(8);
        row->addWidget(speakOutput_, 1);
        box->addLayout(row);
        bindPicker(speakOutput_, &Settings::speakOutputUID);
        box->addWidget(captionLabel(QStringLiteral("Avanzate"), settingsBox_));
        serviceUrl_ = new QLineEdit(settingsBox_);
        serviceUrl_->setObjectName("serviceUrl");
        serviceUrl_->setPlaceholderText(QStringLiteral("Indirizzo del servizio"));
        serviceUrl_->setAccessibleName(QStringLiteral("Indirizzo del servizio"));
        connect(serviceUrl_, &QLineEdit::editingFinished, this, [this] {
            const std::string value = serviceUrl_->text().toStdString();
            editSettings([&](Settings& s) { s.serviceUrl = value; });
        });
        box->addWidget(serviceUrl_);
        buildOwnKeys(box, settingsBox_);
    }
    column->addWidget(settingsBox_);
    connect(settingsToggle_, &QToolButton::toggled, this, [this](bool on) {
        showSettings_ = on;
        settingsToggle_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
        settingsBox_->setVisible(on);
    });
    settingsBox_->setVisible(false);

    column->addWidget(divider(content));

    auto* footer = new QHBoxLayout;
    footer->addWidget(captionLabel(QStringLiteral("Usa le cuffie: con le casse la traduzione rientra nel microfono."),
                                   content),
                      1);
    auto* quit = new QPushButton(QStringLiteral("Esci"), content);
    quit->setObjectName("quitButton");
    connect(quit, &QPushButton::clicked, this, [this] {
        model_->stop("");
        emit quitRequested();
    });
    footer->addWidget(quit, 0, Qt::AlignTop);
    column->addLayout(footer);

    for (QLineEdit* field : {emailField_, codeField_, serviceUrl_, monthlyLimit_}) field->installEventFilter(this);
    for (const auto& row : keyRows_) row.field->installEventFilter(this);
    accountLine_->installEventFilter(this);
    setWidget(content);
}

void PanelView::bindPicker(QComboBox* box, std::string Settings::*field) {
    connect(box, &QComboBox::currentIndexChanged, this, [this, box, field](int index) {
        if (redrawing_ || index < 0) return;
        const std::string value = valueOf(box, index);
        editSettings([&](Settings& s) { s.*field = value; });
    });
}

void PanelView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    model_->refreshLists();
}

bool PanelView::eventFilter(QObject* watched, QEvent* event) {
    // A text field passes Return on to its parents after submitting its own form; note it so the
    // default action does not run as well.
    if (watched == accountLine_ && event->type() == QEvent::Resize) elideAccountLine();
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) returnFromField_ = true;
    }
    return QScrollArea::eventFilter(watched, event);
}

void PanelView::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool fromField = returnFromField_;
    returnFromField_ = false;
    if (enter && !fromField) {
        startOrStop();  // Return is the panel's default action
        event->accept();
        return;
    }
    QScrollArea::keyPressEvent(event);
}

void PanelView::startOrStop() {
    if (model_->running()) {
        model_->stop("");
    } else {
        model_->start();
    }
}

void PanelView::editSettings(const std::function<void(Settings&)>& change) {
    Settings next = model_->settings();
    change(next);
    if (next != model_->settings()) model_->setSettings(std::move(next));
}

void PanelView::redraw(AppProperty property) {
    switch (property) {
        case AppProperty::running: redrawHeader(); redrawStatus(); break;
        case AppProperty::notice: redrawHeader(); break;
        case AppProperty::status: redrawStatus(); break;
        case AppProperty::settings:
            redrawSettingsValues();
            redrawPickers();
            redrawAccount();
            redrawOwnKeys();
            redrawBudget();
            break;
        case AppProperty::outputDevices:
        case AppProperty::apps: redrawPickers(); break;
        case AppProperty::account:
        case AppProperty::accountBusy:
        case AppProperty::accountMessage: redrawAccount(); redrawPickers(); break;
        case AppProperty::codeSentTo:
            if (model_->codeSentTo() != lastCodeSentTo_) {
                lastCodeSentTo_ = model_->codeSentTo();
                codeField_->clear();
                code_.clear();
            }
            redrawAccount();
            break;
        case AppProperty::captions: break;  // the captions window shows them
        case AppProperty::secretsLoading: redrawAccount(); redrawPickers(); redrawOwnKeys(); break;
        case AppProperty::monthSpend:
        case AppProperty::budgetQuestion: redrawBudget(); break;
    }
}

void PanelView::redrawAll() {
    redrawHeader();
    redrawAccount();
    redrawPickers();
    redrawSettingsValues();
    redrawStatus();
    redrawOwnKeys();
    redrawBudget();
}

void PanelView::redrawHeader() {
    startButton_->setText(model_->running() ? QStringLiteral("Ferma") : QStringLiteral("Avvia"));
    notice_->setText(qs(model_->notice()));
    notice_->setVisible(!model_->notice().empty());
}

void PanelView::redrawAccount() {
    const Settings& settings = model_->settings();
    const bool in = !settings.sessionToken.empty();
    const bool waiting = !in && !model_->codeSentTo().empty();
    const bool loading = model_->secretsLoading();
    loggedIn_->setVisible(in && !loading);
    waitingCode_->setVisible(waiting && !loading);
    loggedOut_->setVisible(!in && !waiting && !loading);
    secretsLoading_->setVisible(loading);
    if (in) {
        const auto& account = model_->account();
        accountLineText_ =
            account ? qs("Collegato come " + account->email) : QStringLiteral("Collegamento all'account…");
        accountLine_->setToolTip(accountLineText_);
        elideAccountLine();
    }
    codeSentText_->setText(
        qs("Se " + model_->codeSentTo() + " è abilitato, ti è arrivato un codice di 6 cifre (vale 10 minuti)."));
    enterButton_->setEnabled(!model_->accountBusy() && !code_.empty());
    sendCodeButton_->setEnabled(!model_->accountBusy() && !trimmed(email_).empty());
    accountMessage_->setText(qs(model_->accountMessage()));
    accountMessage_->setVisible(!model_->accountMessage().empty());
}

void PanelView::elideAccountLine() {
    // One line, cut in the middle when the address is too long for the room beside the button.
    const int room = std::max(accountLine_->width(), 40);
    accountLine_->setText(accountLine_->fontMetrics().elidedText(accountLineText_, Qt::ElideMiddle, room));
}

void PanelView::redrawPickers() {
    redrawing_ = true;
    const Settings& settings = model_->settings();
    std::vector<std::pair<std::string, std::string>> options;
    for (const auto& app : model_->apps()) options.emplace_back(app.id, app.name);
    setOptions(listenTarget_, options, settings.listenTarget);

    options.clear();
    for (const auto& language : Languages::all()) options.emplace_back(language.code, language.name);
    setOptions(listenLanguage_, options, settings.listenLanguage);
    setOptions(outputLanguage_, options, settings.outputLanguage);

    const auto providers = model_->availableProviders();
    options.clear();
    for (const auto& p : providers) options.emplace_back(p.id, p.label + " (" + p.note + ")");
    setOptions(provider_, options, settings.provider);
    providerHint_->setVisible(model_->account().has_value() && providers.size() == 1);

    options.clear();
    options.emplace_back("", "Nessuno");
    for (const auto& device : model_->outputDevices()) options.emplace_back(device.uid, device.name);
    setOptions(speakOutput_, options, settings.speakOutputUID);
    redrawing_ = false;
}

void PanelView::redrawSettingsValues() {
    const bool wasRedrawing = redrawing_;
    redrawing_ = true;
    const Settings& settings = model_->settings();
    listenEnabled_->setChecked(settings.listenEnabled);
    speakEnabled_->setChecked(settings.speakEnabled);
    silenceGate_->setChecked(settings.silenceGate);
    captions_->setChecked(settings.captions);
    // While a slider is dragged its title follows the thumb; the model gets the value on release.
    auto slider = [](QSlider* s, QLabel* title, const char* text, double stored) {
        if (!s->isSliderDown()) s->setValue(static_cast<int>(std::lround(stored * sliderSteps)));
        const double shown = s->isSliderDown() ? s->value() / static_cast<double>(sliderSteps) : stored;
        title->setText(qs(PanelTexts::sliderTitle(text, shown)));
    };
    slider(originalDuck_, originalDuckTitle_, "Volume dell'originale mentre suona la traduzione",
           settings.originalDuckLevel);
    slider(micDuck_, micDuckTitle_, "Volume della mia voce vera mentre gli altri sentono la traduzione",
           settings.micDuckLevel);
    if (!serviceUrl_->hasFocus()) serviceUrl_->setText(qs(settings.serviceUrl));
    redrawing_ = wasRedrawing;
}

void PanelView::redrawStatus() {
    const EngineStatus& status = model_->status();
    auto stateLine = [this](QLabel* label, LinkState state, const std::string& error) {
        label->setText(qs(PanelTexts::stateLine(state, error)));
        setColor(label, state == LinkState::error ? errorRed : secondaryColor(label));
    };
    stateLine(listenState_, status.listenState, status.listenError);
    stateLine(speakState_, status.speakState, status.speakError);
    const bool wasRedrawing = redrawing_;
    redrawing_ = true;
    cutButton_->setEnabled(model_->running());
    originalVoice_->setEnabled(model_->running());
    originalVoice_->setChecked(status.originalVoice);
    redrawing_ = wasRedrawing;
    tail_->setText(qs(PanelTexts::tailLine(status.tailSeconds)));
    tail_->setVisible(status.tailActive);
    cost_->setText(qs(PanelTexts::costLine(status)));
    // The measured delay, only while its direction translates and once there is a measure.
    auto delayLine = [this](QLabel* label, LinkState state, const std::optional<double>& ms) {
        const bool shown = model_->running() && state == LinkState::open && ms.has_value();
        label->setText(shown ? qs("Ritardo: " + delayText(*ms)) : QString());
        label->setVisible(shown);
    };
    delayLine(listenDelay_, status.listenState, status.listenDelayMs);
    delayLine(speakDelay_, status.speakState, status.speakDelayMs);
}

}  // namespace quendra
