// The application's view model: it owns the engine, the two audio graphs' ports and the account
// flow, decides when the graphs are built and rebuilt, checks the speak direction's
// preconditions, and holds everything the panel shows.
//
// Threading: lives on the UI thread; every public function is called there and every change
// notification is delivered there. Engine operations are posted to the core queue and never
// called directly; what the engine and the account service report comes back through the main
// queue. Callbacks left in long-lived objects hold the model weakly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/model/audio_graphs.h"
#include "app/model/captions.h"
#include "app/model/listen_apps.h"
#include "app/model/main_queue.h"
#include "app/model/microphone.h"
#include "app/model/month_budget.h"
#include "app/model/settings_storage.h"
#include "app/model/sound_system.h"
#include "core/audio/audio_ports.h"
#include "core/base/scheduler.h"
#include "core/engine/engine.h"
#include "core/links/websocket_like.h"
#include "core/service/account.h"
#include "core/service/http.h"
#include "core/settings/settings.h"

namespace quendra {

// Everything the model reaches outside itself. Every member but `quendraDebug` is required.
struct AppModelDependencies {
    std::shared_ptr<MainQueue> mainQueue;
    // Runs a task on the core queue, in posting order. Any thread.
    std::function<void(std::function<void()>)> postToCore;
    // The engine's clock and timers, on the core queue.
    std::shared_ptr<Scheduler> coreScheduler;
    // Milliseconds, for the rebuild guards; read on the UI thread.
    std::function<double()> nowMs;
    SocketFactory makeSocket;
    // Completes on the core queue (the account client's answers are moved to the UI thread).
    FetchFunction fetch;
    std::shared_ptr<SoundSystem> sound;
    std::shared_ptr<ListenGraphLike> listenGraph;
    std::shared_ptr<SpeakGraphLike> speakGraph;
    std::shared_ptr<MicrophonePermission> microphone;
    std::shared_ptr<SettingsStorage> settingsStorage;
    std::shared_ptr<SecretStorage> keychain;
    // The log file and standard error; called from any thread.
    std::function<void(const std::string&)> logFile;
    std::function<void(const std::string&)> standardError;
    // The value of QUENDRA_DEBUG, none when unset.
    std::optional<std::string> quendraDebug;
    // Where the month's spend is kept; none keeps it for this process only.
    std::shared_ptr<MonthSpendStorage> monthSpend;
};

// The observable properties; a change notification names the one that changed.
// `availableProviders` follows `settings` and `account`.
enum class AppProperty {
    settings,
    status,
    running,
    notice,
    outputDevices,
    apps,
    account,
    accountBusy,
    accountMessage,
    codeSentTo,
    captions,
    secretsLoading,   // the session token and own keys are still being read from the keychain
    monthSpend,
    budgetQuestion,
};

class AppModel : public std::enable_shared_from_this<AppModel> {
public:
    static constexpr double appsRefreshMs = 1500;
    static constexpr double buildGuardMs = 1000;    // changes this soon after a build, devices unchanged, are its own
    static constexpr double rebuildDelayMs = 300;   // one rebuild after a burst of changes
    static constexpr double rebuildWindowMs = 10000;
    static constexpr std::size_t rebuildsPerWindow = 3;

    static constexpr const char* sessionItem = "session";
    static constexpr const char* legacyTeamPasswordItem = "teamPassword";
    static constexpr const char* sessionExpired = "Sessione scaduta: accedi di nuovo.";

    // The speak direction's refusals, in the order they are checked.
    static constexpr const char* noSpeakDevice =
        "Scegli nelle Impostazioni il dispositivo su cui mandare la tua voce (es. Ombrix Voce).";
    static constexpr const char* microphonePending =
        "In attesa del permesso del microfono: rispondi alla richiesta del sistema, poi premi Ferma e Avvia.";
    static constexpr const char* microphoneDenied =
        "Permesso del microfono negato: attivalo nelle impostazioni di privacy del sistema.";
    static constexpr const char* speakDeviceMissing = "Il dispositivo scelto per il parlato non è collegato.";
    static constexpr const char* speakDeviceIsOutput =
        "Il dispositivo del parlato è anche l'uscita audio del computer: scegli le cuffie come uscita del "
        "computer.";
    static constexpr const char* speakDeviceIsInput =
        "Il microfono del computer è impostato sul dispositivo del parlato: nelle impostazioni audio, alla "
        "voce Ingresso, scegli il microfono vero.";

    // Loads the settings, creates the engine, registers the notifications, fills the lists, reads
    // the account and starts the applications refresh.
    static std::shared_ptr<AppModel> create(AppModelDependencies dependencies);

    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // Change notifications, on the UI thread, after the new value is stored.
    using Observer = std::function<void(AppProperty)>;
    std::uint64_t observe(Observer observer);
    void unobserve(std::uint64_t id);

