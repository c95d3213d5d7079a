// Streaming sample-rate conversion for captured audio and the chunker that cuts the converted
// stream into fixed-size 16-bit chunks. Each instance is driven by one thread at a time (the core
// queue, or the link that owns it); nothing here locks. Per block, the only allocation is the
// output (and none at all through the overloads that fill a caller's vector).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quendra {

// One second-order low-pass section in transposed direct form II. Coefficients are normalised by
// a0; the state is kept in double precision.
class LowPass {
public:
    // A Butterworth-style section with cutoff `cutoffHz` at `sampleRate`; `twoQ` is 2 x Q.
    LowPass(double cutoffHz, double sampleRate, double twoQ);

    // Filters one sample: returns the unrounded output and advances the state.
    double step(double s) {
        const double y = b0_ * s + z1_;
        z1_ = b1_ * s - a1_ * y + z2_;
        z2_ = b2_ * s - a2_ * y;
        return y;
    }
    // Runs over a block in place, then flushes state that has decayed to denormal range.
    void process(std::span<float> block);
    // Zeroes state below 1e-20 in magnitude (so silence leaves no denormals) or not finite (so one
    // bad input sample does not poison the stream for good).
    void flushDenormals();

    double b0() const { return b0_; }
    double b1() const { return b1_; }
    double b2() const { return b2_; }
    double a1() const { return a1_; }
    double a2() const { return a2_; }
    double z1() const { return z1_; }
    double z2() const { return z2_; }

private:
    double b0_, b1_, b2_, a1_, a2_;
    double z1_ = 0, z2_ = 0;
};

// Linear-interpolating resampler for a continuous stream delivered in blocks of any size. When
// downsampling, a fourth-order Butterworth low-pass (two sections, cutoff 0.45 x toRate) runs
// first. Cutting a stream into blocks differently changes the output only by the rounding of the
// carried read position.
class StreamResampler {
public:
    // Both rates must be above 0 (anything else stops the program).
    StreamResampler(double fromRate, double toRate);
    StreamResampler(const StreamResampler&) = delete;
    StreamResampler& operator=(const StreamResampler&) = delete;

    std::vector<float> process(std::span<const float> block);
    // Same, replacing the contents of `out`; no allocation once `out` has room for
    // maxOutput(block.size()) samples.
    void process(std::span<const float> block, std::vector<float>& out);

    // Upper bound of the samples one block of `inputSamples` can produce.
    std::size_t maxOutput(std::size_t inputSamples) const;

    double fromRate() const { return fromRate_; }
    double toRate() const { return toRate_; }
    double step() const { return step_; }
    // Read position of the next output sample relative to the next block's first sample.
    double position() const { return t_; }
    // Last filtered sample of the previous block.
    float previous() const { return prev_; }
    const std::vector<LowPass>& filters() const { return filters_; }

private:
    std::size_t run(std::span<const float> block, float* out);

    double fromRate_;
    double toRate_;
    double step_;
    double t_ = 0;
    float prev_ = 0;
    std::vector<LowPass> filters_;
};

// Converts floats to 16-bit samples (as PCM::floatToInt16) and hands out every complete chunk of
// `chunkSamples`. A partial chunk waits for the next push; there is no flush.
class Int16Chunker {
public:
    using OnChunk = std::function<void(std::vector<std::int16_t>)>;

    // A size below 1 is taken as 1.
    Int16Chunker(std::int64_t chunkSamples, OnChunk onChunk);
    Int16Chunker(const Int16Chunker&) = delete;
    Int16Chunker& operator=(const Int16Chunker&) = delete;

    // Calls onChunk synchronously for each chunk completed by this block. The chunk is taken out
    // before the call, so onChunk may push again.
    void push(std::span<const float> samples);

    std::int64_t size() const { return size_; }
    std::size_t pending() const { return buf_.size(); }

private:
    std::int64_t size_;
    OnChunk onChunk_;
    std::vector<std::int16_t> buf_;
};

}  // namespace quendra
