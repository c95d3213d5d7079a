// Secret texts kept outside the settings file, one per account name: the session token.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/base/runtime.h"
#include "platform/brand.h"

namespace quendra {

// Threading: called from the UI thread or the core queue; implementations are safe to call from
// several threads. Calls may block on the secret store, never longer than its deadline.
class Keychain {
public:
    virtual ~Keychain() = default;
    // The secret of `account`; empty text when there is none or it cannot be read.
    virtual std::string read(const std::string& account) = 0;
    // Replaces the secret of `account`; an empty value deletes it. Failures are not reported.
    virtual void write(const std::string& account, const std::string& value) = 0;
};

// The desktop's Secret Service (GNOME Keyring, KWallet) through libsecret. Items carry the
// attributes service = `service` and account = the account name. Where no Secret Service answers
// (no session bus, no service on it, no answer before the deadline) reads give empty text and
// writes are dropped; the logger's warn hears about it once per keychain. After a deadline has
// passed once, the service is not asked again, so a hung store costs one wait, not one per call.
class SecretServiceKeychain final : public Keychain {
public:
    explicit SecretServiceKeychain(Logger logger, std::string service = std::string(Brand::applicationId),
                                   std::chrono::milliseconds deadline = std::chrono::seconds(30));

    std::string read(const std::string& account) override;
    void write(const std::string& account, const std::string& value) override;

private:
    // Whether a call failed (`error` holds its text); reports the failure. A failure after the
    // deadline makes the keychain give up on the service. With mutex_ held.
    bool failed(const std::optional<std::string>& error, bool deadlinePassed);
    void reportUnavailable(const std::string& why);  // with mutex_ held

    Logger logger_;
    const std::string service_;
    const std::chrono::milliseconds deadline_;
    std::mutex mutex_;  // one call at a time; guards the two flags
    bool reported_ = false;
    bool gaveUp_ = false;
};

}  // namespace quendra
