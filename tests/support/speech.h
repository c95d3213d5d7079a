// Real speech for tests: espeak-ng speaks a sentence into a WAV file that is read back as mono
// floats. Also a plain reader for 16-bit PCM WAV files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quendra::test {

struct Audio {
    double sampleRate = 0;
    std::vector<float> samples;  // mono, channels averaged
};

// Reads a 16-bit PCM WAV file; none for anything else.
std::optional<Audio> readWav(const std::string& path);

// Speaks `text` with espeak-ng (voice `voice`) and returns it; none when espeak-ng is missing or
// fails.
std::optional<Audio> speak(const std::string& text, const std::string& voice = "en");

// The lag, in samples, at which `signal` best matches `reference` (searched over [minLag, maxLag]),
// and the normalised correlation there. A `stride` above 1 looks at every stride-th sample and lag
// only: much faster, for checks that need no sample-exact lag.
struct Match {
    long lag = 0;
    double correlation = 0;
};
Match bestMatch(const std::vector<float>& reference, const std::vector<float>& signal, long minLag, long maxLag,
                long stride = 1);

}  // namespace quendra::test
