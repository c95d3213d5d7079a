// Secret texts kept outside the settings file, one per account name: the session token.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/base/runtime.h"
#include "platform/brand.h"

typedef struct _GCancellable GCancellable;
typedef struct _GError GError;

namespace quendra {

// Threading: called from the UI thread or the core queue; implementations are safe to call from
// several threads. The plain calls may block on the secret store, never longer than its deadline:
// the UI thread uses the asynchronous forms.
class Keychain {
public:
    // Runs a completion where the caller wants it (the UI thread's event loop, the core queue).
    using PostBack = std::function<void(std::function<void()>)>;

    virtual ~Keychain() = default;
    // The secret of `account`; empty text when there is none or it cannot be read.
    virtual std::string read(const std::string& account) = 0;
    // Replaces the secret of `account`; an empty value deletes it. Failures are not reported.
    virtual void write(const std::string& account, const std::string& value) = 0;

    // The same without blocking the caller: `done` comes later through `postBack`, never from
    // inside the call. Calls complete in the order they were made. This default runs the plain
    // call at once and is meant for stores that never wait.
    virtual void readAsync(const std::string& account, PostBack postBack, std::function<void(std::string)> done) {
        postBack([done = std::move(done), value = read(account)] { done(value); });
    }
    virtual void writeAsync(const std::string& account, const std::string& value, PostBack postBack,
                            std::function<void()> done) {
        write(account, value);
        postBack(std::move(done));
    }
};

// The desktop's Secret Service (GNOME Keyring, KWallet) through libsecret. Items carry the
// attributes service = `service` and account = the account name. Where no Secret Service answers
// (no session bus, no service on it, no answer before the deadline) that call reads empty text
// or drops its write; the logger's warn hears about it once per keychain. A deadline that passed
// ends only its own call: the next one asks the service again (a late unlock prompt answered).
// The asynchronous forms run the calls one at a time on a thread of the keychain's own; calls
// still pending when the keychain is destroyed are abandoned (the one under way is cancelled)
// and never complete.
class SecretServiceKeychain final : public Keychain {
public:
    explicit SecretServiceKeychain(Logger logger, std::string service = std::string(Brand::applicationId),
                                   std::chrono::milliseconds deadline = std::chrono::seconds(30));
    ~SecretServiceKeychain() override;
    SecretServiceKeychain(const SecretServiceKeychain&) = delete;
    SecretServiceKeychain& operator=(const SecretServiceKeychain&) = delete;

    std::string read(const std::string& account) override;
    void write(const std::string& account, const std::string& value) override;
    void readAsync(const std::string& account, PostBack postBack, std::function<void(std::string)> done) override;
    void writeAsync(const std::string& account, const std::string& value, PostBack postBack,
                    std::function<void()> done) override;

private:
    // One libsecret call under the deadline, cancellable by the destructor. Whether it failed
    // (reported once). With mutex_ held.
    bool call(const std::function<void(GCancellable*, GError**)>& body);
    void reportUnavailable(const std::string& why);  // with mutex_ held
    // The thread running the asynchronous calls, and what it shares with the keychain. Shared so
    // that the thread never touches a keychain destroyed under it.
    struct Worker {
        std::mutex mutex;  // guards the members below
        std::condition_variable changed;
        std::deque<std::function<void()>> jobs;
        bool stopping = false;
        GCancellable* current = nullptr;  // the call under way
        std::thread thread;               // started on first use
    };
    void enqueue(std::function<void()> job);
    static void work(const std::shared_ptr<Worker>& worker);
    bool abandoned();  // the destructor is under way

    Logger logger_;
    const std::string service_;
    const std::chrono::milliseconds deadline_;
    std::mutex mutex_;  // one call at a time; guards reported_
    bool reported_ = false;
    const std::shared_ptr<Worker> worker_ = std::make_shared<Worker>();
};

}  // namespace quendra