    const Settings& settings() const { return settings_; }
    // Stores and applies a changed value; an equal value does nothing.
    void setSettings(Settings value);
    const EngineStatus& status() const { return status_; }
    bool running() const { return running_; }
    const std::string& notice() const { return notice_; }
    const std::vector<AudioDevice>& outputDevices() const { return outputDevices_; }
    const std::vector<ListenApp>& apps() const { return apps_; }
    const std::optional<Account>& account() const { return account_; }
    bool accountBusy() const { return accountBusy_; }
    const std::string& accountMessage() const { return accountMessage_; }
    const std::string& codeSentTo() const { return codeSentTo_; }
    // The captions of the current (or last) run, collected while `settings.captions` is on.
    const Captions& captions() const { return captions_; }
    // Saves them as SRT at `srtPath` and as text beside it; the error is a message for the user.
    [[nodiscard]] std::optional<std::string> saveCaptions(const std::string& srtPath) const;
    // Every provider while a saved session's account is loading; else those the account allows.
    std::vector<ProviderInfo> availableProviders() const;

    // True until the keychain has answered for the session token and the own keys; meanwhile no
    // account is asked for and the provider is not changed, and a start waits for the answer.
    bool secretsLoading() const { return secretsLoading_; }
    // Stores the user's own key for "gemini" or "openai" in the keychain (an empty text removes
    // it); with a key the provider is available without an account. Other providers: nothing.
    void setOwnKey(const std::string& provider, const std::string& key);

    // This calendar month's estimated spend in euros, over every run.
    double monthSpentEur() const { return budget_ ? budget_->spentEur() : 0; }
    // Not empty while a start waits for the user to confirm going past the monthly limit.
    const std::string& budgetQuestion() const { return budgetQuestion_; }
    // Answers the question: go on past the limit for the rest of the month and start, or not.
    void confirmOverBudget();
    void cancelOverBudget();

    void start();
    // Shows `notice` (also when not running) and switches translation off.
    void stop(const std::string& notice);
    void cut();
    void setOriginalVoice(bool on);
    void requestCode(const std::string& email);
    void verify(const std::string& code);
    void logout();
    // Re-reads the devices (choosing the speak device when needed) and the applications.
    void refreshLists();
    // Returns from waiting for a code to logged out ("Usa un'altra email"), clearing the account
    // message.
    void forgetCode();

    // For the executable's exit: stops the timers and both graphs, then stops and releases the
    // engine on the core queue and calls `engineStopped` there once what that posted has run.
    // After it the model does nothing more. The caller waits for `engineStopped` and then stops
    // the core queue, before static destruction (see shutDownApplication).
    void shutdown(std::function<void()> engineStopped);

    // The engine (none after shutdown) and ports, for binding and tests. The engine is touched
    // only on the core queue.
    const std::shared_ptr<TranslationEngine>& engine() const { return engine_; }
    const AudioPorts& listenPorts() const { return listenPorts_; }
    const AudioPorts& speakPorts() const { return speakPorts_; }

private:
    explicit AppModel(AppModelDependencies dependencies);
    void connect();

    void settingsChanged(const Settings& old);
    void begin();
    void startAudio();
    std::optional<std::string> startSpeak();
    void devicesChanged();
    void rebuildAudio();
    void appTerminated(const std::string& appId);
    void refreshApps();
    void refreshAccount();
    void clearSession(const std::string& message);
    void applyAvailableProviders();
    void postApply();
    void stopWithReason(const std::string& reason);
    void transcript(const TranscriptEvent& event);
    void loadSecrets();
    void secretsLoaded(const std::string& session, const std::map<std::string, std::string>& keys);
    std::set<std::string> providerKeys() const;
    void countSpend(const EngineStatus& status);

    template <typename T>
    void assign(T& field, T value, AppProperty property);
    void notify(AppProperty property);

    AppModelDependencies deps_;
    Logger logger_;

    Settings settings_;
    EngineStatus status_;
    bool running_ = false;
    std::string notice_;
    std::vector<AudioDevice> outputDevices_;
    std::vector<ListenApp> apps_;
    std::optional<Account> account_;
    bool accountBusy_ = false;
    std::string accountMessage_;
    std::string codeSentTo_;

    AudioPorts listenPorts_;
    AudioPorts speakPorts_;
    std::shared_ptr<TranslationEngine> engine_;
    std::optional<std::string> listenError_;
    std::optional<std::string> speakError_;
    std::shared_ptr<Cancellable> rebuild_;
    std::optional<double> lastBuildMs_;  // none: never built
    // The output devices and default output the last build saw.
    struct BuiltFor {
        std::vector<AudioDevice> outputDevices;
        std::string defaultOutput;
        bool operator==(const BuiltFor&) const = default;
    };
    BuiltFor builtFor_;
    std::vector<double> recentRebuildsMs_;
    std::shared_ptr<Cancellable> appsTimer_;
    bool shutDown_ = false;
    bool secretsLoading_ = false;
    bool startWhenLoaded_ = false;
    std::unique_ptr<MonthBudget> budget_;
    double shownSpendEur_ = 0;
    std::string budgetQuestion_;

    Captions captions_;
    std::uint64_t captionsRun_ = 0;  // runs begun: the engine's count of starts, for it is the only starter

    std::uint64_t nextObserver_ = 1;
    std::vector<std::pair<std::uint64_t, Observer>> observers_;
};

}  // namespace quendra
