// Where the application keeps its files, following the XDG base directory rules.
//
// Threading: any thread; reads the environment, so not concurrently with setenv.
#pragma once

#include <filesystem>
#include <system_error>

namespace quendra {

// The folder named by the environment variable `variable` when it holds an absolute path (the
// XDG rules ignore relative ones), else `homeRelative` under the user's home folder ($HOME, or
// the password database's entry when HOME is unset or empty).
std::filesystem::path xdgBaseFolder(const char* variable, const std::filesystem::path& homeRelative);

// Creates `folder` and any missing parents with mode 0700 (existing folders keep their mode).
// Returns the failure, or no error when the folder exists afterwards.
std::error_code createPrivateFolders(const std::filesystem::path& folder);

}  // namespace quendra
