#include "core/thread.hpp"

#include <cxxabi.h>

namespace kiln {

namespace {
thread_local bool t_prepared = false;
}  // namespace

void prepare_thread() noexcept {
    if (t_prepared) return;  // the first access also allocates this library's storage
    abi::__cxa_eh_globals* globals = abi::__cxa_get_globals();
    asm volatile("" : : "r"(globals) : "memory");
    t_prepared = true;
}

}  // namespace kiln
