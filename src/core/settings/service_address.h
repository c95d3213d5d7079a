// Addresses of the account and token service. The service lives outside this project; these are
// the defaults a fresh installation uses, kept here only.
#pragma once

namespace quendra {

// Base address of the account and token API.
inline constexpr const char* defaultServiceUrl = "https://account.ombrix.app";
// Web site where users manage their provider keys.
inline constexpr const char* serviceWebAddress = "https://account.ombrix.app";

}  // namespace quendra
