#include "core/errors.hpp"

#include <cstdio>
#include <cstring>
#include <pthread.h>

namespace kiln {

namespace {
// A fixed buffer with initial-exec TLS: nothing to allocate or destroy per
// thread, so naming a thread can never fail.
constexpr std::size_t kLabelSize = 40;
__attribute__((tls_model("initial-exec"))) thread_local char t_label[kLabelSize];
}  // namespace

void set_thread_label(const char* label) noexcept {
    std::snprintf(t_label, kLabelSize, "%s", label);
}

void report_failure(const std::string& message, const std::source_location& where) noexcept {
    char fallback[40];
    const char* thread = t_label;
    if (t_label[0] == '\0') {
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
