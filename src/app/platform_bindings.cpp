#include "app/platform_bindings.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "platform/net/http_fetch.h"
#include "platform/net/scheduler.h"
#include "platform/net/websocket.h"
#include "platform/storage/paths.h"

namespace quendra {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

AppModelDependencies platformDependencies(CoreQueue& queue, FileLog& log, std::shared_ptr<Keychain> keychain,
                                          const std::filesystem::path& settingsFolder) {
    AppModelDependencies d;
    d.postToCore = [&queue](std::function<void()> task) { queue.post(std::move(task)); };
    auto scheduler = std::make_shared<AsioScheduler>(queue);
    d.coreScheduler = scheduler;
    d.nowMs = [scheduler] { return scheduler->nowMs(); };
    d.makeSocket = makeSocketFactory(queue);
    d.fetch = makeFetch(queue);
    d.settingsStorage = std::make_shared<StoredSettings>(SettingsStore(settingsFolder, keychain));
    d.keychain = std::make_shared<KeychainSecrets>(std::move(keychain));
    d.microphone = std::make_shared<AuthorizedMicrophone>();
    d.logFile = [&log](const std::string& line) { log.write(line); };
    d.standardError = [](const std::string& line) {
        // One call per line so lines from two threads do not interleave.
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
    };
    d.quendraDebug = environmentValue("QUENDRA_DEBUG");
    d.monthSpend = std::make_shared<MonthSpendFile>(log.file().parent_path());
    return d;
}

tl::expected<void, std::string> MonthSpendFile::save(const std::string& text) {
    if (const auto error = createPrivateFolders(folder_)) {
        return tl::unexpected("cartella " + folder_.string() + ": " + error.message());
    }
    return writeFileAtomically(folder_ / fileName, text);
}

void shutDownApplication(AppModel& model, CoreQueue& queue, FileLog& log) {
    // Shared: after a timed-out wait the completion may still run.
    auto stopped = std::make_shared<std::promise<void>>();
    auto done = stopped->get_future();
    model.shutdown([stopped] { stopped->set_value(); });
    // A wedged core queue must not keep the program from exiting.
    (void)done.wait_for(std::chrono::seconds(10));
    queue.stop();
    log.waitUntilWritten();
}

}  // namespace quendra
