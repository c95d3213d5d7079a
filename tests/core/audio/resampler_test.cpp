#include "core/audio/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/audio/pcm.h"

namespace quendra {
namespace {

using Floats = std::vector<float>;

Floats noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    Floats x(n);
    for (float& s : x) s = dist(rng);
    return x;
}

// Feeds `input` in random block sizes (0 included) and concatenates the output.
Floats processInRandomBlocks(StreamResampler& r, const Floats& input, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> size(0, 700);
    Floats out;
    std::vector<float> block;
    for (std::size_t i = 0; i < input.size();) {
        const std::size_t n = std::min(size(rng), input.size() - i);
        r.process(std::span(input).subspan(i, n), block);
        out.insert(out.end(), block.begin(), block.end());
        i += n;
    }
    return out;
}

// The resampler as its definition reads: each filter section over the whole block in turn on a
// working copy, then interpolation over the filtered block.
class ReferenceResampler {
public:
    ReferenceResampler(double from, double to) : step_(from / to) {
        if (from > to) {
            const double fc = 0.45 * to;
            filters_.emplace_back(fc, from, 1.0824);
            filters_.emplace_back(fc, from, 2.6132);
        }
    }

    Floats process(const Floats& block) {
        if (block.empty()) return {};
        Floats x = block;
        for (auto& f : filters_) f.process(x);
        const double n = static_cast<double>(x.size());
        Floats out;
        while (t_ <= n - 1) {
            const double k = std::floor(t_);
            const float s0 = k < 0 ? prev_ : x[static_cast<std::size_t>(k)];
            const auto f = static_cast<float>(t_ - k);
            const float s1 = f == 0 ? s0 : x[static_cast<std::size_t>(k + 1)];
            out.push_back(s0 + (s1 - s0) * f);
            t_ += step_;
        }
        t_ -= n;
        prev_ = x.back();
        return out;
    }

private:
    double step_;
    double t_ = 0;
    float prev_ = 0;
    std::vector<LowPass> filters_;
};

TEST(StreamResamplerTest, FilterCoefficientsFor48000To16000) {
    StreamResampler r(48000, 16000);
    EXPECT_EQ(r.step(), 3.0);
    ASSERT_EQ(r.filters().size(), 2u);
    const LowPass& a = r.filters()[0];
    const LowPass& b = r.filters()[1];
    EXPECT_NEAR(a.b0(), 0.117949, 1e-6);
    EXPECT_NEAR(a.a1(), -0.672743, 1e-6);
    EXPECT_NEAR(a.a2(), 0.144539, 1e-6);
    EXPECT_NEAR(b.b0(), 0.157383, 1e-6);
    EXPECT_NEAR(b.a1(), -0.897664, 1e-6);
    EXPECT_NEAR(b.a2(), 0.527197, 1e-6);
    for (const LowPass* f : {&a, &b}) {
        EXPECT_EQ(f->b1(), 2 * f->b0());
        EXPECT_EQ(f->b2(), f->b0());
        // Unity gain at DC.
        EXPECT_NEAR((f->b0() + f->b1() + f->b2()) / (1 + f->a1() + f->a2()), 1.0, 1e-12);
    }
}

TEST(StreamResamplerTest, FiltersOnlyWhenDownsampling) {
    struct Case {
        double from, to;
        std::size_t filters;
    };
    const Case cases[] = {{48000, 16000, 2}, {44100, 16000, 2}, {16000, 24000, 0}, {16000, 16000, 0}};
    for (const auto& c : cases) EXPECT_EQ(StreamResampler(c.from, c.to).filters().size(), c.filters) << c.from;
}

TEST(StreamResamplerTest, UpsamplingCarriesPositionAndPreviousSample) {
    StreamResampler r(16000, 24000);
    const Floats first = r.process(Floats{0, 1});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], 0.0f);
    EXPECT_NEAR(first[1], 2.0 / 3.0, 1e-6);
    EXPECT_NEAR(r.position(), -2.0 / 3.0, 1e-12);
    EXPECT_EQ(r.previous(), 1.0f);

    EXPECT_EQ(r.process(Floats{1}), (Floats{1, 1}));

    StreamResampler once(16000, 24000);
    const Floats all = once.process(Floats{0, 1, 1});
    EXPECT_EQ(all, (Floats{first[0], first[1], 1, 1}));
}

TEST(StreamResamplerTest, EmptyBlocksAndEqualRatesChangeNothing) {
    StreamResampler same(16000, 16000);
    const Floats x = noise(100, 1);
    EXPECT_EQ(same.process(x), x);
    EXPECT_EQ(same.process(x), x);

    StreamResampler down(48000, 16000);
    down.process(x);
    const double t = down.position();
    const float prev = down.previous();
    const double z1 = down.filters()[0].z1();
    EXPECT_TRUE(down.process(Floats{}).empty());
    EXPECT_EQ(down.position(), t);
    EXPECT_EQ(down.previous(), prev);
    EXPECT_EQ(down.filters()[0].z1(), z1);
}

// One NaN or infinite sample spoils its own block, but the filter recovers at the next one.
TEST(StreamResamplerTest, RecoversFromANonFiniteSample) {
    for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity()}) {
        StreamResampler r(48000, 16000);
        Floats x = noise(480, 5);
        x[100] = bad;
        r.process(x);
        const Floats next = r.process(noise(480, 6));
        // The first output interpolates from the previous block's last (spoiled) sample.
        for (std::size_t i = 1; i < next.size(); ++i) ASSERT_TRUE(std::isfinite(next[i])) << bad << " " << i;
        EXPECT_TRUE(std::isfinite(r.filters()[0].z1()));
        EXPECT_TRUE(std::isfinite(r.filters()[1].z2()));
    }
}

