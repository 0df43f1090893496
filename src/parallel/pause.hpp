// A hint to the processor, in a loop that polls memory another thread is
// about to change, that it waits: the loop then leaves the core's resources
// to others and exits without a penalty when the value changes.
#pragma once

#include <thread>

namespace kiln::parallel {

inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Waits until done() holds, for work another thread is finishing (a few
// microseconds): pauses at first, then gives the processor away on every
// look once the wait lasts, in case that thread needs it.
template <class Done>
inline void wait_until(Done done) noexcept {
    constexpr unsigned kSpins = 2000;
    for (unsigned spins = 0; !done(); ++spins) {
        if (spins < kSpins) {
            pause();
        } else {
            std::this_thread::yield();
        }
    }
}

}  // namespace kiln::parallel
