// Fakes of the application model's interfaces. One ManualScheduler stands in for the UI thread's
// queue, the core queue and both clocks, so a test runs the whole application logic in one
// deterministic order.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/model/app_model.h"
#include "support/fakes.h"

namespace quendra::test {

class ManualMainQueue : public MainQueue {
public:
    explicit ManualMainQueue(std::shared_ptr<ManualScheduler> scheduler) : scheduler_(std::move(scheduler)) {}

    void post(std::function<void()> task) override { scheduler_->after(0, std::move(task)); }
    std::shared_ptr<Cancellable> after(double ms, std::function<void()> task) override {
        return scheduler_->after(ms, std::move(task));
    }
    std::shared_ptr<Cancellable> every(double ms, std::function<void()> task) override {
        auto repeat = std::make_shared<Repeat>();
        repeat->scheduler = scheduler_;
        repeat->ms = ms;
        repeat->task = std::move(task);
        repeat->arm();
        return repeat;
    }

private:
    struct Repeat : Cancellable, std::enable_shared_from_this<Repeat> {
        std::shared_ptr<ManualScheduler> scheduler;
        double ms = 0;
        std::function<void()> task;
        std::shared_ptr<Cancellable> next;
        bool cancelled = false;
        void arm() {
            next = scheduler->after(ms, [weak = weak_from_this()] {
                auto self = weak.lock();
                if (!self || self->cancelled) return;
                self->task();
                if (!self->cancelled) self->arm();
            });
        }
        void cancel() override {
            cancelled = true;
            if (next) next->cancel();
        }
    };
    std::shared_ptr<ManualScheduler> scheduler_;
};

class FakeSoundSystem : public SoundSystem {
public:
    std::vector<AudioDevice> devices;
    std::vector<AudioProcess> processes;
    std::map<std::string, std::string> runningNames;  // running applications without a stream
    std::string defaultOutput;
    std::string defaultInputFeeder;  // uid of the device the default source records, if any

    std::function<void()> defaultDeviceChanged;
    std::function<void(const std::string&)> applicationEnded;

    std::vector<AudioDevice> outputDevices() override { return devices; }
    std::vector<AudioProcess> audioProcesses() override { return processes; }
    std::optional<AudioDevice> device(const std::string& uid) override {
        for (const auto& d : devices) {
            if (!uid.empty() && d.uid == uid) return d;
        }
        return std::nullopt;
    }
    std::string defaultOutputUid() override { return defaultOutput; }
    bool defaultInputFedBy(const AudioDevice& d) override { return !d.uid.empty() && d.uid == defaultInputFeeder; }
    std::optional<std::string> runningApplicationName(const std::string& appId) override {
        const auto found = runningNames.find(appId);
        if (found == runningNames.end()) return std::nullopt;
        return found->second;
    }
    void onDefaultDeviceChange(std::function<void()> handler) override { defaultDeviceChanged = std::move(handler); }
    void onApplicationEnded(std::function<void(const std::string&)> handler) override {
        applicationEnded = std::move(handler);
    }
};

// A graph that records its builds and fails on request.
struct GraphRecord {
    int starts = 0;
    int stops = 0;
    bool running = false;
    std::optional<SoundError> failWith;
    ChunkHandler onChunk;
    std::function<void()> onConfigChange;
};

class FakeListenGraph : public ListenGraphLike, public GraphRecord {
public:
    std::vector<std::string> targets;
    std::optional<SoundError> start(const std::string& target, const AudioPorts&, ChunkHandler chunk,
                                    std::function<void()> configChange) override {
        ++starts;
        targets.push_back(target);
        onChunk = std::move(chunk);
        onConfigChange = std::move(configChange);
        running = !failWith;
        return failWith;
    }
    void stop() override {
        ++stops;
        running = false;
    }
};

class FakeSpeakGraph : public SpeakGraphLike, public GraphRecord {
public:
    std::vector<AudioDevice> outputs;
    std::optional<SoundError> start(const AudioDevice& output, const AudioPorts&, ChunkHandler chunk,
                                    std::function<void()> configChange) override {
        ++starts;
        outputs.push_back(output);
        onChunk = std::move(chunk);
        onConfigChange = std::move(configChange);
        running = !failWith;
        return failWith;
    }
    void stop() override {
        ++stops;
        running = false;
    }
};

// Holds the request until the test answers it; answering grants or denies access.
class FakeMicrophone : public MicrophonePermission {
public:
    MicrophoneAccess access = MicrophoneAccess::authorized;
    std::vector<std::function<void(bool)>> pending;

    MicrophoneAccess status() override { return access; }
    void request(std::function<void(bool)> done) override { pending.push_back(std::move(done)); }
    void answer(bool granted) {
        access = granted ? MicrophoneAccess::authorized : MicrophoneAccess::denied;
        auto waiting = std::move(pending);
        pending.clear();
        for (auto& done : waiting) done(granted);
    }
};

class MemorySettings : public SettingsStorage {
public:
    Settings stored;
    std::vector<Settings> saves;
    Settings load() override { return stored; }
    tl::expected<void, std::string> save(const Settings& settings) override {
        saves.push_back(settings);
        stored = settings;
        stored.sessionToken.clear();
        return {};
    }
};

// Answers reads from `items` at once, or, with `holdReads`, when the test calls answerReads() (a
// locked keyring waiting for its unlock prompt).
class MemoryKeychain : public SecretStorage {
public:
    std::map<std::string, std::string> items;
    std::vector<std::pair<std::string, std::string>> writes;
    bool holdReads = false;
    std::vector<std::pair<std::string, std::function<void(std::string)>>> heldReads;

