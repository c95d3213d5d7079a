// The panel's own keys, monthly limit and month's spend: built into the panel by PanelView::build,
// redrawn with the rest.
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/panel/panel_texts.h"
#include "app/panel/panel_view.h"

namespace quendra {
namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

void setSmall(QWidget* widget) {
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    widget->setFont(font);
}

const char* keyTitle(const std::string& provider) { return provider == "gemini" ? "Chiave Gemini" : "Chiave OpenAI"; }

}  // namespace

void PanelView::buildOwnKeys(QVBoxLayout* box, QWidget* parent) {
    for (const std::string provider : {"gemini", "openai"}) {
        KeyRow row;
        row.provider = provider;
        auto* title = new QLabel(QString::fromUtf8(keyTitle(provider)), parent);
        setSmall(title);
        box->addWidget(title);
        auto* line = new QHBoxLayout;
        row.field = new QLineEdit(parent);
        row.field->setObjectName(qs(provider + "Key"));
        row.field->setAccessibleName(QString::fromUtf8(keyTitle(provider)));
        row.field->setPlaceholderText(QStringLiteral("facoltativa"));
        row.field->setEchoMode(QLineEdit::Password);
        row.field->setInputMethodHints(Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
        row.field->setMaxLength(512);
        row.reveal = new QToolButton(parent);
        row.reveal->setObjectName(qs(provider + "KeyReveal"));
        row.reveal->setCheckable(true);
        row.reveal->setText(QStringLiteral("Mostra"));
        row.reveal->setAccessibleName(QStringLiteral("Mostra la chiave"));
        row.remove = new QPushButton(QStringLiteral("Rimuovi"), parent);
        row.remove->setObjectName(qs(provider + "KeyRemove"));
        QLineEdit* field = row.field;
        QToolButton* reveal = row.reveal;
        connect(reveal, &QToolButton::toggled, this, [field, reveal](bool on) {
            field->setEchoMode(on ? QLineEdit::Normal : QLineEdit::Password);
            reveal->setText(on ? QStringLiteral("Nascondi") : QStringLiteral("Mostra"));
        });
        connect(field, &QLineEdit::editingFinished, this, [this, field, provider] {
            model_->setOwnKey(provider, field->text().toStdString());
            redrawOwnKeys();
        });
        connect(row.remove, &QPushButton::clicked, this, [this, field, provider] {
            field->clear();
            model_->setOwnKey(provider, "");
            redrawOwnKeys();
        });
        line->addWidget(row.field, 1);
        line->addWidget(row.reveal);
        line->addWidget(row.remove);
        box->addLayout(line);
        keyRows_.push_back(row);
    }
    auto* note = new QLabel(QStringLiteral("Le chiavi restano nel portachiavi del sistema, mai nelle impostazioni."),
                            parent);
    note->setWordWrap(true);
    setSmall(note);
    box->addWidget(note);

    auto* limitRow = new QHBoxLayout;
    auto* limitTitle = new QLabel(QStringLiteral("Limite di spesa al mese"), parent);
    monthlyLimit_ = new QLineEdit(parent);
    monthlyLimit_->setObjectName("monthlyLimit");
    monthlyLimit_->setAccessibleName(QStringLiteral("Limite di spesa al mese"));
    monthlyLimit_->setPlaceholderText(QStringLiteral("nessuno"));
    monthlyLimit_->setMaxLength(16);
    connect(monthlyLimit_, &QLineEdit::editingFinished, this, [this] {
        const std::string typed = monthlyLimit_->text().toStdString();
        const auto amount = PanelTexts::euroAmount(typed);
        if (amount || monthlyLimit_->text().trimmed().isEmpty()) {
            editSettings([&](Settings& s) { s.monthlyLimitEur = amount; });
        }
        // What is stored, written the panel's way; text that is no amount goes back to it.
        const auto stored = model_->settings().monthlyLimitEur;
        monthlyLimit_->setText(stored ? qs(PanelTexts::euroField(*stored)) : QString());
        redrawBudget();
    });
    limitRow->addWidget(limitTitle);
    limitRow->addWidget(monthlyLimit_, 1);
    limitRow->addWidget(new QLabel(QStringLiteral("€"), parent));
    box->addLayout(limitRow);
}

void PanelView::buildBudget(QVBoxLayout* column, QWidget* parent) {
    monthSpend_ = new QLabel(parent);
    monthSpend_->setObjectName("monthSpend");
    monthSpend_->setWordWrap(true);
    setSmall(monthSpend_);
    column->addWidget(monthSpend_);

    budgetQuestionBox_ = new QWidget(parent);
    auto* group = new QVBoxLayout(budgetQuestionBox_);
    group->setContentsMargins(0, 0, 0, 0);
    budgetQuestionText_ = new QLabel(budgetQuestionBox_);
    budgetQuestionText_->setObjectName("budgetQuestion");
    budgetQuestionText_->setWordWrap(true);
    group->addWidget(budgetQuestionText_);
    auto* buttons = new QHBoxLayout;
    auto* go = new QPushButton(QStringLiteral("Avvia lo stesso"), budgetQuestionBox_);
    go->setObjectName("budgetGoOn");
    auto* cancel = new QPushButton(QStringLiteral("Annulla"), budgetQuestionBox_);
    cancel->setObjectName("budgetCancel");
    connect(go, &QPushButton::clicked, this, [this] { model_->confirmOverBudget(); });
    connect(cancel, &QPushButton::clicked, this, [this] { model_->cancelOverBudget(); });
    buttons->addWidget(go);
    buttons->addWidget(cancel);
    buttons->addStretch(1);
    group->addLayout(buttons);
    // Asked right under the start button, where the user just pressed.
    column->insertWidget(column->indexOf(notice_) + 1, budgetQuestionBox_);
}

void PanelView::redrawOwnKeys() {
    if (keyRows_.empty()) return;
    const Settings& settings = model_->settings();
    for (const auto& row : keyRows_) {
        const std::string stored = settings.ownKey(row.provider).value_or("");
        if (!row.field->hasFocus()) row.field->setText(qs(stored));
        row.field->setEnabled(!model_->secretsLoading());
        row.remove->setEnabled(!stored.empty());
    }
}

void PanelView::redrawBudget() {
    if (monthSpend_ == nullptr) return;
    const auto limit = model_->settings().monthlyLimitEur;
    const double spent = model_->monthSpentEur();
    monthSpend_->setText(qs(MonthBudget::spendLine(spent)));
    // Nothing to show until something was spent or a limit is set.
    monthSpend_->setVisible(limit.has_value() || spent > 0);
    if (!monthlyLimit_->hasFocus()) monthlyLimit_->setText(limit ? qs(PanelTexts::euroField(*limit)) : QString());
    budgetQuestionText_->setText(qs(model_->budgetQuestion()));
    budgetQuestionBox_->setVisible(!model_->budgetQuestion().empty());
}

}  // namespace quendra
