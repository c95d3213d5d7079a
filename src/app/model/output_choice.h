// The automatic choice of the device the translated voice goes to: the program's own virtual
// microphone first, then the common generic virtual devices.
//
// Threading: pure function; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sound/audio_types.h"

namespace quendra {

// The uid to switch to, or none to keep `currentUid`. The current choice stays when it is listed
// and is not a generic virtual device ("blackhole", "vb-cable"), when it is an "ombrix" device,
// or when it is generic and no "ombrix" device is listed. Otherwise the first device whose name
// contains "ombrix", else "blackhole", else "vb-cable" (ignoring case); none when nothing matches.
std::optional<std::string> automaticSpeakOutput(const std::vector<AudioDevice>& devices,
                                                const std::string& currentUid);

}  // namespace quendra