    void write(const std::string& account, const std::string& value) override {
        writes.emplace_back(account, value);
        if (value.empty()) {
            items.erase(account);
        } else {
            items[account] = value;
        }
    }
    void read(const std::string& account, std::function<void(std::string)> done) override {
        if (holdReads) {
            heldReads.emplace_back(account, std::move(done));
            return;
        }
        done(items.count(account) ? items[account] : std::string());
    }
    void answerReads() {
        auto held = std::move(heldReads);
        heldReads.clear();
        for (auto& [account, done] : held) done(items.count(account) ? items[account] : std::string());
    }
};

class MemoryMonthSpend : public MonthSpendStorage {
public:
    std::optional<std::string> text;
    int saves = 0;
    std::optional<std::string> load() override { return text; }
    tl::expected<void, std::string> save(const std::string& value) override {
        ++saves;
        text = value;
        return {};
    }
};

// Keeps every request until the test answers it, as the account service would, on the core queue.
class HeldFetch {
public:
    struct Call {
        HTTPRequest request;
        FetchCompletion completion;
    };
    std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();

    FetchFunction function() const {
        return [calls = calls](const HTTPRequest& request, FetchCompletion completion) {
            calls->push_back({request, std::move(completion)});
        };
    }
    // Requests whose URL ends with `path`, in order.
    std::vector<size_t> to(const std::string& path) const {
        std::vector<size_t> found;
        for (size_t i = 0; i < calls->size(); ++i) {
            const auto& url = (*calls)[i].request.url;
            if (url.size() >= path.size() && url.compare(url.size() - path.size(), path.size(), path) == 0) {
                found.push_back(i);
            }
        }
        return found;
    }
    void answer(size_t index, std::int64_t status, const std::string& body) {
        auto completion = std::move((*calls)[index].completion);
        if (completion) completion(HTTPResponse{status, body});
    }
};

// A model on fakes, with helpers to move time.
struct ModelRig {
    std::shared_ptr<ManualScheduler> clock = std::make_shared<ManualScheduler>();
    std::shared_ptr<FakeSoundSystem> sound = std::make_shared<FakeSoundSystem>();
    std::shared_ptr<FakeListenGraph> listen = std::make_shared<FakeListenGraph>();
    std::shared_ptr<FakeSpeakGraph> speak = std::make_shared<FakeSpeakGraph>();
    std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
    std::shared_ptr<MemorySettings> storage = std::make_shared<MemorySettings>();
    std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
    std::shared_ptr<MemoryMonthSpend> monthSpend = std::make_shared<MemoryMonthSpend>();
    SocketRecorder sockets{clock};
    HeldFetch fetch;
    std::vector<std::string> logFile;
    std::vector<std::string> standardError;
    std::optional<std::string> quendraDebug;
    std::shared_ptr<AppModel> model;

    static AudioDevice headphones() { return {1, "alsa_output.usb-headset", "Cuffie USB"}; }
    static AudioDevice ombrixVoice() { return {7, "ombrix_voce", "Ombrix Voce"}; }
    static AudioDevice blackhole() { return {8, "blackhole", "BlackHole 2ch"}; }

    ModelRig() {
        storage->stored.provider = "mock";
        sound->devices = {headphones(), blackhole(), ombrixVoice()};
        sound->defaultOutput = headphones().uid;
    }

    // Tasks left on the queues hold the engine, which holds the clock: drain them as the
    // executable's exit does. A link whose attempt the stop cut short completes only after its
    // backoff delay, its timer holding the link meanwhile: run the clock past that too.
    ~ModelRig() {
        if (model) model->shutdown(nullptr);
        settle();
        for (int i = 0; i < 100 && clock->pending() > 0; ++i) clock->advance(3'600'000);
    }
    ModelRig(const ModelRig&) = delete;

    std::shared_ptr<AppModel> make() {
        // The model reads the session from the keychain only: a token here would silently be lost.
        EXPECT_EQ(storage->stored.sessionToken, "") << "put the session in keychain->items[\"session\"]";
        AppModelDependencies d;
        d.mainQueue = std::make_shared<ManualMainQueue>(clock);
        d.postToCore = [clock = clock](std::function<void()> task) { clock->after(0, std::move(task)); };
        d.coreScheduler = clock;
        d.nowMs = [clock = clock] { return clock->nowMs(); };
        d.makeSocket = sockets.factory();
        d.fetch = fetch.function();
        d.sound = sound;
        d.listenGraph = listen;
        d.speakGraph = speak;
        d.microphone = microphone;
        d.settingsStorage = storage;
        d.keychain = keychain;
        d.logFile = [this](const std::string& line) { logFile.push_back(line); };
        d.standardError = [this](const std::string& line) { standardError.push_back(line); };
        d.quendraDebug = quendraDebug;
        d.monthSpend = monthSpend;
        model = AppModel::create(std::move(d));
        settle();
        return model;
    }

    // Runs everything due now on either queue.
    void settle() { clock->runDue(); }
    void advanceMs(double ms) { clock->advance(ms); }

    void changeSettings(const std::function<void(Settings&)>& edit) {
        Settings next = model->settings();
        edit(next);
        model->setSettings(next);
        settle();
    }
};

}  // namespace quendra::test
