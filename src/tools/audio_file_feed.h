// The input of ombrix-translate: an audio file read block by block as the run needs it, mixed to
// mono, resampled to 16000 Hz and cut into the 100 ms chunks the capture side would deliver.
// Memory stays at a few blocks whatever the length of the file.
//
// Threading: one thread at a time (opened on the main thread, then read on the core queue).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sndfile.h>
#include <tl/expected.hpp>

#include "core/audio/resampler.h"



namespace quendra {

class AudioFileFeed {
public:
    static constexpr int chunkSamples = 1600;  // 100 ms at 16000 Hz
    static constexpr int minRateHz = 1000;
    static constexpr int maxRateHz = 384000;

    // Opens `path` (any format libsndfile reads). Fails with an Italian message for the user when
    // the file cannot be read, holds no audio or has a sample rate outside [minRateHz, maxRateHz].
    static tl::expected<std::unique_ptr<AudioFileFeed>, std::string> open(const std::string& path);
    ~AudioFileFeed();
    AudioFileFeed(const AudioFileFeed&) = delete;
    AudioFileFeed& operator=(const AudioFileFeed&) = delete;

    // The next chunk; none once the whole file has been delivered (its last chunk completed with
    // silence) or reading failed (see readError).
    std::optional<std::vector<std::int16_t>> next();

    // Why reading stopped before the end of the file, if it did.
    const std::optional<std::string>& readError() const { return readError_; }
    int sampleRateHz() const { return rateHz_; }
    int channels() const { return channels_; }
    // Length from the file's header; frames read so far.
    double seconds() const { return seconds_; }
    std::int64_t framesRead() const { return framesRead_; }

private:
    AudioFileFeed(SNDFILE* file, std::string path, int rateHz, int channels, double seconds);
    void readBlock();

    SNDFILE* file_;
    std::string path_;
    int rateHz_;
    int channels_;
    double seconds_;
    std::int64_t framesRead_ = 0;
    bool ended_ = false;
    std::optional<std::string> readError_;
    StreamResampler resampler_;
    Int16Chunker chunker_;
    std::vector<float> block_;     // interleaved frames as read
    std::vector<float> mono_;
    std::vector<float> resampled_;
    std::deque<std::vector<std::int16_t>> ready_;
};

}  // namespace quendra
