// The user's own provider keys: which providers take one and the keychain item each is kept in.
//
// Threading: pure functions; any thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "core/settings/settings.h"

namespace quendra::OwnKeys {

// The providers a key can be given for, in the order the panel shows them.
const std::vector<std::string>& providers();

// The keychain item holding the key of `provider` ("gemini-key", "openai-key"); empty text for a
// provider that takes no key.
std::string item(const std::string& provider);

// The providers usable without an account: those with a key in `settings`.
std::set<std::string> withKey(const Settings& settings);

}  // namespace quendra::OwnKeys
