#include "platform/storage/settings_store.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

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

// What a temporary file of `name` is called: distinctive, so that no file of the user's (a
// "settings.json.backup") is ever taken for one.
constexpr std::string_view temporaryInfix = ".tmp-";

// A temporary file of `name` as save() makes them: the infix and mkstemp's six characters.
bool isTemporaryOf(const std::string& entry, const std::string& name) {
    const std::size_t prefix = name.size() + temporaryInfix.size();
    if (entry.size() != prefix + 6 || entry.compare(0, name.size(), name) != 0 ||
        entry.compare(name.size(), temporaryInfix.size(), temporaryInfix) != 0) {
        return false;
    }
    for (std::size_t i = prefix; i < entry.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
    }
    return true;
}

// A save killed midway leaves its temporary file behind; the next save removes those older
// than a minute (a younger one may belong to a save still running in another process).
void removeStaleTemporaries(const std::filesystem::path& folder, const std::string& name) {
    constexpr std::time_t staleAfterSeconds = 60;
    const std::time_t now = std::time(nullptr);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string entryName = entry.path().filename().string();
        if (!isTemporaryOf(entryName, name)) continue;
        struct stat info{};
        if (::lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (now - info.st_mtime >= staleAfterSeconds) ::unlink(entry.path().c_str());
    }
}

// The file a save replaces: `path` itself, or the file its chain of symbolic links ends at, so
// that a linked settings file (kept in a dotfiles repository, say) is written through rather
// than replaced by a regular file.
tl::expected<std::filesystem::path, std::string> saveTarget(const std::filesystem::path& path) {
    std::filesystem::path current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info{};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::error_code error;
        const auto next = std::filesystem::read_symlink(current, error);
        if (error) return tl::unexpected("collegamento " + current.string() + ": " + error.message());
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return tl::unexpected(describe(("collegamento " + path.string()).c_str(), ELOOP));
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
    if (const auto error = createPrivateFolders(folder_)) {
        return tl::unexpected("cartella " + folder_.string() + ": " + error.message());
    }
    return writeFileAtomically(file(), settings.encodeText());
}

tl::expected<void, std::string> writeFileAtomically(const std::filesystem::path& path, const std::string& text) {
    const auto target = saveTarget(path);
    if (!target) return tl::unexpected(target.error());
    const std::filesystem::path folder = target->parent_path();
    const std::string name = target->filename().string();
    removeStaleTemporaries(folder, name);

    std::string temporary = (folder / (name + std::string(temporaryInfix) + "XXXXXX")).string();
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
    if (failure.empty() && ::rename(temporary.c_str(), target->c_str()) != 0) {
        failure = describe("rinomina", errno);
    }
    if (!failure.empty()) {
        ::unlink(temporary.c_str());
        return tl::unexpected(failure);
    }

    // Make the rename itself durable; the new content is already on disk either way.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return {};
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path) { return readRegularFile(path); }

Settings SettingsStore::loadFile() const {
    Settings settings;
    if (const auto text = readRegularFile(file())) {
        if (auto decoded = Settings::decodeText(*text)) settings = std::move(*decoded);
    }
    return settings;
}

}  // namespace quendra
