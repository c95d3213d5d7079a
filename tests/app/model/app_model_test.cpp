// The model on fakes under one manual clock: building the graphs, the speak checks, the
// permission prompt, device changes and their limits, settings while running, stopping.
#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "model_fakes.h"

namespace quendra {
namespace {

using test::ModelRig;

const std::string devicesChangedNotice =
    "Traduzione spenta: i dispositivi audio sono cambiati troppe volte. Riavviala.";
const std::string captureEndedNotice = "Traduzione spenta: l'app che stavi ascoltando è stata chiusa.";

class AppModelTest : public ::testing::Test {
protected:
    ModelRig rig;
};

TEST_F(AppModelTest, ConstructionChoosesTheVirtualMicrophoneAndFillsTheLists) {
    auto model = rig.make();
    EXPECT_FALSE(model->running());
    EXPECT_EQ(model->notice(), "");
    EXPECT_EQ(model->status(), EngineStatus{});
    EXPECT_EQ(model->outputDevices(), rig.sound->devices);
    ASSERT_FALSE(model->apps().empty());
    EXPECT_EQ(model->apps().front(), (ListenApp{"", "Tutto il computer"}));
    EXPECT_EQ(model->settings().speakOutputUID, "ombrix_voce");
    ASSERT_EQ(rig.storage->saves.size(), 1u);
    EXPECT_EQ(rig.storage->saves.back().speakOutputUID, "ombrix_voce");
    EXPECT_EQ(rig.listen->starts + rig.speak->starts, 0);
}

TEST_F(AppModelTest, StartBuildsBothGraphsAndStartsTheEngine) {
    auto model = rig.make();
    std::vector<AppProperty> changes;
    model->observe([&](AppProperty p) { changes.push_back(p); });
    model->start();
    EXPECT_TRUE(model->running());
    EXPECT_EQ(rig.listen->targets, std::vector<std::string>{""});
    ASSERT_EQ(rig.speak->outputs.size(), 1u);
    EXPECT_EQ(rig.speak->outputs[0], ModelRig::ombrixVoice());
    EXPECT_FALSE(model->engine()->running()) << "the engine starts on the core queue, not inline";
    rig.settle();
    EXPECT_TRUE(model->engine()->running());
    EXPECT_EQ(model->status(), model->engine()->status());
    EXPECT_NE(model->status().speakState, LinkState::off);
    EXPECT_EQ(model->status().speakError, "");
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.front(), AppProperty::running);
    EXPECT_NE(std::find(changes.begin(), changes.end(), AppProperty::status), changes.end());

