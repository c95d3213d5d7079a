// The capture chain of one direction, per 10 ms device block at 48000 Hz stereo: mono mixdown,
// resampling to 16000 Hz, 1600-sample 16-bit chunks, voice detection and the send gate. Run once
// with our StreamResampler and once with speexdsp's resampler (quality 3) in its place. The
// "rtf" counter is seconds of audio processed per second of CPU.
#include <benchmark/benchmark.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "core/audio/pcm.h"
#include "core/audio/resampler.h"
#include "core/audio/vad.h"

namespace {

using namespace quendra;

constexpr double kDeviceRate = 48000;
constexpr double kTargetRate = 16000;
constexpr std::size_t kBlockFrames = 480;  // 10 ms
constexpr double kBlockSeconds = 0.01;

// Two seconds of stereo signal: a voice-like tone with noise, silent half of the time so that the
// gate both holds and sends.
std::vector<float> makeStereo() {
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    const std::size_t frames = static_cast<std::size_t>(2 * kDeviceRate);
    std::vector<float> x(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kDeviceRate;
        const bool voiced = std::fmod(t, 1.0) < 0.5;
        const float tone = voiced ? static_cast<float>(0.3 * std::sin(6.283185307179586 * 220 * t)) : 0.0f;
        x[2 * i] = tone + noise(rng);
        x[2 * i + 1] = tone + noise(rng);
    }
    return x;
}

// What a session does with each chunk: measure it, then gate it.
struct ChunkSink {
    Vad vad{0.015f, 600, 100};
    SendGate gate{0.008, 1500, 500, 100};
    std::int64_t sent = 0;

    void operator()(std::vector<std::int16_t> chunk) {
        const std::vector<float> floats = PCM::int16ToFloat(chunk);
        benchmark::DoNotOptimize(vad.push(floats));
        sent += static_cast<std::int64_t>(gate.push(std::move(chunk)).size());
    }
};

void mixdown(const float* stereo, std::vector<float>& mono) {
    for (std::size_t i = 0; i < kBlockFrames; ++i) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) * 0.5f;
}

void setRate(benchmark::State& state) {
    state.counters["rtf"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
}

void BM_CaptureChainStreamResampler(benchmark::State& state) {
    const std::vector<float> stereo = makeStereo();
    const std::size_t blocks = stereo.size() / (2 * kBlockFrames);
    std::vector<float> mono(kBlockFrames);
    std::vector<float> resampled;
    StreamResampler resampler(kDeviceRate, kTargetRate);
    ChunkSink sink;
    Int16Chunker chunker(1600, [&sink](std::vector<std::int16_t> c) { sink(std::move(c)); });
    std::size_t b = 0;
    for (auto _ : state) {
        mixdown(stereo.data() + b * 2 * kBlockFrames, mono);
        resampler.process(mono, resampled);
        chunker.push(resampled);
        b = (b + 1) % blocks;
    }
    benchmark::DoNotOptimize(sink.sent);
    setRate(state);
}
BENCHMARK(BM_CaptureChainStreamResampler);

struct SpeexDeleter {
    void operator()(SpeexResamplerState* s) const { speex_resampler_destroy(s); }
};
using Speex = std::unique_ptr<SpeexResamplerState, SpeexDeleter>;

Speex makeSpeex() {
    int err = 0;
    return Speex(speex_resampler_init(1, static_cast<spx_uint32_t>(kDeviceRate), static_cast<spx_uint32_t>(kTargetRate), 3, &err));
}

void speexProcess(SpeexResamplerState* st, const std::vector<float>& in, std::vector<float>& out) {
    spx_uint32_t inLen = static_cast<spx_uint32_t>(in.size());
    spx_uint32_t outLen = static_cast<spx_uint32_t>(out.capacity());
    out.resize(outLen);
    speex_resampler_process_float(st, 0, in.data(), &inLen, out.data(), &outLen);
    out.resize(outLen);
}

void BM_CaptureChainSpeexQuality3(benchmark::State& state) {
    const std::vector<float> stereo = makeStereo();
    const std::size_t blocks = stereo.size() / (2 * kBlockFrames);
    std::vector<float> mono(kBlockFrames);
    std::vector<float> resampled;
    resampled.reserve(kBlockFrames);
    Speex speex = makeSpeex();
    ChunkSink sink;
    Int16Chunker chunker(1600, [&sink](std::vector<std::int16_t> c) { sink(std::move(c)); });
    std::size_t b = 0;
    for (auto _ : state) {
        mixdown(stereo.data() + b * 2 * kBlockFrames, mono);
        speexProcess(speex.get(), mono, resampled);
        chunker.push(resampled);
        b = (b + 1) % blocks;
    }
    benchmark::DoNotOptimize(sink.sent);
    setRate(state);
}
BENCHMARK(BM_CaptureChainSpeexQuality3);

// The resamplers alone, 48000 -> 16000 Hz mono in 10 ms blocks.
void BM_ResampleStreamResampler(benchmark::State& state) {
    const std::vector<float> stereo = makeStereo();
    std::vector<float> mono(kBlockFrames);
    mixdown(stereo.data(), mono);
    std::vector<float> out;
    StreamResampler resampler(kDeviceRate, kTargetRate);
    for (auto _ : state) {
        resampler.process(mono, out);
        benchmark::DoNotOptimize(out.data());
    }
    setRate(state);
}
BENCHMARK(BM_ResampleStreamResampler);

void BM_ResampleSpeexQuality3(benchmark::State& state) {
    const std::vector<float> stereo = makeStereo();
    std::vector<float> mono(kBlockFrames);
    mixdown(stereo.data(), mono);
    std::vector<float> out;
    out.reserve(kBlockFrames);
    Speex speex = makeSpeex();
    for (auto _ : state) {
        speexProcess(speex.get(), mono, out);
        benchmark::DoNotOptimize(out.data());
    }
    setRate(state);
}
BENCHMARK(BM_ResampleSpeexQuality3);

}  // namespace
