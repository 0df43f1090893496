// Runs kernels in the default floating-point environment.
//
// Another library in the process may have switched on flush-to-zero or
// denormals-are-zero (or another rounding mode) on the calling thread; the
// kernels' bits must not depend on that. The guard installs the default SSE
// control word for the duration of a call and restores the caller's on the
// way out. Pool workers are created from inside a call and so start from
// the default environment.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace kiln {

class DefaultFpEnv {
public:
#if defined(__x86_64__) || defined(__i386__)
    // Round to nearest, all exceptions masked, no FTZ/DAZ.
    static constexpr unsigned kDefaultMxcsr = 0x1F80;
    DefaultFpEnv() noexcept : saved_(_mm_getcsr()) {
        if ((saved_ & ~0x3Fu) != kDefaultMxcsr) _mm_setcsr(kDefaultMxcsr | (saved_ & 0x3Fu));
    }
    ~DefaultFpEnv() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#endif
public:
    DefaultFpEnv(const DefaultFpEnv&) = delete;
    DefaultFpEnv& operator=(const DefaultFpEnv&) = delete;
};

}  // namespace kiln
