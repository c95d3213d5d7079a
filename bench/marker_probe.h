// The stop-watch of the delay benchmark: a sound client of its own that plays short tone bursts
// into one sink and records one source, and times each burst from the moment the server played it
// to the moment the server captured it on the other side.
//
// Both moments come from the server's own stream clocks (pa_stream_get_time: the stream position
// being played, or being captured, right now), read against CLOCK_MONOTONIC on every callback; so
// the client's own buffering and scheduling never enter a figure. It runs in a process of its own
// because the listen capture leaves out the program's own streams.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quendra::bench {

struct ProbeOptions {
    std::string playSink;       // "" for the default sink
    std::string recordSource;   // a monitor ("headphones.monitor") or a source
    std::string appName = "Chiamata di prova";
    std::string appId = "ombrix.bench.call";
    int markers = 40;
    double intervalMs = 1000;
    double leadMs = 1500;       // silence after "go" before the first burst
    double amplitude = 0.5;
    double threshold = 0.1;     // onset: first sample at or above it after the burst was played
};

// One delay per burst in ms; none where nothing arrived within the interval.
using ProbeResult = std::vector<std::optional<double>>;

// Runs the probe in this process: prints "ready" on stdout once both streams run, waits for a
// line on stdin ("go"), plays and records, then prints one line per burst ("delay 231.4" or
// "missing") and returns 0. Non-zero with a message on stderr when the server cannot be used.
int runProbe(const ProbeOptions& options);

}  // namespace quendra::bench
