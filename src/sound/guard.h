// Crash safety of application capture. Capture moves other applications' streams onto a sink the
// program loaded as a module, and modules outlive their client on both PulseAudio and
// pipewire-pulse: if the program died with nothing to undo that, those applications would stay
// silent. Two things undo it:
// - the guard, a small process (ombrix-sound-guard) started with every SoundServer, holding the
//   read end of a pipe from the program. The kernel closes the pipe however the program ends
//   (crash, kill -9, logout); the guard then moves every stream on the program's capture sinks
//   back where it came from and unloads those sinks, and exits;
// - the start-up repair: a new run does the same for capture sinks whose creating process is
//   gone (a guard that was itself killed, or a machine that went down).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "core/base/runtime.h"

namespace quendra {

enum class RepairScope {
    deadRuns,  // capture sinks whose creating process no longer exists
    process,   // capture sinks created by `pid`
};

struct RepairReport {
    bool reached = false;  // the server answered
    int sinksRemoved = 0;
    int streamsMoved = 0;
};

// Moves every stream off the selected capture sinks (to the sink recorded in `origins`, keyed by
// sink-input index, when that sink exists and is not the default; else to the default sink, which
// leaves no stored preference) and unloads them. Uses a connection of its own and gives up after
// `timeoutMs`. Any thread; blocks.
RepairReport repairLeftovers(RepairScope scope, const std::map<std::uint32_t, std::string>& origins,
                             double timeoutMs, std::uint32_t pid = 0);

// Starts the guard for this process. Returns the write end of its pipe (close-on-exec), or -1
// when the guard could not be started (logged as a warning). `path` empty: ombrix-sound-guard
// next to the running executable.
int startGuard(const std::string& path, const Logger& logger);

// The guard's own main: reads "origin <sink-input> <sink>" lines from `fd` until end of file,
// then repairs what `parentPid` left. Returns the process exit status.
int runGuard(int fd, std::uint32_t parentPid);

}  // namespace quendra
