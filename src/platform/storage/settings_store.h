// Keeps the user's settings between runs: the JSON form in the configuration folder, the session
// token in the keychain.
//
// Threading: called from the UI thread (or the core queue), one call at a time per folder.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "core/settings/settings.h"
#include "platform/storage/keychain.h"

namespace quendra {

class SettingsStore {
public:
    // Keychain item holding the session token.
    static constexpr std::string_view sessionAccount = "session";
    // Keychain item of earlier versions, removed at every load.
    static constexpr std::string_view legacyTeamPasswordAccount = "teamPassword";
    static constexpr std::string_view fileName = "settings.json";

    SettingsStore(std::filesystem::path folder, std::shared_ptr<Keychain> keychain);

    // $XDG_CONFIG_HOME/ombrix, by default ~/.config/ombrix.
    static std::filesystem::path defaultFolder();

    std::filesystem::path file() const { return folder_ / fileName; }

    // The stored settings, or the defaults when the file is missing, unreadable or not a settings
    // object (the file is then left as it is until the next save); the session token always
    // comes from the keychain. Also deletes the legacy keychain item. Never fails.
    Settings load() const;

    // Writes every stored member of `settings` (never the session token) to a temporary file
    // beside the settings file, flushes it to disk and renames it over the old one, so a crash
    // leaves either the old or the new file whole. When the settings file is a symbolic link,
    // the file it leads to is written that way and the link stays. Temporary files that earlier
    // saves left behind (older than a minute) are removed. Mode 0600; the folder is created
    // when missing. A failure leaves the old file untouched and says why; callers may ignore it.
    [[nodiscard]] tl::expected<void, std::string> save(const Settings& settings) const;

    // The stored settings without touching the keychain: no secrets, the legacy item left alone.
    // For callers that read the secrets themselves, asynchronously.
    Settings loadFile() const;

private:
    std::filesystem::path folder_;
    std::shared_ptr<Keychain> keychain_;
};

// Replaces `path` with `text` as `SettingsStore::save` replaces the settings file: temporary file
// beside it, flushed, renamed over it (through symbolic links), mode 0600, stale temporaries
// removed. The folder must exist. A failure leaves the old file untouched and says why.
tl::expected<void, std::string> writeFileAtomically(const std::filesystem::path& path, const std::string& text);

// The whole content of a small regular file (at most 1 MiB), or none; never blocks on a FIFO.
std::optional<std::string> readSmallFile(const std::filesystem::path& path);

}  // namespace quendra
