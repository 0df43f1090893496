// Failure types shared by every layer below the Python boundary.
//
// Kernels and the runtime know nothing of Python. They report problems by
// throwing one of these C++ exceptions; the call bracket in src/lib turns
// each into the matching Python exception:
//   ValueError      -> ValueError (a caller error found by a kernel's checks)
//   Panic           -> PanicException (a violated internal invariant, or
//                      a documented refusal: see refuse())
//   std::bad_alloc  -> MemoryError
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace kiln {

// A caller error detected by a kernel (dimensionality, shapes).
class ValueError : public std::exception {
public:
    explicit ValueError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// An internal failure. The failure report is written to standard error when
// the panic is raised (see panic()), so the exception only carries the text.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the short failure report (thread, source location, message) to
// standard error without throwing.
void report_failure(const std::string& message, const std::source_location& where) noexcept;

// Reports and raises an internal failure.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Raises a documented refusal: an input the module declines by contract (a
// layout it does not read, a size beyond its limits, a zero stride). It
// reaches the caller as PanicException, with the same report on standard
// error as an internal failure, but it is not a fault of the module.
[[noreturn]] inline void refuse(const char* message,
                                std::source_location where = std::source_location::current()) {
    panic(message, where);
}

// Checks an internal invariant; a false condition is an internal failure.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
    if (!condition) panic(message, where);
}

// Gives the current thread a name used by failure reports.
void set_thread_label(const char* label) noexcept;

}  // namespace kiln
