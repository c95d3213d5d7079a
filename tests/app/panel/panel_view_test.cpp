#include "app/panel/panel_view.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include "app/model/model_fakes.h"
#include "app/panel/panel_texts.h"
#include "app/panel/panel_test_support.h"

// Fontconfig keeps its configuration for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace quendra {
namespace {

using test::ModelRig;

using test::child;
using test::text;

// Whether `label` is drawn in the error red rather than a dimmed grey.
bool isRed(QLabel* label) {
    const QColor c = label->palette().color(QPalette::WindowText);
    return c.red() > 150 && c.green() < 80 && c.blue() < 80;
}

class PanelViewTest : public ::testing::Test {
protected:
    void SetUp() override { test::qtApp(); }

    // A panel in a visible window of the panel's own size, as the main window shows it.
    std::unique_ptr<PanelView> show() {
        auto view = std::make_unique<PanelView>(rig.model);
        view->resize(PanelView::widthDip, PanelView::idealHeightDip);
        view->show();
        QCoreApplication::processEvents();
        rig.settle();
        return view;
    }

    ModelRig rig;
};

TEST_F(PanelViewTest, FirstStartIsLoggedOutAndOff) {
    rig.make();
    auto view = show();
    EXPECT_EQ(child<QPushButton>(*view, "startButton")->text(), "Avvia");
    EXPECT_EQ(text(child<QLabel>(*view, "listenState")), "Spento");
    EXPECT_EQ(text(child<QLabel>(*view, "speakState")), "Spento");
    EXPECT_FALSE(child<QPushButton>(*view, "cutButton")->isEnabled());
    EXPECT_FALSE(child<QCheckBox>(*view, "originalVoice")->isEnabled());
    EXPECT_TRUE(child<QLineEdit>(*view, "emailField")->isVisible());
    EXPECT_FALSE(child<QLineEdit>(*view, "codeField")->isVisible());
    EXPECT_FALSE(child<QPushButton>(*view, "sendCodeButton")->isEnabled());
    EXPECT_FALSE(child<QLabel>(*view, "providerHint")->isVisible());
    EXPECT_EQ(text(child<QLabel>(*view, "cost")), "Costo stimato: 0,00 € (0.0 min mandati, 0.0 ricevuti)");
    // The whole computer comes first and is chosen by its empty id.
    auto* target = child<QComboBox>(*view, "listenTarget");
    ASSERT_GE(target->count(), 1);
    EXPECT_EQ(target->itemText(0), "Tutto il computer");
    EXPECT_EQ(target->currentIndex(), 0);
    // The speak device list begins with "Nessuno"; the virtual microphone was chosen by itself.
    auto* output = child<QComboBox>(*view, "speakOutput");
    EXPECT_EQ(output->itemText(0), "Nessuno");
    EXPECT_EQ(output->currentText(), "Ombrix Voce");
    test::screenshot(view.get(), "panel-first-start");
}

TEST(PanelTextsTest, StateLinesSlidersAndCounters) {
    using PanelTexts::stateLine;
    EXPECT_EQ(stateLine(LinkState::connecting, "rete lenta"), "Mi collego…: rete lenta");
    EXPECT_EQ(stateLine(LinkState::error, "Servizio non raggiungibile"), "Errore: Servizio non raggiungibile");
    EXPECT_EQ(stateLine(LinkState::off, "vecchio errore"), "Spento");
    EXPECT_EQ(stateLine(LinkState::open, ""), "Attivo");
    EXPECT_EQ(stateLine(LinkState::passthrough, ""), "Voce originale");
    EXPECT_EQ(PanelTexts::sliderTitle("Volume", 0.15), "Volume: 15%");
    EXPECT_EQ(PanelTexts::sliderTitle("Volume", 1.0), "Volume: 100%");
    EXPECT_EQ(PanelTexts::tailLine(3.4), "Sto ancora traducendo (3 s)");
    EXPECT_EQ(PanelTexts::fixed(2.25, 1), "2.2");  // printf's rounding of the binary value
    EXPECT_EQ(PanelTexts::fixed(-0.01, 1), "0.0");
}

TEST_F(PanelViewTest, SliderTitleShowsThePercentAndMovingItSavesTheLevel) {
    rig.make();
    auto view = show();
    auto labels = view->findChildren<QLabel*>();
    auto titled = [&](const std::string& prefix) {
        for (auto* l : labels) {
            if (l->text().toStdString().rfind(prefix, 0) == 0) return l->text().toStdString();
        }
        return std::string();
    };
    EXPECT_EQ(titled("Volume dell'originale"), "Volume dell'originale mentre suona la traduzione: 15%");
    EXPECT_EQ(titled("Volume della mia voce"), "Volume della mia voce vera mentre gli altri sentono la traduzione: 12%");
    child<QSlider>(*view, "originalDuck")->setValue(400);
    rig.settle();
    EXPECT_DOUBLE_EQ(rig.model->settings().originalDuckLevel, 0.4);
    EXPECT_EQ(titled("Volume dell'originale"), "Volume dell'originale mentre suona la traduzione: 40%");
}

TEST_F(PanelViewTest, AccountFormsSwitchAndTheCodeFieldStartsEmpty) {
    rig.make();
    auto view = show();
    auto* email = child<QLineEdit>(*view, "emailField");
    QTest::keyClicks(email, "  anna@example.com ");
    ASSERT_TRUE(child<QPushButton>(*view, "sendCodeButton")->isEnabled());
    QTest::keyClick(email, Qt::Key_Return);  // Return submits the e-mail form, not the start button
    rig.settle();
    EXPECT_FALSE(rig.model->running());
    const auto requests = rig.fetch.to("/api/auth/request-code");
    ASSERT_EQ(requests.size(), 1u);
    rig.fetch.answer(requests[0], 200, "{}");
    rig.settle();

    auto* code = child<QLineEdit>(*view, "codeField");
    EXPECT_TRUE(code->isVisible());
    EXPECT_FALSE(email->isVisible());
    EXPECT_TRUE(code->text().isEmpty());
    EXPECT_FALSE(child<QPushButton>(*view, "enterButton")->isEnabled());
    EXPECT_NE(text(child<QLabel>(*view, "codeSentText")).find("anna@example.com"), std::string::npos);
    QTest::keyClicks(code, "123456");
    EXPECT_TRUE(child<QPushButton>(*view, "enterButton")->isEnabled());
    test::screenshot(view.get(), "panel-waiting-for-code");

    // A wrong code leaves a message; "Usa un'altra email" clears it and brings the e-mail form back.
    QTest::keyClick(code, Qt::Key_Return);
    rig.settle();
    const auto verifies = rig.fetch.to("/api/auth/verify");
    ASSERT_EQ(verifies.size(), 1u);
    rig.fetch.answer(verifies[0], 401, R"({"error":"codice errato"})");
    rig.settle();
    EXPECT_TRUE(child<QLabel>(*view, "accountMessage")->isVisible());
    QTest::mouseClick(child<QPushButton>(*view, "otherEmailButton"), Qt::LeftButton);
    rig.settle();
    EXPECT_TRUE(email->isVisible());
    EXPECT_FALSE(code->isVisible());
    EXPECT_FALSE(child<QLabel>(*view, "accountMessage")->isVisible());
    EXPECT_TRUE(view->code().empty());
}

TEST_F(PanelViewTest, ProviderHintOnlyWithAnAccountThatAllowsOneProvider) {
    rig.keychain->items["session"] = "sessione";
    rig.make();
    auto view = show();
    const auto me = rig.fetch.to("/api/me");
    ASSERT_FALSE(me.empty());
    rig.fetch.answer(me.back(), 200, R"({"email":"a@b.it","plan":"free","keys":[]})");
    rig.settle();
    EXPECT_EQ(rig.model->availableProviders().size(), 1u);
    EXPECT_TRUE(child<QLabel>(*view, "providerHint")->isVisible());
    EXPECT_EQ(text(child<QLabel>(*view, "accountLine")), "Collegato come a@b.it");

    QTest::mouseClick(child<QPushButton>(*view, "logoutButton"), Qt::LeftButton);
    rig.settle();
    EXPECT_FALSE(child<QLabel>(*view, "providerHint")->isVisible());
    EXPECT_TRUE(child<QLineEdit>(*view, "emailField")->isVisible());
}

TEST_F(PanelViewTest, RunningStateErrorsAndQuitStopsFirst) {
    rig.storage->stored.speakOutputUID = ModelRig::ombrixVoice().uid;
    rig.listen->failWith = AudioError{"Nessun dispositivo di uscita audio (cuffie o casse)."};
    rig.make();
    auto view = show();
    QTest::keyClick(view.get(), Qt::Key_Return);  // the default action starts
    rig.settle();
    rig.advanceMs(1200);
    ASSERT_TRUE(rig.model->running());
    EXPECT_EQ(child<QPushButton>(*view, "startButton")->text(), "Ferma");
    EXPECT_TRUE(child<QPushButton>(*view, "cutButton")->isEnabled());
    auto* listen = child<QLabel>(*view, "listenState");
    EXPECT_EQ(text(listen), "Errore: Nessun dispositivo di uscita audio (cuffie o casse).");
    EXPECT_TRUE(isRed(listen));
    auto* speak = child<QLabel>(*view, "speakState");
    EXPECT_EQ(text(speak), "Attivo");
    EXPECT_FALSE(isRed(speak));
    test::screenshot(view.get(), "panel-error-in-one-direction");

    QSignalSpy quit(view.get(), &PanelView::quitRequested);
    bool runningWhenQuit = true;
    QObject::connect(view.get(), &PanelView::quitRequested, [&] { runningWhenQuit = rig.model->running(); });
    QTest::mouseClick(child<QPushButton>(*view, "quitButton"), Qt::LeftButton);
    EXPECT_EQ(quit.count(), 1);
    EXPECT_FALSE(runningWhenQuit);
}

TEST_F(PanelViewTest, BothDirectionsTranslating) {
    rig.storage->stored.speakOutputUID = ModelRig::ombrixVoice().uid;
    rig.make();
    auto view = show();
    QTest::mouseClick(child<QPushButton>(*view, "startButton"), Qt::LeftButton);
    rig.settle();
    rig.advanceMs(1200);
    EXPECT_EQ(text(child<QLabel>(*view, "listenState")), "Attivo");
    EXPECT_EQ(text(child<QLabel>(*view, "speakState")), "Attivo");
    // Loud chunks in both directions come back from the mock after its delay and queue in the
    // players: the tail line counts what is left to play.
    const std::vector<std::int16_t> loud(1600, 12000);
    for (int i = 0; i < 20; ++i) {
        rig.listen->onChunk(loud);
        rig.speak->onChunk(loud);
        rig.advanceMs(100);
    }
    rig.advanceMs(2500);
    EXPECT_TRUE(child<QLabel>(*view, "tail")->isVisible());
    EXPECT_EQ(text(child<QLabel>(*view, "tail")).rfind("Sto ancora traducendo (", 0), 0u);
    test::screenshot(view.get(), "panel-running-both-directions");
}

TEST_F(PanelViewTest, MeasuredDelayShowsUnderEachStateLineWhileTranslating) {
    rig.storage->stored.speakOutputUID = ModelRig::ombrixVoice().uid;
    rig.storage->stored.silenceGate = false;
    rig.make();
    auto view = show();
    auto* listenDelay = child<QLabel>(*view, "listenDelay");
    auto* speakDelay = child<QLabel>(*view, "speakDelay");
    QTest::mouseClick(child<QPushButton>(*view, "startButton"), Qt::LeftButton);
    rig.settle();
    EXPECT_FALSE(listenDelay->isVisible());  // nothing measured yet
    // Two utterances in both directions; the players are pulled as the audio devices would.
    const std::vector<std::int16_t> loud(1600, 12000), quiet(1600, 0);
    float block[480];
    for (int step = 0; step < 2 * 200; ++step) {
        if (step % 5 == 0) {
            const auto& chunk = step % 200 < 40 ? loud : quiet;
            rig.listen->onChunk(chunk);
            rig.speak->onChunk(chunk);
        }
        rig.advanceMs(20);
        rig.model->listenPorts().player->render(block, 480);
        rig.model->speakPorts().player->render(block, 480);
    }
    rig.advanceMs(1000);  // the next status
    // The mock's 2 s, the players' 120 ms start delay, and the 50 ms poll.
    for (QLabel* label : {listenDelay, speakDelay}) {
        EXPECT_TRUE(label->isVisible());
        EXPECT_TRUE(text(label) == "Ritardo: ~2,1 s" || text(label) == "Ritardo: ~2,2 s") << text(label);
    }
    test::screenshot(view.get(), "panel-measured-delay");
    QTest::mouseClick(child<QPushButton>(*view, "startButton"), Qt::LeftButton);
    rig.settle();
    EXPECT_FALSE(listenDelay->isVisible());
    EXPECT_FALSE(speakDelay->isVisible());
}

TEST_F(PanelViewTest, EachViewKeepsItsOwnSettingsSectionAndTyping) {
    rig.make();
    auto first = show();
    auto second = show();
    QTest::mouseClick(child<QToolButton>(*first, "settingsToggle"), Qt::LeftButton);
    QTest::keyClicks(child<QLineEdit>(*first, "emailField"), "a@b.it");
    EXPECT_TRUE(first->showSettings());
    EXPECT_FALSE(second->showSettings());
    EXPECT_EQ(first->email(), "a@b.it");
    EXPECT_EQ(second->email(), "");
    EXPECT_TRUE(child<QLineEdit>(*first, "serviceUrl")->isVisible());
    EXPECT_FALSE(child<QLineEdit>(*second, "serviceUrl")->isVisible());
    test::screenshot(first.get(), "panel-settings-expanded");
}

TEST_F(PanelViewTest, OwnKeyFieldsHideTheKeyStoreItAndRemoveIt) {
    rig.make();
    auto view = show();
    QTest::mouseClick(child<QToolButton>(*view, "settingsToggle"), Qt::LeftButton);
    auto* field = child<QLineEdit>(*view, "geminiKey");
    ASSERT_TRUE(field->isVisible());
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(child<QPushButton>(*view, "geminiKeyRemove")->isEnabled());
    field->setFocus();
    QTest::keyClicks(field, "AIzaSyPanelKey");
    QTest::keyClick(field, Qt::Key_Return);  // submits the field, does not start
    rig.settle();
    EXPECT_FALSE(rig.model->running());
    EXPECT_EQ(rig.keychain->items.at("gemini-key"), "AIzaSyPanelKey");
    EXPECT_TRUE(child<QPushButton>(*view, "geminiKeyRemove")->isEnabled());
    auto* provider = child<QComboBox>(*view, "provider");
    EXPECT_NE(provider->findData(QStringLiteral("gemini")), -1) << "available without an account";

    auto* reveal = child<QToolButton>(*view, "geminiKeyReveal");
    view->ensureWidgetVisible(reveal);  // below the fold of the expanded settings
    QCoreApplication::processEvents();
    QTest::mouseClick(reveal, Qt::LeftButton);
    EXPECT_EQ(field->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(reveal->text(), "Nascondi");
    QTest::mouseClick(reveal, Qt::LeftButton);
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    child<QLineEdit>(*view, "openaiKey")->setText(QStringLiteral("sk-proj-panel"));
    test::screenshot(view->widget(), "panel-own-keys");

    QTest::mouseClick(child<QPushButton>(*view, "geminiKeyRemove"), Qt::LeftButton);
    rig.settle();
    EXPECT_EQ(rig.keychain->items.count("gemini-key"), 0u);
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(provider->findData(QStringLiteral("gemini")), -1);

    // The panel closed while a key is half typed: the field's focus-out on the way stores nothing
    // and runs nothing of the view being destroyed.
    view->activateWindow();
    field->setFocus();
    QTest::keyClicks(field, "AIzaHalf");
    ASSERT_TRUE(field->hasFocus());
    const auto writes = rig.keychain->writes.size();
    view.reset();
    rig.settle();
    EXPECT_EQ(rig.keychain->writes.size(), writes);
}

TEST_F(PanelViewTest, SecretsStillLoadingShowNoLoginForm) {
    rig.keychain->holdReads = true;
    rig.make();
    auto view = show();
    EXPECT_TRUE(child<QLabel>(*view, "secretsLoading")->isVisible());
    EXPECT_FALSE(child<QLineEdit>(*view, "emailField")->isVisible());
    rig.keychain->answerReads();
    rig.settle();
    EXPECT_FALSE(child<QLabel>(*view, "secretsLoading")->isVisible());
    EXPECT_TRUE(child<QLineEdit>(*view, "emailField")->isVisible());
}

TEST_F(PanelViewTest, MonthlyLimitFieldSpendLineAndTheQuestionAtTheLimit) {
    rig.make();
    auto view = show();
    auto* line = child<QLabel>(*view, "monthSpend");
    EXPECT_FALSE(line->isVisible()) << "nothing spent, no limit: nothing to show";
    QTest::mouseClick(child<QToolButton>(*view, "settingsToggle"), Qt::LeftButton);
    auto* limit = child<QLineEdit>(*view, "monthlyLimit");
    struct Case {
        const char* typed;
        std::optional<double> stored;
        const char* shown;
    };
    const Case cases[] = {{"10,5", 10.5, "10,50"}, {"abc", 10.5, "10,50"}, {" 7 €", 7.0, "7,00"}, {"", std::nullopt, ""}};
    for (const auto& c : cases) {
        limit->setFocus();
        limit->selectAll();
        limit->setText(QString::fromUtf8(c.typed));
        QTest::keyClick(limit, Qt::Key_Return);
        limit->clearFocus();
        rig.settle();
        EXPECT_EQ(rig.model->settings().monthlyLimitEur, c.stored) << c.typed;
        EXPECT_EQ(limit->text().toStdString(), c.shown) << c.typed;
    }
    limit->setText(QStringLiteral("3"));
    QTest::keyClick(limit, Qt::Key_Return);
    limit->clearFocus();
    rig.settle();
    EXPECT_TRUE(line->isVisible());
    EXPECT_EQ(text(line), "Questo mese: 0,00 €");

    EXPECT_EQ(PanelTexts::euroAmount("0"), std::nullopt);
    EXPECT_EQ(PanelTexts::euroAmount("1,2,3"), std::nullopt);
    EXPECT_EQ(PanelTexts::euroAmount("12.25"), std::optional<double>(12.25));
    test::screenshot(view->widget(), "panel-monthly-budget");
}

TEST_F(PanelViewTest, AtTheMonthlyLimitTheStartAsksFirst) {
    MonthSpend spent;
    spent.month = calendarMonth(rig.clock->nowMs());
    spent.usage["openai"] = Usage{6274.51, 0};  // 3,20 € of openai input
    rig.monthSpend->text = spent.encodeText();
    rig.storage->stored.monthlyLimitEur = 3;
    rig.make();
    auto view = show();
    EXPECT_EQ(text(child<QLabel>(*view, "monthSpend")), "Questo mese: 3,20 €");
    QTest::mouseClick(child<QPushButton>(*view, "startButton"), Qt::LeftButton);
    rig.settle();
    EXPECT_FALSE(rig.model->running());
    auto* question = child<QLabel>(*view, "budgetQuestion");
    EXPECT_TRUE(question->isVisible());
    EXPECT_EQ(text(question), "Questo mese hai già raggiunto il limite di spesa di 3,00 €. Vuoi avviare lo stesso?");
    test::screenshot(view->widget(), "panel-monthly-limit-reached");
    QTest::mouseClick(child<QPushButton>(*view, "budgetGoOn"), Qt::LeftButton);
    rig.settle();
    EXPECT_TRUE(rig.model->running());
    EXPECT_FALSE(question->isVisible());
}

}  // namespace
}  // namespace quendra