TEST(StreamResamplerDeathTest, RatesNotAboveZeroStopTheProgram) {
    EXPECT_DEATH(StreamResampler(0, 16000), "");
    EXPECT_DEATH(StreamResampler(48000, -1), "");
}

// The fused single-pass loop must be bit-identical to running the sections one after the other,
// including the denormal flush at block ends (silent stretches decay the state below 1e-20).
TEST(StreamResamplerTest, SinglePassMatchesSectionBySectionExactly) {
    for (auto [from, to] : {std::pair{48000.0, 16000.0}, {44100.0, 16000.0}, {16000.0, 24000.0}}) {
        StreamResampler fast(from, to);
        ReferenceResampler reference(from, to);
        std::mt19937 rng(7);
        std::uniform_int_distribution<std::size_t> size(0, 1000);
        for (int block = 0; block < 200; ++block) {
            Floats x = noise(size(rng), static_cast<unsigned>(block));
            if (block % 5 == 3) std::fill(x.begin(), x.end(), 0.0f);
            const Floats expected = reference.process(x);
            const Floats actual = fast.process(x);
            ASSERT_EQ(actual.size(), expected.size()) << from << " block " << block;
            for (std::size_t i = 0; i < actual.size(); ++i) {
                ASSERT_EQ(actual[i], expected[i]) << from << " block " << block << " sample " << i;
            }
        }
    }
}

// The defining property: however a continuous stream is cut, the output is the same.
TEST(StreamResamplerTest, BlockSizesDoNotChangeTheStream) {
    const Floats input = noise(48000, 3);
    for (auto [from, to] : {std::pair{48000.0, 16000.0},
                            {44100.0, 16000.0},
                            {22050.0, 16000.0},
                            {16000.0, 24000.0},
                            {8000.0, 44100.0}}) {
        StreamResampler whole(from, to);
        const Floats expected = whole.process(input);
        for (unsigned seed : {1u, 2u, 3u}) {
            StreamResampler cut(from, to);
            const Floats actual = processInRandomBlocks(cut, input, seed);
            ASSERT_EQ(actual.size(), expected.size()) << from << " -> " << to;
            for (std::size_t i = 0; i < actual.size(); ++i) {
                ASSERT_NEAR(actual[i], expected[i], 1e-5) << from << " -> " << to << " sample " << i;
            }
            // Integer steps carry the position exactly.
            if (from == 48000.0) {
                EXPECT_EQ(actual, expected);
            }
        }
        EXPECT_NEAR(static_cast<double>(expected.size()), input.size() * to / from, to / from + 1);
    }
}

TEST(StreamResamplerTest, DownsamplingRemovesContentAboveTheCutoff) {
    // 1 kHz passes; 12 kHz and 20 kHz, above the 8 kHz Nyquist frequency of the output, would
    // alias into the band and are attenuated (by more than 20 dB and 40 dB).
    auto tone = [](double hz) {
        Floats x(48000);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(0.5 * std::sin(6.283185307179586 * hz * i / 48000));
        return x;
    };
    StreamResampler pass(48000, 16000);
    StreamResampler stop(48000, 16000);
    StreamResampler stopFar(48000, 16000);
    const Floats low = pass.process(tone(1000));
    const Floats high = stop.process(tone(12000));
    const Floats higher = stopFar.process(tone(20000));
    const auto tail = [](const Floats& x) { return PCM::rms(std::span(x).subspan(1000)); };
    EXPECT_NEAR(tail(low), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_LT(tail(high), 0.1 * tail(low));
    EXPECT_LT(tail(higher), 0.01 * tail(low));
}

TEST(Int16ChunkerTest, DeliversFullChunksAndKeepsTheRest) {
    std::vector<std::vector<std::int16_t>> chunks;
    Int16Chunker one(0, [&](std::vector<std::int16_t> c) { chunks.push_back(std::move(c)); });
    EXPECT_EQ(one.size(), 1);
    one.push(Floats{0.5f, -1.0f, std::nanf("")});
    EXPECT_EQ(chunks, (std::vector<std::vector<std::int16_t>>{{16384}, {-32768}, {0}}));

    chunks.clear();
    Int16Chunker chunker(1600, [&](std::vector<std::int16_t> c) { chunks.push_back(std::move(c)); });
    Floats x(4000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(i) / 4000.0f;
    chunker.push(x);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunker.pending(), 800u);
    EXPECT_EQ(chunks[0].size(), 1600u);
    EXPECT_EQ(chunks[1][0], PCM::floatToInt16(x[1600]));

    chunker.push(Floats{});
    EXPECT_EQ(chunks.size(), 2u);
    chunker.push(std::span(x).first(800));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[2][0], PCM::floatToInt16(x[3200]));
    EXPECT_EQ(chunks[2][1599], PCM::floatToInt16(x[799]));
    EXPECT_EQ(chunker.pending(), 0u);
}

TEST(Int16ChunkerTest, CallbackMayPushAgain) {
    std::vector<std::int16_t> firsts;
    Int16Chunker* self = nullptr;
    Int16Chunker chunker(2, [&](std::vector<std::int16_t> c) {
        firsts.push_back(c[0]);
        if (firsts.size() == 1) self->push(Floats{1.0f});
    });
    self = &chunker;
    chunker.push(Floats{0, 0, -1.0f});
    // The nested sample enters the stream when it is pushed, ahead of the rest of the outer block.
    EXPECT_EQ(firsts, (std::vector<std::int16_t>{0, 32767}));
    EXPECT_EQ(chunker.pending(), 0u);
}

}  // namespace
}  // namespace quendra
