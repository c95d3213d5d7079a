#include "platform/storage/paths.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quendra {
namespace {

std::filesystem::path homeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    // No home at all: the working folder is the only place left.
    return ".";
}

}  // namespace

std::filesystem::path xdgBaseFolder(const char* variable, const std::filesystem::path& homeRelative) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') return value;
    return homeFolder() / homeRelative;
}

std::error_code createPrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (partial == partial.root_path()) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            return {errno, std::generic_category()};
        }
    }
    struct stat info{};
    if (::stat(folder.c_str(), &info) != 0) return {errno, std::generic_category()};
    if (!S_ISDIR(info.st_mode)) return std::make_error_code(std::errc::not_a_directory);
    return {};
}

}  // namespace quendra
