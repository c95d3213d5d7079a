#include "core/audio/pcm.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/base/runtime.h"

namespace quendra::PCM {

namespace {

constexpr const char* kWhere = "QuendraCore/Audio";

void requirePositiveRates(double from, double to) {
    if (!(from > 0) || !(to > 0)) fatal("le frequenze devono essere maggiori di zero", kWhere);
}

// Output length of a one-shot resampling: round(to * n / from), halves away from zero. An infinite
// rate would ask for an infinite list: a programming error like a rate of 0.
size_t resampledLength(size_t n, double from, double to) {
    const double length = std::round(to * static_cast<double>(n) / from);
    if (!std::isfinite(length)) fatal("le frequenze devono essere finite", kWhere);
    return static_cast<size_t>(length);
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

std::vector<std::int16_t> floatToInt16(std::span<const float> x) {
    std::vector<std::int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) out[i] = floatToInt16(x[i]);
    return out;
}

std::vector<float> int16ToFloat(std::span<const std::int16_t> x) {
    std::vector<float> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const float s = x[i];
        out[i] = x[i] < 0 ? s / 32768.0f : s / 32767.0f;
    }
    return out;
}

std::vector<float> resampleLinear(std::span<const float> x, double from, double to) {
    requirePositiveRates(from, to);
    if (from == to) return {x.begin(), x.end()};
    const size_t n = x.size();
    const size_t count = resampledLength(n, from, to);
    std::vector<float> out;
    out.reserve(count);
    const double ratio = from / to;
    for (size_t i = 0; i < count; ++i) {
        const double pos = ratio * static_cast<double>(i);
        const double k = std::floor(pos);
        if (k < static_cast<double>(n) - 1) {
            const auto ki = static_cast<size_t>(k);
            const auto f = static_cast<float>(pos - k);
            out.push_back(x[ki] + (x[ki + 1] - x[ki]) * f);
        } else {
            out.push_back(x[n - 1]);
        }
    }
    return out;
}

std::vector<std::int16_t> resampleInt16(std::span<const std::int16_t> x, double from, double to) {
    if (from == to || x.empty()) return {x.begin(), x.end()};
    requirePositiveRates(from, to);
    const size_t n = x.size();
    const size_t count = resampledLength(n, from, to);
    std::vector<std::int16_t> out;
    out.reserve(count);
    const double ratio = from / to;
    const double last = static_cast<double>(n - 1);
    for (size_t i = 0; i < count; ++i) {
        const double pos = ratio * static_cast<double>(i);
        const double k = std::min(std::floor(pos), last);
        const double k1 = std::min(k + 1, last);
        const double f = pos - k;
        const double v = (1 - f) * x[static_cast<size_t>(k)] + f * x[static_cast<size_t>(k1)];
        out.push_back(static_cast<std::int16_t>(std::round(v)));
    }
    return out;
}

std::vector<std::int16_t> applyGain(std::span<const std::int16_t> x, double gain) {
    if (gain == 1.0) return {x.begin(), x.end()};
    std::vector<std::int16_t> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double v = gain * x[i];
        if (std::isnan(v)) v = 0;  // a NaN gain (or 0 x infinity) gives silence, not garbage
        out[i] = static_cast<std::int16_t>(std::clamp(std::round(v), -32768.0, 32767.0));
    }
    return out;
}

float rms(std::span<const float> x) {
    if (x.empty()) return 0;
    float sum = 0;
    for (float s : x) sum += s * s;
    return std::sqrt(sum / static_cast<float>(x.size()));
}

double rms16Exact(std::span<const std::int16_t> x) {
    if (x.empty()) return 0;
    double sum = 0;
    for (std::int16_t s : x) {
        const double v = s / 32768.0;
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(x.size()));
}

double rms16(std::span<const std::int16_t> x) { return std::round(rms16Exact(x) * 1000) / 1000; }

std::string base64(std::span<const std::int16_t> x) {
    const size_t bytes = x.size() * 2;
    std::string out;
    out.reserve((bytes + 2) / 3 * 4);
    auto byteAt = [&](size_t i) -> unsigned {
        const auto s = static_cast<std::uint16_t>(x[i / 2]);
        return (i % 2 == 0) ? (s & 0xFFu) : (s >> 8);
    };
    size_t i = 0;
    for (; i + 3 <= bytes; i += 3) {
        const unsigned v = (byteAt(i) << 16) | (byteAt(i + 1) << 8) | byteAt(i + 2);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const size_t rest = bytes - i; rest > 0) {
        unsigned v = byteAt(i) << 16;
        if (rest == 2) v |= byteAt(i + 1) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<std::int16_t> int16(std::string_view text) {
    // Strict: length a multiple of 4, padding only at the very end, no other characters.
    if (text.size() % 4 != 0) return {};
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = (text.size() >= 2 && text[text.size() - 2] == '=') ? 2 : 1;
    const size_t bytes = text.size() / 4 * 3 - padding;
    if (bytes < 2) return {};
    std::vector<std::uint8_t> raw;
    raw.reserve(bytes);
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned v = 0;
        const bool lastGroup = i + 4 == text.size();
        for (size_t j = 0; j < 4; ++j) {
            const auto c = static_cast<unsigned char>(text[i + j]);
            int d = kDecode[c];
            if (d < 0) {
                if (!(c == '=' && lastGroup && j >= 4 - padding)) return {};
                d = 0;
            }
            v = (v << 6) | static_cast<unsigned>(d);
        }
        raw.push_back(static_cast<std::uint8_t>(v >> 16));
        raw.push_back(static_cast<std::uint8_t>(v >> 8));
        raw.push_back(static_cast<std::uint8_t>(v));
    }
    raw.resize(bytes);
    std::vector<std::int16_t> out(bytes / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(raw[2 * i] | (raw[2 * i + 1] << 8)));
    }
    return out;
}

}  // namespace quendra::PCM
