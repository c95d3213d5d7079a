// The model's dependencies that the Linux platform layer provides (core queue and its scheduler,
// web sockets and HTTPS, the settings file, the keychain, the log file, standard error, the
// environment), and the executable's exit sequence. The UI thread's queue, the sound system and
// the graphs are bound by the executable itself.
//
// Threading: UI thread.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/model/app_model.h"
#include "platform/net/core_queue.h"
#include "platform/storage/file_log.h"
#include "platform/storage/keychain.h"
#include "platform/storage/settings_store.h"

namespace quendra {

class StoredSettings final : public SettingsStorage {
public:
    explicit StoredSettings(SettingsStore store) : store_(std::move(store)) {}
    Settings load() override { return store_.loadFile(); }
    tl::expected<void, std::string> save(const Settings& settings) override { return store_.save(settings); }

private:
    SettingsStore store_;
};

// The month's spend in the state folder beside the log, replaced atomically like the settings.
class MonthSpendFile final : public MonthSpendStorage {
public:
    static constexpr std::string_view fileName = "month-spend.json";
    explicit MonthSpendFile(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::optional<std::string> load() override { return readSmallFile(folder_ / fileName); }
    tl::expected<void, std::string> save(const std::string& text) override;

private:
    std::filesystem::path folder_;
};

class KeychainSecrets final : public SecretStorage {
public:
    explicit KeychainSecrets(std::shared_ptr<Keychain> keychain) : keychain_(std::move(keychain)) {}
    // Off the UI thread: a locked keyring whose unlock prompt is answered late must not freeze the
    // window. Writes still reach the service in the order they were made.
    void write(const std::string& account, const std::string& value) override {
        keychain_->writeAsync(account, value, [](std::function<void()> done) { done(); }, [] {});
    }
    void read(const std::string& account, std::function<void(std::string)> done) override {
        keychain_->readAsync(account, [](std::function<void()> run) { run(); }, std::move(done));
    }

private:
    std::shared_ptr<Keychain> keychain_;
};

// The value of an environment variable, none when unset.
std::optional<std::string> environmentValue(const char* name);

// Fills every member the platform provides: core posting, scheduler, sockets and fetch on `queue`;
// the settings in `settingsFolder` with the session token in `keychain`; `log` and standard
// error; QUENDRA_DEBUG; and the microphone permission (always authorized on Linux). `queue` and
// `log` must outlive the model's engine (see shutDownApplication).
AppModelDependencies platformDependencies(CoreQueue& queue, FileLog& log, std::shared_ptr<Keychain> keychain,
                                          const std::filesystem::path& settingsFolder);

// The exit sequence: the model stops its graphs and timers; the engine stops and is released on
// `queue` (waited for, at most 10 s: nothing on the core queue may wait for the UI thread by
// then); `queue` stops, so that no handler runs while static destruction tears down what it
// uses; the log is flushed. The model does nothing more afterwards.
void shutDownApplication(AppModel& model, CoreQueue& queue, FileLog& log);

}  // namespace quendra
