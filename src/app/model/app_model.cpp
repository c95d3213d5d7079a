#include "app/model/app_model.h"

#include <algorithm>
#include <set>
#include <utility>

#include "app/model/app_logger.h"
#include "app/model/output_choice.h"
#include "app/model/own_keys.h"
#include "core/engine/usage.h"

namespace quendra {
namespace {

// Player and ramps of one direction; the ramps' rates are placeholders until a graph sets them.
AudioPorts makePorts(float translatedInitial) {
    return AudioPorts{std::make_shared<PullPlayer>(24000, 120, 5, 30, 5), std::make_shared<GainRamp>(48000, 1.0f),
                      std::make_shared<GainRamp>(24000, translatedInitial)};
}

std::string noticeFor(const std::string& reason) {
    const auto& notices = AutoStop::notices();
    const auto found = notices.find(reason);
    return found == notices.end() ? std::string() : found->second;
}

bool isBlank(char32_t c) {
    return c == U' ' || (c >= U'\t' && c <= U'\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The code point starting at `i` and its length in bytes; invalid bytes count as themselves.
std::pair<char32_t, size_t> decodeAt(const std::string& s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    auto cont = [&](size_t k) { return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80; };
    auto bits = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
    if (b < 0x80) return {b, 1};
    if ((b & 0xE0) == 0xC0 && cont(1)) return {((b & 0x1Fu) << 6) | bits(1), 2};
    if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) return {((b & 0x0Fu) << 12) | (bits(1) << 6) | bits(2), 3};
    return {0xFFFD, 1};
}

// `text` without leading and trailing white space and line breaks.
std::string trimmed(const std::string& text) {
    size_t begin = 0;
    while (begin < text.size()) {
        const auto [c, n] = decodeAt(text, begin);
        if (!isBlank(c)) break;
        begin += n;
    }
    size_t end = begin;
    for (size_t i = begin; i < text.size();) {
        const auto [c, n] = decodeAt(text, i);
        i += n;
        if (!isBlank(c)) end = i;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

std::shared_ptr<AppModel> AppModel::create(AppModelDependencies dependencies) {
    std::shared_ptr<AppModel> model(new AppModel(std::move(dependencies)));
    model->connect();
    return model;
}

AppModel::AppModel(AppModelDependencies dependencies)
    : deps_(std::move(dependencies)),
      logger_(makeAppLogger(deps_.logFile, deps_.standardError, debugSwitch(deps_.quendraDebug))),
      settings_(deps_.settingsStorage->load()),
      listenPorts_(makePorts(1.0f)),
      speakPorts_(makePorts(0.0f)) {
    // Secrets come from the keychain, asynchronously (loadSecrets), never from the settings file.
    settings_.sessionToken.clear();
    settings_.ownKeys.clear();
    budget_ = std::make_unique<MonthBudget>(deps_.monthSpend, deps_.nowMs());
    budget_->warn = logger_.warn;
    shownSpendEur_ = budget_->spentEur();
    engine_ = std::make_shared<TranslationEngine>(settings_, deps_.coreScheduler, deps_.makeSocket, deps_.fetch,
                                                  listenPorts_, speakPorts_, logger_);
}

void AppModel::connect() {
    const std::weak_ptr<AppModel> weak = weak_from_this();
    const auto main = deps_.mainQueue;
    // Set before anything runs on the core queue; the posts below order them for it.
    engine_->onStatus = [weak, main](const EngineStatus& status) {
        main->post([weak, status] {
            if (auto self = weak.lock()) {
                self->assign(self->status_, status, AppProperty::status);
                self->countSpend(status);
            }
        });
    };
    engine_->onAutoStop = [weak, main](const std::string& reason) {
        main->post([weak, reason] {
            if (auto self = weak.lock()) self->stopWithReason(reason);
        });
    };
    engine_->onTranscript = [weak, main](const TranscriptEvent& event) {
        main->post([weak, event] {
            if (auto self = weak.lock()) self->transcript(event);
        });
    };
    deps_.sound->onDefaultDeviceChange([weak] {
        if (auto self = weak.lock()) self->devicesChanged();
    });
    deps_.sound->onApplicationEnded([weak](const std::string& appId) {
        if (auto self = weak.lock()) self->appTerminated(appId);
    });
    refreshLists();
    loadSecrets();  // then the account
    appsTimer_ = deps_.mainQueue->every(appsRefreshMs, [weak] {
        if (auto self = weak.lock()) self->refreshApps();
    });
}

std::uint64_t AppModel::observe(Observer observer) {
    const auto id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void AppModel::unobserve(std::uint64_t id) {
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void AppModel::notify(AppProperty property) {
    // A copy: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers) {
        if (observer) observer(property);
    }
}

template <typename T>
void AppModel::assign(T& field, T value, AppProperty property) {
    if (field == value) return;
    field = std::move(value);
    notify(property);
}

void AppModel::setSettings(Settings value) {
    if (shutDown_ || value == settings_) return;
    const Settings old = std::exchange(settings_, std::move(value));
    notify(AppProperty::settings);
    settingsChanged(old);
}

void AppModel::settingsChanged(const Settings& old) {
    if (auto saved = deps_.settingsStorage->save(settings_); !saved) {
        logger_.warn("impostazioni non salvate: " + saved.error());
    }
    if (!running_) return;
    if (settings_.listenEnabled != old.listenEnabled || settings_.listenTarget != old.listenTarget ||
        settings_.speakOutputUID != old.speakOutputUID) {
        startAudio();
    }
    postApply();
}

void AppModel::postApply() {
    deps_.postToCore([engine = engine_, settings = settings_, listenError = listenError_,
                      speakError = speakError_] { engine->apply(settings, listenError, speakError); });
}

void AppModel::start() {
    if (running_ || shutDown_) return;
    if (secretsLoading_) {
        startWhenLoaded_ = true;  // the provider's key or session is not known yet
        return;
    }
    if (budget_->needsConfirmation(settings_.monthlyLimitEur, deps_.nowMs())) {
        assign(budgetQuestion_, MonthBudget::confirmQuestion(*settings_.monthlyLimitEur), AppProperty::budgetQuestion);
        return;
    }
    if (!settings_.speakOutputUID.empty() && deps_.microphone->status() == MicrophoneAccess::notDetermined) {
        const std::weak_ptr<AppModel> weak = weak_from_this();
        deps_.microphone->request([weak, main = deps_.mainQueue](bool) {
            main->post([weak] {
                if (auto self = weak.lock()) self->begin();
            });
        });
        return;
    }
    begin();
}

void AppModel::begin() {
    if (running_ || shutDown_) return;
    assign(running_, true, AppProperty::running);
    assign(notice_, std::string(), AppProperty::notice);
    recentRebuildsMs_.clear();
    ++captionsRun_;
    if (!captions_.empty()) {
        captions_.clear();
        notify(AppProperty::captions);
    }
    startAudio();
    postApply();
    deps_.postToCore([engine = engine_, listenError = listenError_, speakError = speakError_] {
        engine->start(listenError, speakError);
    });
}

void AppModel::startAudio() {
    lastBuildMs_ = deps_.nowMs();
    // Read before the graphs start: a change while they start is not one this build saw.
    builtFor_ = {deps_.sound->outputDevices(), deps_.sound->defaultOutputUid()};
    const std::weak_ptr<AppModel> weak = weak_from_this();
    const std::weak_ptr<TranslationEngine> engine = engine_;
    // Posted: a graph may report a change from inside `start`, while this build is under way.
    auto onConfigChange = [weak, main = deps_.mainQueue] {
        main->post([weak] {
            if (auto self = weak.lock()) self->devicesChanged();
        });
    };

    deps_.listenGraph->stop();
    listenError_.reset();
    if (settings_.listenEnabled) {
        auto onChunk = [engine](const std::vector<std::int16_t>& samples) {
            if (auto e = engine.lock()) e->listenChunk(samples);
        };
        if (auto error = deps_.listenGraph->start(settings_.listenTarget, listenPorts_, onChunk, onConfigChange)) {
            listenError_ = audioErrorMessage(*error);
        }
    }

    deps_.speakGraph->stop();
    speakError_ = startSpeak();
    lastBuildMs_ = deps_.nowMs();
}

// Built whether speaking is enabled or not, so switching it on needs no rebuild.
std::optional<std::string> AppModel::startSpeak() {
    if (settings_.speakOutputUID.empty()) return noSpeakDevice;
    switch (deps_.microphone->status()) {
    case MicrophoneAccess::notDetermined:
        return microphonePending;
    case MicrophoneAccess::restricted:
    case MicrophoneAccess::denied:
        return microphoneDenied;
    case MicrophoneAccess::authorized:
        break;
    }
    const auto device = deps_.sound->device(settings_.speakOutputUID);
    if (!device) return speakDeviceMissing;
    const auto defaultOutput = deps_.sound->defaultOutputUid();
    if (!defaultOutput.empty() && defaultOutput == device->uid) return speakDeviceIsOutput;
    if (deps_.sound->defaultInputFedBy(*device)) return speakDeviceIsInput;

    const std::weak_ptr<AppModel> weak = weak_from_this();
    const std::weak_ptr<TranslationEngine> engine = engine_;
    auto onChunk = [engine](const std::vector<std::int16_t>& samples) {
        if (auto e = engine.lock()) e->micChunk(samples);
    };
    auto onConfigChange = [weak, main = deps_.mainQueue] {
        main->post([weak] {
            if (auto self = weak.lock()) self->devicesChanged();
        });
    };
    if (auto error = deps_.speakGraph->start(*device, speakPorts_, onChunk, onConfigChange)) {
        return audioErrorMessage(*error);
    }
    return std::nullopt;
}

void AppModel::stop(const std::string& notice) {
    if (shutDown_) return;
    assign(notice_, notice, AppProperty::notice);
    if (!running_) return;
    assign(running_, false, AppProperty::running);
    if (rebuild_) rebuild_->cancel();
    rebuild_.reset();
    deps_.listenGraph->stop();
    deps_.speakGraph->stop();
    deps_.postToCore([engine = engine_] { engine->stop(); });
}

void AppModel::stopWithReason(const std::string& reason) { stop(noticeFor(reason)); }

// Late transcripts of an earlier run (a link finishing its last line as it closes) stay out.
void AppModel::transcript(const TranscriptEvent& event) {
    if (shutDown_ || !settings_.captions || event.run != captionsRun_) return;
    if (captions_.add(event)) notify(AppProperty::captions);
}

std::optional<std::string> AppModel::saveCaptions(const std::string& srtPath) const {
    return quendra::saveCaptions(captions_, srtPath);
}

void AppModel::cut() {
    if (shutDown_) return;
    deps_.postToCore([engine = engine_] { engine->cut(); });
}

void AppModel::setOriginalVoice(bool on) {
    if (shutDown_) return;
    deps_.postToCore([engine = engine_, on] { engine->setOriginalVoice(on); });
}

void AppModel::devicesChanged() {
    if (shutDown_) return;
    refreshLists();
    if (!running_) return;
    // Right after a build only the build's own echoes are ignored: devices that really came or
    // went meanwhile (a sound server back, a device unplugged) rebuild, or a direction would stay
    // in error, or silently dead, with its device situation changed.
    if (lastBuildMs_ && deps_.nowMs() - *lastBuildMs_ < buildGuardMs &&
        builtFor_ == BuiltFor{outputDevices_, deps_.sound->defaultOutputUid()}) {
        return;
    }
    if (rebuild_) rebuild_->cancel();
    const std::weak_ptr<AppModel> weak = weak_from_this();
    rebuild_ = deps_.mainQueue->after(rebuildDelayMs, [weak] {
        if (auto self = weak.lock()) self->rebuildAudio();
    });
}

void AppModel::rebuildAudio() {
    rebuild_.reset();
    if (!running_ || shutDown_) return;
    const double now = deps_.nowMs();
    std::erase_if(recentRebuildsMs_, [now](double t) { return now - t >= rebuildWindowMs; });
    if (recentRebuildsMs_.size() < rebuildsPerWindow) {
        recentRebuildsMs_.push_back(now);
        startAudio();
        postApply();
    } else {
        stopWithReason("device-changed");
    }
}

void AppModel::appTerminated(const std::string& appId) {
    if (running_ && settings_.listenEnabled && !appId.empty() && appId == settings_.listenTarget) {
        stopWithReason("capture-ended");
    }
}

void AppModel::refreshLists() {
    if (shutDown_) return;
    assign(outputDevices_, deps_.sound->outputDevices(), AppProperty::outputDevices);
    if (auto uid = automaticSpeakOutput(outputDevices_, settings_.speakOutputUID)) {
        Settings next = settings_;
        next.speakOutputUID = *uid;
        setSettings(std::move(next));
    }
    refreshApps();
}

void AppModel::refreshApps() {
    if (shutDown_) return;
    const auto sound = deps_.sound;
    assign(apps_,
           listenableApps(sound->audioProcesses(), settings_.listenTarget,
                          [&sound](const std::string& appId) { return sound->runningApplicationName(appId); }),
           AppProperty::apps);
}

void AppModel::requestCode(const std::string& email) {
    if (shutDown_) return;
    assign(accountBusy_, true, AppProperty::accountBusy);
    assign(accountMessage_, std::string(), AppProperty::accountMessage);
    const std::weak_ptr<AppModel> weak = weak_from_this();
    const std::string address = trimmed(email);
    AccountClient::requestCode(
        settings_.serviceUrl, email, deps_.fetch, [weak, main = deps_.mainQueue, address](std::optional<Error> error) {
            main->post([weak, error, address] {
                auto self = weak.lock();
                if (!self || self->shutDown_) return;
                self->assign(self->accountBusy_, false, AppProperty::accountBusy);
                if (error) {
                    self->assign(self->accountMessage_, errorMessage(*error), AppProperty::accountMessage);
                } else {
                    self->assign(self->codeSentTo_, address, AppProperty::codeSentTo);
                }
            });
        });
}

void AppModel::verify(const std::string& code) {
    if (shutDown_) return;
    assign(accountBusy_, true, AppProperty::accountBusy);
    assign(accountMessage_, std::string(), AppProperty::accountMessage);
    const std::weak_ptr<AppModel> weak = weak_from_this();
    AccountClient::verify(
        settings_.serviceUrl, codeSentTo_, code, deps_.fetch,
        [weak, main = deps_.mainQueue](Result<AccountClient::Session> result) {
            main->post([weak, result = std::move(result)] {
                auto self = weak.lock();
                if (!self || self->shutDown_) return;
                self->assign(self->accountBusy_, false, AppProperty::accountBusy);
                if (!result) {
                    self->assign(self->accountMessage_, errorMessage(result.error()), AppProperty::accountMessage);
                    return;
                }
                self->deps_.keychain->write(sessionItem, result->token);
                self->assign(self->codeSentTo_, std::string(), AppProperty::codeSentTo);
                Settings next = self->settings_;
                next.sessionToken = result->token;
                self->setSettings(std::move(next));
                self->refreshAccount();
            });
        });
}

void AppModel::refreshAccount() {
    if (settings_.sessionToken.empty()) {
        assign(account_, std::optional<Account>(), AppProperty::account);
        applyAvailableProviders();
        return;
    }
    const std::weak_ptr<AppModel> weak = weak_from_this();
    const std::string token = settings_.sessionToken;
    AccountClient::me(settings_.serviceUrl, token, deps_.fetch,
                      [weak, main = deps_.mainQueue, token](Result<Account> result) {
                          main->post([weak, token, result = std::move(result)] {
                              auto self = weak.lock();
                              // A late answer for a session that has since changed or ended.
                              if (!self || self->shutDown_ || self->settings_.sessionToken != token) return;
                              if (result) {
                                  self->assign(self->account_, std::optional<Account>(*result), AppProperty::account);
                                  self->assign(self->accountMessage_, std::string(), AppProperty::accountMessage);
                                  self->applyAvailableProviders();
                              } else if (AccountClient::isUnauthorized(result.error())) {
                                  self->clearSession(sessionExpired);
                              } else {
                                  self->assign(self->accountMessage_, errorMessage(result.error()),
                                               AppProperty::accountMessage);
                              }
                          });
                      });
}

void AppModel::logout() {
    if (shutDown_) return;
    if (!settings_.sessionToken.empty()) {
        AccountClient::logout(settings_.serviceUrl, settings_.sessionToken, deps_.fetch, [](std::optional<Error>) {});
    }
    clearSession("");
}

void AppModel::forgetCode() {
    assign(codeSentTo_, std::string(), AppProperty::codeSentTo);
    assign(accountMessage_, std::string(), AppProperty::accountMessage);
}

void AppModel::clearSession(const std::string& message) {
    const auto provider = Providers::info(settings_.provider);
    // A run on the user's own key needs no account and goes on.
    if (running_ && provider && provider->needsToken && !settings_.ownKey(settings_.provider)) stop("");
    deps_.keychain->write(sessionItem, "");
    Settings next = settings_;
    next.sessionToken.clear();
    setSettings(std::move(next));
    assign(account_, std::optional<Account>(), AppProperty::account);
    assign(codeSentTo_, std::string(), AppProperty::codeSentTo);
    assign(accountMessage_, message, AppProperty::accountMessage);
    applyAvailableProviders();
}

void AppModel::applyAvailableProviders() {
    if (secretsLoading_) return;  // the keys are not known yet: keep the chosen provider
    const auto fallback = Providers::fallback(settings_.provider, providerKeys());
    if (fallback != settings_.provider) {
        Settings next = settings_;
        next.provider = fallback;
        setSettings(std::move(next));
    }
}

std::vector<ProviderInfo> AppModel::availableProviders() const {
    if (secretsLoading_ || (!settings_.sessionToken.empty() && !account_)) return Providers::all();
    return Providers::available(providerKeys());
}

std::set<std::string> AppModel::providerKeys() const {
    std::set<std::string> keys = account_ ? account_->keys : std::set<std::string>{};
    keys.merge(OwnKeys::withKey(settings_));
    return keys;
}

void AppModel::loadSecrets() {
    secretsLoading_ = true;
    // Keychain item of earlier versions, removed at every start.
    deps_.keychain->write(legacyTeamPasswordItem, "");
    struct Loaded {
        std::string session;
        std::map<std::string, std::string> keys;
        std::size_t left = 0;
    };
    auto loaded = std::make_shared<Loaded>();  // touched on the UI thread only
    std::vector<std::pair<std::string, std::string>> items = {{sessionItem, ""}};
    for (const auto& provider : OwnKeys::providers()) items.emplace_back(OwnKeys::item(provider), provider);
    loaded->left = items.size();
    const std::weak_ptr<AppModel> weak = weak_from_this();
    for (const auto& entry : items) {
        deps_.keychain->read(entry.first, [weak, main = deps_.mainQueue, loaded,
                                           provider = entry.second](std::string value) {
            main->post([weak, loaded, provider, value = std::move(value)] {
                if (provider.empty()) {
                    loaded->session = value;
                } else if (!value.empty()) {
                    loaded->keys[provider] = value;
                }
                if (--loaded->left > 0) return;
                if (auto self = weak.lock()) self->secretsLoaded(loaded->session, loaded->keys);
            });
        });
    }
}

void AppModel::secretsLoaded(const std::string& session, const std::map<std::string, std::string>& keys) {
    if (shutDown_ || !secretsLoading_) return;
    Settings next = settings_;
    if (next.sessionToken.empty()) next.sessionToken = session;  // a login made meanwhile wins
    for (const auto& [provider, key] : keys) next.ownKeys.emplace(provider, key);
    secretsLoading_ = false;
    if (next != settings_) {
        // Only secrets changed: nothing to write to the settings file.
        settings_ = std::move(next);
        notify(AppProperty::settings);
        if (running_) postApply();
    }
    notify(AppProperty::secretsLoading);
    refreshAccount();
    if (std::exchange(startWhenLoaded_, false)) start();
}

void AppModel::setOwnKey(const std::string& provider, const std::string& key) {
    if (shutDown_) return;
    const std::string item = OwnKeys::item(provider);
    if (item.empty()) return;
    const std::string value = trimmed(key);
    if (settings_.ownKey(provider).value_or("") == value) return;
    deps_.keychain->write(item, value);
    Settings next = settings_;
    if (value.empty()) {
        next.ownKeys.erase(provider);
    } else {
        next.ownKeys[provider] = value;
    }
    setSettings(std::move(next));
    applyAvailableProviders();
}

void AppModel::countSpend(const EngineStatus& status) {
    if (shutDown_) return;
    const auto limit = settings_.monthlyLimitEur;
    const auto event = budget_->count(status.usageByProvider, limit, deps_.nowMs());
    if (!running_) budget_->flush();  // the run's last totals
    if (budget_->spentEur() != shownSpendEur_) {
        shownSpendEur_ = budget_->spentEur();
        notify(AppProperty::monthSpend);
    }
    if (event == MonthBudget::Event::warn) {
        logger_.warn("spesa del mese oltre l'80 % del limite");
        assign(notice_, MonthBudget::warnNotice(budget_->spentEur(), *limit), AppProperty::notice);
    } else if (event == MonthBudget::Event::limit && running_) {
        logger_.warn("limite di spesa del mese raggiunto: traduzione spenta");
        stop(MonthBudget::limitNotice(*limit));
    }
}

void AppModel::confirmOverBudget() {
    if (shutDown_ || budgetQuestion_.empty()) return;
    assign(budgetQuestion_, std::string(), AppProperty::budgetQuestion);
    budget_->confirm(deps_.nowMs());
    start();
}

void AppModel::cancelOverBudget() { assign(budgetQuestion_, std::string(), AppProperty::budgetQuestion); }

void AppModel::shutdown(std::function<void()> engineStopped) {
    if (shutDown_) return;
    shutDown_ = true;
    if (appsTimer_) appsTimer_->cancel();
    if (rebuild_) rebuild_->cancel();
    rebuild_.reset();
    deps_.listenGraph->stop();
    deps_.speakGraph->stop();
    running_ = false;
    budget_->flush();
    // The engine ends on the core queue: stopped, then destroyed there, and `engineStopped` runs
    // after whatever its destruction posted (the links' closes).
    deps_.postToCore([engine = std::exchange(engine_, nullptr), post = deps_.postToCore,
                      engineStopped = std::move(engineStopped)]() mutable {
        engine->onStatus = nullptr;
        engine->onAutoStop = nullptr;
        engine->stop();
        engine.reset();
        post([engineStopped = std::move(engineStopped)] {
            if (engineStopped) engineStopped();
        });
    });
}

}  // namespace quendra
