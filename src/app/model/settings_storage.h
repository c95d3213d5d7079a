// Where the application model keeps the settings between runs (the settings file and, for the
// session token, the keychain) and the keychain item it writes at login and logout. The
// executable binds them to SettingsStore and SecretServiceKeychain; tests to memory.
//
// Threading: UI thread.
#pragma once

#include <functional>
#include <string>

#include <tl/expected.hpp>

#include "core/settings/settings.h"

namespace quendra {

class SettingsStorage {
public:
    virtual ~SettingsStorage() = default;
    // The stored settings, or the defaults, without any secret: the model reads the session token
    // and the own keys from the keychain itself, without blocking. Never fails.
    virtual Settings load() = 0;
    // Stores every member but the session token; a failure says why.
    virtual tl::expected<void, std::string> save(const Settings& settings) = 0;
};

class SecretStorage {
public:
    virtual ~SecretStorage() = default;
    // Replaces the secret of `account`; an empty value deletes it. Failures are not reported.
    virtual void write(const std::string& account, const std::string& value) = 0;
    // The secret of `account` (empty text when there is none or it cannot be read), without
    // blocking the caller: `done` runs later on any thread, after the writes made before.
    virtual void read(const std::string& account, std::function<void(std::string)> done) = 0;
};

}  // namespace quendra
