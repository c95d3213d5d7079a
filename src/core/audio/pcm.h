// Stateless sample helpers: float <-> 16-bit conversion (asymmetric scale: 32767 for non-negative,
// 32768 for negative values), one-shot linear resamplers, gain, levels and the base64 form in which
// 16-bit audio travels inside the providers' JSON. Rounding is to nearest, halves away from zero.
// Safe on any thread; nothing here locks or keeps state.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quendra::PCM {

// NaN becomes 0; values outside [-1, 1] are clamped. The product with the scale is exact in double
// precision, so the rounding sees the true value (a float product could round across a half).
inline std::int16_t floatToInt16(float x) {
    if (std::isnan(x)) return 0;
    if (x > 1.0f) return 32767;
    if (x < -1.0f) return -32768;
    const double scaled = x < 0 ? static_cast<double>(x) * 32768.0 : static_cast<double>(x) * 32767.0;
    return static_cast<std::int16_t>(std::round(scaled));
}
std::vector<std::int16_t> floatToInt16(std::span<const float> x);
std::vector<float> int16ToFloat(std::span<const std::int16_t> x);

// One-shot linear resampling without filtering. Both rates must be above 0.
std::vector<float> resampleLinear(std::span<const float> x, double from, double to);
std::vector<std::int16_t> resampleInt16(std::span<const std::int16_t> x, double from, double to);

// round(gain * s), clamped to 16 bits; a gain of exactly 1 returns the input unchanged.
std::vector<std::int16_t> applyGain(std::span<const std::int16_t> x, double gain);

// Root mean square, accumulated in 32-bit floats; 0 for an empty list.
float rms(std::span<const float> x);
// Root mean square of samples scaled by 1/32768; 0 for an empty list.
double rms16Exact(std::span<const std::int16_t> x);
// rms16Exact rounded to three decimals.
double rms16(std::span<const std::int16_t> x);

// Little-endian bytes in standard base64 with padding, no line breaks.
std::string base64(std::span<const std::int16_t> x);
// Strict decoding; invalid text or fewer than two bytes give an empty list, an odd trailing byte
// is ignored.
std::vector<std::int16_t> int16(std::string_view base64);

}  // namespace quendra::PCM
