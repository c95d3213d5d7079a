// What one direction shares between the core and its audio graph.
#pragma once

#include <memory>

#include "core/audio/gain_ramp.h"
#include "core/audio/pull_player.h"

namespace quendra {

// The player and the two gain ramps of one direction, shared with its audio graph.
struct AudioPorts {
    std::shared_ptr<PullPlayer> player;
    std::shared_ptr<GainRamp> original;    // the original sound, or the user's own voice
    std::shared_ptr<GainRamp> translated;  // the translated speech
    bool operator==(const AudioPorts&) const = default;
};

}  // namespace quendra
