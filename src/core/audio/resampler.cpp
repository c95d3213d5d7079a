#include "core/audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/audio/pcm.h"
#include "core/base/runtime.h"

namespace quendra {

namespace {

constexpr const char* kWhere = "QuendraCore/Resampler";
constexpr double kDenormalFloor = 1e-20;
constexpr double kTwoPi = 6.283185307179586;
// 2 x Q of the two sections of a fourth-order Butterworth (Q = 0.5412 and 1.3066).
constexpr double kTwoQFirst = 1.0824;
constexpr double kTwoQSecond = 2.6132;

// State that has decayed below 1e-20 is zeroed so silence leaves no denormals behind. State that
// is not finite (a NaN or infinite input sample) is zeroed too: a recursive filter would otherwise
// carry it into every later sample and silence the stream for good.
double flushed(double z) { return std::fabs(z) < kDenormalFloor || !std::isfinite(z) ? 0.0 : z; }

// One output sample between s0 and the next input sample, at fractional position t - k.
inline float interpolate(double t, float s0, float next) {
    const double k = std::floor(t);
    const auto f = static_cast<float>(t - k);
    const float s1 = f == 0 ? s0 : next;
    return s0 + (s1 - s0) * f;
}

}  // namespace

LowPass::LowPass(double cutoffHz, double sampleRate, double twoQ) {
    const double w0 = cutoffHz * kTwoPi / sampleRate;
    const double sinW0 = std::sin(w0);
    const double cosW0 = std::cos(w0);
    const double alpha = sinW0 / twoQ;
    const double a0 = 1 + alpha;
    b0_ = ((1 - cosW0) * 0.5) / a0;
    b1_ = (1 - cosW0) / a0;
    b2_ = b0_;
    a1_ = (-2 * cosW0) / a0;
    a2_ = (1 - alpha) / a0;
}

void LowPass::process(std::span<float> block) {
    for (float& s : block) s = static_cast<float>(step(s));
    flushDenormals();
}

void LowPass::flushDenormals() {
    z1_ = flushed(z1_);
    z2_ = flushed(z2_);
}

StreamResampler::StreamResampler(double fromRate, double toRate)
    : fromRate_(fromRate), toRate_(toRate), step_(fromRate / toRate) {
    if (!(fromRate > 0) || !(toRate > 0)) fatal("le frequenze devono essere maggiori di zero", kWhere);
    if (!std::isfinite(step_) || step_ <= 0) fatal("rapporto di frequenze non valido", kWhere);
    if (fromRate > toRate) {
        const double cutoff = std::min(0.45 * fromRate, 0.45 * toRate);
        filters_.reserve(2);
        filters_.emplace_back(cutoff, fromRate, kTwoQFirst);
        filters_.emplace_back(cutoff, fromRate, kTwoQSecond);
    }
}

std::size_t StreamResampler::maxOutput(std::size_t inputSamples) const {
    return static_cast<std::size_t>(std::ceil((static_cast<double>(inputSamples) + 1) / step_)) + 1;
}

std::vector<float> StreamResampler::process(std::span<const float> block) {
    std::vector<float> out;
    process(block, out);
    return out;
}

void StreamResampler::process(std::span<const float> block, std::vector<float>& out) {
    if (block.empty()) {
        out.clear();
        return;
    }
    if (fromRate_ == toRate_) {
        out.assign(block.begin(), block.end());
        return;
    }
    out.resize(maxOutput(block.size()));
    out.resize(run(block, out.data()));
}

// Filters and interpolates in one pass, without a working copy. Output k..k+1 needs the filtered
// samples x[k] and x[k+1], so every output whose read position lies in [j-1, j) is emitted as
// soon as x[j] is known; x[-1] is the previous block's last sample. Both filter sections advance
// together per sample: the second takes the first's output narrowed to float, exactly as if each
// had run over the whole block in turn, and the processor overlaps their recurrences.
std::size_t StreamResampler::run(std::span<const float> block, float* out) {
    const std::size_t n = block.size();
    float* w = out;
    double t = t_;
    const double step = step_;
    float last = prev_;

    if (filters_.size() == 2) {
        LowPass first = filters_[0];
        LowPass second = filters_[1];
        for (std::size_t j = 0; j < n; ++j) {
            const auto y1 = static_cast<float>(first.step(block[j]));
            const auto cur = static_cast<float>(second.step(y1));
            const auto jd = static_cast<double>(j);
            while (t < jd) {
                *w++ = interpolate(t, last, cur);
                t += step;
            }
            last = cur;
        }
        first.flushDenormals();
        second.flushDenormals();
        filters_[0] = first;
        filters_[1] = second;
    } else {
        for (std::size_t j = 0; j < n; ++j) {
            const float cur = block[j];
            const auto jd = static_cast<double>(j);
            while (t < jd) {
                *w++ = interpolate(t, last, cur);
                t += step;
            }
            last = cur;
        }
    }
    // Positions landing exactly on the last sample need nothing from the next block.
    const auto lastIndex = static_cast<double>(n - 1);
    while (t <= lastIndex) {
        *w++ = interpolate(t, last, last);
        t += step;
    }
    t_ = t - static_cast<double>(n);
    prev_ = last;
    return static_cast<std::size_t>(w - out);
}

Int16Chunker::Int16Chunker(std::int64_t chunkSamples, OnChunk onChunk)
    : size_(std::max<std::int64_t>(chunkSamples, 1)), onChunk_(std::move(onChunk)) {
    buf_.reserve(static_cast<std::size_t>(size_));
}

void Int16Chunker::push(std::span<const float> samples) {
    const auto size = static_cast<std::size_t>(size_);
    std::size_t i = 0;
    while (i < samples.size()) {
        const std::size_t take = std::min(samples.size() - i, size - buf_.size());
        for (std::size_t e = i + take; i < e; ++i) buf_.push_back(PCM::floatToInt16(samples[i]));
        if (buf_.size() == size) {
            std::vector<std::int16_t> chunk = std::move(buf_);
            buf_ = {};
            buf_.reserve(size);
            if (onChunk_) onChunk_(std::move(chunk));
        }
    }
}

}  // namespace quendra
