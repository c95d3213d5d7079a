// The application's names, fixed at build time.
#pragma once

#include <string_view>

namespace quendra::Brand {

// Display name: window title, tray tooltip, log file name.
inline constexpr std::string_view name = "Ombrix";
// Application id: keychain service, configuration and state folder names.
inline constexpr std::string_view applicationId = "ombrix";

}  // namespace quendra::Brand
