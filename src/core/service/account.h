// The account service's login flow: request a code by e-mail, verify it for a session token, read
// the account, log out. Stateless.
// Threading: any thread may call; input errors complete synchronously before the call returns,
// everything else completes where the fetch function delivers (the core queue in the app).
#pragma once

#include <functional>
#include <set>
#include <string>

#include "core/service/http.h"
#include "core/base/runtime.h"

namespace quendra {

struct Account {
    std::string email;
    std::string plan = "free";
    std::set<std::string> keys;  // providers whose keys the service holds for this account
    bool operator==(const Account&) const = default;
};

namespace AccountClient {

struct Session {
    std::string token;
    std::string email;
    bool operator==(const Session&) const = default;
};

// Every error delivered is a TokenError.
using DoneCompletion = std::function<void(std::optional<Error>)>;
using SessionCompletion = std::function<void(Result<Session>)>;
using AccountCompletion = std::function<void(Result<Account>)>;

// Asks the service to mail a login code to `email` (trimmed; must contain "@").
void requestCode(const std::string& serviceUrl, const std::string& email, const FetchFunction& fetch,
                 DoneCompletion completion);

// Trades the six-digit `code` (blanks anywhere are ignored) for a session token. The result's
// e-mail is the service's, or `email` exactly as given.
void verify(const std::string& serviceUrl, const std::string& email, const std::string& code,
            const FetchFunction& fetch, SessionCompletion completion);

// Reads the account of the session `token`.
void me(const std::string& serviceUrl, const std::string& token, const FetchFunction& fetch,
        AccountCompletion completion);

// Ends the session `token` at the service.
void logout(const std::string& serviceUrl, const std::string& token, const FetchFunction& fetch,
            DoneCompletion completion);

// True for the service's "session expired" answer: a TokenError with status 401.
bool isUnauthorized(const Error& error);

}  // namespace AccountClient
}  // namespace quendra