    model->start();  // already running
    EXPECT_EQ(rig.listen->starts, 1);
}

TEST_F(AppModelTest, SpeakChecksRefuseInOrderWithTheirTexts) {
    const std::string noDevice =
        "Scegli nelle Impostazioni il dispositivo su cui mandare la tua voce (es. Ombrix Voce).";
    const std::string pending =
        "In attesa del permesso del microfono: rispondi alla richiesta del sistema, poi premi Ferma e Avvia.";
    const std::string denied = "Permesso del microfono negato: attivalo nelle impostazioni di privacy del sistema.";
    const std::string unplugged = "Il dispositivo scelto per il parlato non è collegato.";
    const std::string isOutput =
        "Il dispositivo del parlato è anche l'uscita audio del computer: scegli le cuffie come uscita del "
        "computer.";
    const std::string isInput =
        "Il microfono del computer è impostato sul dispositivo del parlato: nelle impostazioni audio, alla "
        "voce Ingresso, scegli il microfono vero.";
    auto noVirtualDevice = [](ModelRig& r) { r.sound->devices = {ModelRig::headphones()}; };
    auto unplug = [](ModelRig& r) {
        r.sound->devices = {ModelRig::headphones()};
        r.storage->stored.speakOutputUID = "ombrix_voce";
    };
    auto access = [](MicrophoneAccess a) { return [a](ModelRig& r) { r.microphone->access = a; }; };
    auto asOutput = [](ModelRig& r) { r.sound->defaultOutput = "ombrix_voce"; };
    auto asInput = [](ModelRig& r) { r.sound->defaultInputFeeder = "ombrix_voce"; };
    struct Row {
        const char* what;
        std::vector<std::function<void(ModelRig&)>> arrange;
        std::string expected;
        bool built;  // the speak graph was started
    };
    const Row rows[] = {
        {"no device chosen", {noVirtualDevice}, noDevice, false},
        {"no device beats the permission", {noVirtualDevice, access(MicrophoneAccess::denied)}, noDevice, false},
        {"permission still open", {access(MicrophoneAccess::notDetermined)}, pending, false},
        {"permission denied", {access(MicrophoneAccess::denied)}, denied, false},
        {"permission restricted", {access(MicrophoneAccess::restricted)}, denied, false},
        {"the permission beats an unplugged device", {unplug, access(MicrophoneAccess::denied)}, denied, false},
        {"device not plugged in", {unplug}, unplugged, false},
        {"device is the default output", {asOutput}, isOutput, false},
        {"the default output beats the default input", {asOutput, asInput}, isOutput, false},
        {"default input records the device", {asInput}, isInput, false},
        {"graph fails",
         {[](ModelRig& r) { r.speak->failWith = AudioError{"Non riesco ad aprire il dispositivo del parlato."}; }},
         "Non riesco ad aprire il dispositivo del parlato.",
         true},
        {"everything in place", {}, "", true},
    };
    for (const auto& row : rows) {
        ModelRig r;
        for (const auto& arrange : row.arrange) arrange(r);
        auto model = r.make();
        model->start();
        // A still open permission prompts first; answer without deciding, as a dismissed prompt.
        for (auto& done : std::exchange(r.microphone->pending, {})) done(false);
        r.settle();
        ASSERT_TRUE(model->running()) << row.what;
        EXPECT_EQ(model->status().speakError, row.expected) << row.what;
        EXPECT_EQ(r.speak->starts, row.built ? 1 : 0) << row.what;
        EXPECT_EQ(r.listen->starts, 1) << row.what << ": listening goes on";
        EXPECT_EQ(model->status().listenError, "") << row.what;
    }
}

TEST_F(AppModelTest, ListenFailureReachesTheStatusAndSpeakingGoesOn) {
    rig.listen->failWith = TapError{"Non riesco a catturare l'audio (errore 3)."};
    auto model = rig.make();
    model->start();
    rig.settle();
    EXPECT_EQ(model->status().listenError, "Non riesco a catturare l'audio (errore 3).");
    EXPECT_EQ(model->status().speakError, "");
    EXPECT_TRUE(rig.speak->running);
}

TEST_F(AppModelTest, PromptsForTheMicrophoneBeforeBeginning) {
    for (const bool granted : {true, false}) {
        ModelRig r;
        r.microphone->access = MicrophoneAccess::notDetermined;
        auto model = r.make();
        model->start();
        r.settle();
        ASSERT_EQ(r.microphone->pending.size(), 1u);
        EXPECT_FALSE(model->running());
        EXPECT_EQ(r.listen->starts + r.speak->starts, 0) << "nothing is built before the answer";

        r.microphone->answer(granted);
        EXPECT_FALSE(model->running()) << "begins from the main queue, not inside the completion";
        r.settle();
        EXPECT_TRUE(model->running());
        EXPECT_EQ(r.speak->starts, granted ? 1 : 0);
        EXPECT_EQ(model->status().speakError,
                  granted ? "" : "Permesso del microfono negato: attivalo nelle impostazioni di privacy del sistema.");
    }
    // Without a speak device nothing is asked.
    ModelRig r;
    r.microphone->access = MicrophoneAccess::notDetermined;
    r.sound->devices = {ModelRig::headphones()};
    auto model = r.make();
    model->start();
    EXPECT_TRUE(r.microphone->pending.empty());
    EXPECT_TRUE(model->running());
}

TEST_F(AppModelTest, DeviceChangesInABurstRebuildOnce) {
    auto model = rig.make();
    model->start();
    rig.settle();
    rig.advanceMs(1000);
    rig.sound->defaultDeviceChanged();
    rig.advanceMs(100);
    rig.listen->onConfigChange();  // a graph's own report counts the same
    rig.advanceMs(299);
    EXPECT_EQ(rig.listen->starts, 1) << "waits 0.3 s after the last change";
    rig.advanceMs(1);
    EXPECT_EQ(rig.listen->starts, 2);
    EXPECT_EQ(rig.speak->starts, 2);
    rig.advanceMs(5000);
    EXPECT_EQ(rig.listen->starts, 2);
    EXPECT_TRUE(model->running());
}

TEST_F(AppModelTest, DeviceChangeRightAfterABuildIsIgnored) {
    auto model = rig.make();
    model->start();
    rig.advanceMs(999);
    rig.sound->defaultDeviceChanged();
    rig.speak->onConfigChange();
    rig.advanceMs(5000);
    EXPECT_EQ(rig.listen->starts, 1);
    EXPECT_EQ(rig.speak->starts, 1);
}

// Right after a build, a change that came with other devices is not the build's echo: the sound
// server back right after a rebuild that found nothing, a device unplugged right after the start.
// Ignoring it would leave a direction in error, or silently dead, with its devices changed.
TEST_F(AppModelTest, DevicesThatChangedRightAfterABuildRebuild) {
    {
        SCOPED_TRACE("the sound server away and back");
        ModelRig r;
        auto model = r.make();
        model->start();
        r.settle();
        r.advanceMs(1000);
        const auto devices = r.sound->devices;
        r.sound->devices.clear();
        r.sound->defaultOutput.clear();
        r.listen->failWith = AudioError{"Nessun dispositivo di uscita audio (cuffie o casse)."};
        r.listen->onConfigChange();
        r.advanceMs(400);
        ASSERT_EQ(r.listen->starts, 2);
        EXPECT_EQ(model->status().listenError, "Nessun dispositivo di uscita audio (cuffie o casse).");
        EXPECT_EQ(model->status().speakError, "Il dispositivo scelto per il parlato non è collegato.");

        r.advanceMs(100);
        r.sound->devices = devices;
        r.sound->defaultOutput = ModelRig::headphones().uid;
        r.listen->failWith.reset();
        r.sound->defaultDeviceChanged();
        r.advanceMs(400);
        EXPECT_EQ(r.listen->starts, 3);
        EXPECT_TRUE(r.listen->running && r.speak->running);
        EXPECT_EQ(model->status().listenError, "");
        EXPECT_EQ(model->status().speakError, "");
    }
    {
        SCOPED_TRACE("the speak device unplugged");
        ModelRig r;
        r.storage->stored.speakOutputUID = ModelRig::blackhole().uid;
        r.sound->devices = {ModelRig::headphones(), ModelRig::blackhole()};
        auto model = r.make();
        model->start();
        r.settle();
        r.advanceMs(500);
        r.sound->devices = {ModelRig::headphones()};
        r.speak->onConfigChange();
        r.advanceMs(400);
        EXPECT_EQ(r.listen->starts, 2) << "rebuilt";
        EXPECT_FALSE(r.speak->running);
        EXPECT_EQ(model->status().speakError, "Il dispositivo scelto per il parlato non è collegato.");
        EXPECT_TRUE(model->running());
    }
}

TEST_F(AppModelTest, DeviceChangesWhileStoppedOnlyRefreshTheLists) {
    auto model = rig.make();
    rig.sound->devices.push_back({9, "vb", "VB-Cable"});
    rig.sound->defaultDeviceChanged();
    rig.advanceMs(2000);
    EXPECT_EQ(model->outputDevices(), rig.sound->devices);
    EXPECT_EQ(rig.listen->starts + rig.speak->starts, 0);
}

TEST_F(AppModelTest, AFourthRebuildWithinTenSecondsStops) {
    struct Row {
        double gapMs;  // between a rebuild and the next change
        bool stops;
    };
    for (const Row row : {Row{1100, true}, Row{3500, false}}) {
        ModelRig r;
        auto model = r.make();
        model->start();
        r.settle();
        for (int i = 0; i < 4; ++i) {
            r.advanceMs(row.gapMs);
            r.sound->defaultDeviceChanged();
            r.advanceMs(300);
        }
        r.settle();
        if (row.stops) {
            EXPECT_EQ(r.listen->starts, 4) << "the first build and three rebuilds";
            EXPECT_FALSE(model->running());
            EXPECT_EQ(model->notice(), devicesChangedNotice);
            EXPECT_FALSE(r.listen->running);
            EXPECT_FALSE(r.speak->running);
            EXPECT_FALSE(model->engine()->running());
        } else {
            EXPECT_EQ(r.listen->starts, 5) << "older rebuilds leave the window";
            EXPECT_TRUE(model->running());
        }
    }
}

TEST_F(AppModelTest, SettingsWhileRunningRebuildOnlyForTheAudioFields) {
    struct Row {
        const char* what;
        std::function<void(Settings&)> edit;
        int listenStarts;  // after the change, counting the first build
        int speakStarts;
    };
    const Row rows[] = {
        {"output language", [](Settings& s) { s.outputLanguage = "de"; }, 1, 1},
        {"duck level", [](Settings& s) { s.originalDuckLevel = 0.4; }, 1, 1},
        {"listen target", [](Settings& s) { s.listenTarget = "firefox"; }, 2, 2},
        {"speak device", [](Settings& s) { s.speakOutputUID = "blackhole"; }, 2, 2},
        {"listening off", [](Settings& s) { s.listenEnabled = false; }, 1, 2},
        {"three at once", [](Settings& s) {
             s.listenTarget = "firefox";
             s.speakOutputUID = "blackhole";
             s.listenEnabled = false;
         }, 1, 2},
    };
    for (const auto& row : rows) {
        ModelRig r;
        auto model = r.make();
        model->start();
        r.settle();
        const auto saves = r.storage->saves.size();
        r.changeSettings(row.edit);
        EXPECT_EQ(r.listen->starts, row.listenStarts) << row.what;
        EXPECT_EQ(r.speak->starts, row.speakStarts) << row.what;
        EXPECT_EQ(r.storage->saves.size(), saves + 1) << row.what;
        EXPECT_EQ(model->engine()->settings(), model->settings()) << row.what << ": applied to the engine";
    }
}

TEST_F(AppModelTest, SettingsWhileStoppedAreSavedOnly) {
    auto model = rig.make();
    rig.changeSettings([](Settings& s) { s.listenTarget = "firefox"; });
    EXPECT_EQ(rig.storage->stored.listenTarget, "firefox");
    EXPECT_EQ(rig.listen->starts, 0);
    const auto saves = rig.storage->saves.size();
    rig.changeSettings([](Settings&) {});
    EXPECT_EQ(rig.storage->saves.size(), saves) << "an equal value changes nothing";
}

TEST_F(AppModelTest, StopShowsItsNoticeEvenWhenNotRunning) {
    auto model = rig.make();
    model->stop("Già fermo.");
    EXPECT_EQ(model->notice(), "Già fermo.");
    EXPECT_EQ(rig.listen->stops + rig.speak->stops, 0);

    model->start();
    EXPECT_EQ(model->notice(), "") << "starting clears the notice";
    rig.settle();
    model->stop("");
    EXPECT_FALSE(model->running());
    EXPECT_FALSE(rig.listen->running);
    EXPECT_FALSE(rig.speak->running);
    rig.settle();
    EXPECT_FALSE(model->engine()->running());
}

TEST_F(AppModelTest, StopCancelsAPendingRebuild) {
    auto model = rig.make();
    model->start();
    rig.advanceMs(1500);
    rig.sound->defaultDeviceChanged();
    model->stop("");
    model->start();
    rig.advanceMs(1000);
    EXPECT_EQ(rig.listen->starts, 2) << "two starts, no rebuild";
}

TEST_F(AppModelTest, TheListenedApplicationEndingStops) {
    struct Row {
        const char* what;
        std::string target;
        bool listenEnabled;
        std::string ended;
        bool stops;
    };
    const Row rows[] = {
        {"the target", "spotify", true, "spotify", true},
        {"another application", "spotify", true, "firefox", false},
        {"listening off", "spotify", false, "spotify", false},
        {"the whole computer", "", true, "", false},
    };
    for (const auto& row : rows) {
        ModelRig r;
        r.storage->stored.listenTarget = row.target;
        r.storage->stored.listenEnabled = row.listenEnabled;
        auto model = r.make();
        model->start();
        r.settle();
        r.sound->applicationEnded(row.ended);
        r.settle();
        EXPECT_EQ(model->running(), !row.stops) << row.what;
        EXPECT_EQ(model->notice(), row.stops ? captureEndedNotice : "") << row.what;
    }
}

TEST_F(AppModelTest, EngineAutoStopShowsItsNotice) {
    auto model = rig.make();
    model->start();
    rig.settle();
    model->engine()->onAutoStop("idle");  // as the engine reports it, on the core queue
    EXPECT_TRUE(model->running());
    rig.settle();
    EXPECT_FALSE(model->running());
    EXPECT_EQ(model->notice(), "Traduzione spenta da sola: nessuno parla da 15 minuti.");
}

TEST_F(AppModelTest, TheTargetIsListedPausedThenClosedAsTheTimerRefreshes) {
    rig.storage->stored.listenTarget = "spotify";
    rig.sound->processes = {{20, "spotify", "Spotify", false, true, 0}, {21, "firefox", "Firefox", true, true, 0}};
    auto model = rig.make();
    const std::vector<ListenApp> paused = {{"", "Tutto il computer"}, {"firefox", "Firefox"},
                                           {"spotify", "Spotify (in pausa)"}};
    EXPECT_EQ(model->apps(), paused);

    int appsChanges = 0;
    model->observe([&](AppProperty p) { appsChanges += p == AppProperty::apps; });
    rig.advanceMs(1500);
    EXPECT_EQ(appsChanges, 0) << "an unchanged list is not reassigned";
    rig.sound->processes.erase(rig.sound->processes.begin());
    rig.advanceMs(1499);
    EXPECT_EQ(model->apps(), paused);
    rig.advanceMs(1);
    const std::vector<ListenApp> closed = {{"", "Tutto il computer"}, {"firefox", "Firefox"},
                                           {"spotify", "spotify (chiusa)"}};
    EXPECT_EQ(model->apps(), closed);
    EXPECT_EQ(appsChanges, 1);
}

TEST_F(AppModelTest, AnOmbrixDeviceAppearingReplacesAGenericChoice) {
    rig.sound->devices = {ModelRig::headphones(), {3, "vb", "VB-Cable"}};
    auto model = rig.make();
    EXPECT_EQ(model->settings().speakOutputUID, "vb");
    model->start();
    rig.advanceMs(2000);
    rig.sound->devices.push_back(ModelRig::ombrixVoice());
    rig.sound->defaultDeviceChanged();
    EXPECT_EQ(model->settings().speakOutputUID, "ombrix_voce");
    EXPECT_EQ(rig.storage->stored.speakOutputUID, "ombrix_voce");
    rig.advanceMs(1000);
    EXPECT_EQ(rig.speak->outputs.back(), ModelRig::ombrixVoice());
    EXPECT_EQ(rig.speak->starts, 2) << "the settings change rebuilt; the device change then did not";
}

TEST_F(AppModelTest, CutAndOriginalVoiceGoToTheEngine) {
    auto model = rig.make();
    model->start();
    rig.settle();
    model->setOriginalVoice(true);
    EXPECT_FALSE(model->engine()->status().originalVoice);
    rig.settle();
    EXPECT_TRUE(model->engine()->status().originalVoice);
    EXPECT_TRUE(model->status().originalVoice);
}

TEST_F(AppModelTest, ShutdownStopsGraphsThenTheEngineAndGoesQuiet) {
    auto model = rig.make();
    model->start();
    rig.settle();
    const std::weak_ptr<TranslationEngine> engine = model->engine();
    bool engineStopped = false;
    model->shutdown([&] { engineStopped = engine.expired(); });
    EXPECT_FALSE(rig.listen->running);
    EXPECT_FALSE(rig.speak->running);
    EXPECT_FALSE(engineStopped) << "the engine stops on the core queue";
    rig.settle();
    EXPECT_TRUE(engineStopped) << "stopped and released before the callback";
    EXPECT_TRUE(rig.logFile.back() == "motore stop");

    const auto apps = model->apps();
    rig.sound->processes = {{30, "vlc", "VLC", true, true, 0}};
    rig.sound->defaultDeviceChanged();
    model->start();
    rig.advanceMs(5000);
    EXPECT_EQ(model->apps(), apps);
    EXPECT_EQ(rig.listen->starts, 1);
}

TEST_F(AppModelTest, LogsWarningsEverywhereAndDebugOnlyWithTheSwitch) {
    for (const bool debug : {false, true}) {
        ModelRig r;
        if (debug) r.quendraDebug = "1";
        auto model = r.make();
        model->start();
        r.settle();
        model->stop("");
        r.settle();
        EXPECT_NE(std::find(r.logFile.begin(), r.logFile.end(), "motore stop"), r.logFile.end());
        const bool onConsole =
            std::find(r.standardError.begin(), r.standardError.end(), "motore stop") != r.standardError.end();
        EXPECT_EQ(onConsole, debug);
    }
}

}  // namespace
}  // namespace quendra
