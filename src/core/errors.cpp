#include "core/errors.hpp"

#include <cstdio>
#include <pthread.h>

namespace kiln {

namespace {
thread_local std::string t_label;
}

void set_thread_label(std::string label) noexcept {
    try {
        t_label = std::move(label);
    } catch (...) {
    }
}

void report_failure(const std::string& message, const std::source_location& where) noexcept {
    char fallback[40];
    const char* thread = t_label.c_str();
    if (t_label.empty()) {
        std::snprintf(fallback, sizeof fallback, "%#lx",
                      static_cast<unsigned long>(pthread_self()));
        thread = fallback;
    }
    std::fprintf(stderr, "_kiln_kernels: internal failure in thread '%s' at %s:%u:\n%s\n",
                 thread, where.file_name(), static_cast<unsigned>(where.line()),
                 message.c_str());
    std::fflush(stderr);
}

void panic(std::string message, std::source_location where) {
    report_failure(message, where);
    throw Panic(std::move(message));
}

}  // namespace kiln
