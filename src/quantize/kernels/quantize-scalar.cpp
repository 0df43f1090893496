#include <cstring>

#include "quantize/kernels/quantize.hpp"

namespace kiln::quantize {

namespace {

inline float magnitude(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    bits &= 0x7fffffffu;
    std::memcpy(&v, &bits, sizeof bits);
    return v;
}

// The element rule. After the clamps p is a number in [-127, 127], so the
// conversion to int truncates it exactly, and p - trunc(p) is exact: the
// comparisons with +-0.5 decide halves away from zero without the error of
// adding 0.5 first (0.49999997f + 0.5f would round up to 1).
inline std::int8_t quantize_one(float v, float inv) {
    float p = v * inv;
    p = p < 127.0f ? p : 127.0f;
    p = p > -127.0f ? p : -127.0f;
    const int t = static_cast<int>(p);
    const float frac = p - static_cast<float>(t);
    return static_cast<std::int8_t>(t + (frac >= 0.5f) - (frac <= -0.5f));
}

float abs_max(const float* in, std::size_t n) {
    float acc = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float a = magnitude(in[i]);
        acc = a > acc ? a : acc;
    }
    return acc;
}

void quantize(const float* in, float inv, std::int8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = quantize_one(in[i], inv);
}

void dequantize(const std::int8_t* in, float s, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) * s;
}

}  // namespace

QuantizeKernels quantize_kernels_scalar() { return QuantizeKernels{abs_max, quantize, dequantize}; }

}  // namespace kiln::quantize
