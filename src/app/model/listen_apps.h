// The list of what the user can listen to: the whole computer first, then the applications that
// play, plus the chosen one when it is paused or closed.
//
// Threading: pure functions; any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sound/audio_types.h"

namespace quendra {

struct ListenApp {
    std::string id;  // application id; "" is the whole computer
    std::string name;
    bool operator==(const ListenApp&) const = default;
};

inline constexpr std::string_view wholeComputerName = "Tutto il computer";

// The display name of a running application (possibly empty), or none when it does not run.
using RunningNameLookup = std::function<std::optional<std::string>(const std::string& appId)>;

// "Tutto il computer" (id ""), then one entry per application id among the playing applications
// of `processes` (first stream wins), plus `target` when it is not among them: named after its
// first stream with " (in pausa)", else after the running application with " (in pausa)", else
// its id with " (chiusa)". All but the first sorted by name, ignoring case and accents.
std::vector<ListenApp> listenableApps(const std::vector<AudioProcess>& processes, const std::string& target,
                                      const RunningNameLookup& runningName);

// Strict weak order on names for lists: letters compared without case and, for Latin-1 letters,
// without accents; names equal that way fall back to their bytes.
bool nameLess(std::string_view a, std::string_view b);

}  // namespace quendra
