// Per-thread set-up that must happen before a thread can fail.
#pragma once

namespace kiln {

// Makes sure this thread's exception state (the C++ runtime's per-thread
// data, and this library's thread-local storage) exists. Both are allocated
// lazily on a thread's first use, and an allocation failure there aborts the
// process instead of raising; taking them while memory is still available
// lets a later failure under memory exhaustion be raised as an exception.
// Cheap after the first call on a thread.
void prepare_thread() noexcept;

}  // namespace kiln
