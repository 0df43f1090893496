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

}  // namespace kiln::parallel
