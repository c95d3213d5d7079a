#include "platform/storage/settings_store.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/brand.h"
#include "platform/storage/paths.h"

namespace quendra {
namespace {

// A settings object is a few hundred bytes; anything far larger is not one of ours.
constexpr off_t kMaxSettingsBytes = 1 << 20;

std::string describe(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

// The whole content of a regular file, or none. Never blocks on a FIFO or device put in its place.
std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> content;
    struct stat info{};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxSettingsBytes) {
        std::string data;
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                data.append(buffer, static_cast<std::size_t>(n));
                if (data.size() > static_cast<std::size_t>(kMaxSettingsBytes)) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) content = std::move(data);
            break;
        }
    }
    ::close(fd);
    return content;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SettingsStore::SettingsStore(std::filesystem::path folder, std::shared_ptr<Keychain> keychain)
    : folder_(std::move(folder)), keychain_(std::move(keychain)) {}

std::filesystem::path SettingsStore::defaultFolder() {
    return xdgBaseFolder("XDG_CONFIG_HOME", ".config") / Brand::applicationId;
}

Settings SettingsStore::load() const {
    Settings settings;
    if (const auto text = readRegularFile(file())) {
        if (auto decoded = Settings::decodeText(*text)) settings = std::move(*decoded);
    }
    settings.sessionToken = keychain_->read(std::string(sessionAccount));
    keychain_->write(std::string(legacyTeamPasswordAccount), "");
    return settings;
}

tl::expected<void, std::string> SettingsStore::save(const Settings& settings) const {
    const std::string text = settings.encodeText();
    if (const auto error = createPrivateFolders(folder_)) {
        return tl::unexpected("cartella " + folder_.string() + ": " + error.message());
    }

    std::string temporary = (folder_ / (std::string(fileName) + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // created with mode 0600
    if (fd < 0) return tl::unexpected(describe("file temporaneo", errno));

    std::string failure;
    if (::fchmod(fd, 0600) != 0) {
        failure = describe("permessi", errno);
    } else if (!writeAll(fd, text)) {
        failure = describe("scrittura", errno);
    } else if (::fsync(fd) != 0) {
        failure = describe("fsync", errno);
    }
    if (::close(fd) != 0 && failure.empty()) failure = describe("chiusura", errno);
    if (failure.empty() && ::rename(temporary.c_str(), file().c_str()) != 0) {
        failure = describe("rinomina", errno);
    }
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        return tl::unexpected(failure);
    }

    // Make the rename itself durable; the new content is already on disk either way.
    const int folderFd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

}  // namespace quendra
