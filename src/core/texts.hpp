// The texts callers see (exception messages, type names): part of the
// module's interface, kept character for character; tests pin them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kiln::texts {

// --- type names -------------------------------------------------------------

inline constexpr char kPanicTypeName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicTypeDoc[] =
    "\n"
    "The exception raised when Kiln code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr char kSliceContainerTypeName[] = "builtins.PySliceContainer";
inline constexpr char kSliceContainerDoc[] =
    "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap";

// --- refusals (PanicException) ------------------------------------------------

// relu and quantize_int8 refuse a layout they do not read as one flat run.
inline constexpr char kLayoutRefused[] = "called `Option::unwrap()` on a `None` value";
// The size tests of every owned buffer.
inline constexpr char kShapeOverflow[] =
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize";
inline constexpr char kCapacityOverflow[] = "capacity overflow";
// conv2d with stride 0.
inline constexpr char kDivideByZero[] = "attempt to divide by zero";

// --- failures (PanicException) ------------------------------------------------

inline constexpr char kIndexOutOfBounds[] = "ndarray: index out of bounds";
inline constexpr char kPoolNotInitialized[] = "The global thread pool has not been initialized.: ";
inline constexpr char kPoolAlreadyInitialized[] = "GlobalPoolAlreadyInitialized";
inline std::string pool_io_error(const char* what, int code) {
    return std::string("IOError: ") + what + " (os error " + std::to_string(code) + ")";
}
inline constexpr char kSliceContainerFailed[] = "Failed to create slice container: ";
inline constexpr char kNoPythonError[] = "no Python error set";
inline constexpr char kNumpyImportFailed[] = "Failed to import NumPy module";
inline constexpr char kNumpyCapsuleFailed[] = "Failed to get NumPy API capsule";
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
inline constexpr char kResumingPanic[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr char kPythonApiFailed[] = "Python API call failed";
inline constexpr char kUnknownPanic[] = "panic from Kiln code";

// --- ValueError ---------------------------------------------------------------

inline constexpr char kInput2D[] = "Input must be a 2D array";
inline constexpr char kBoth2D[] = "Both inputs must be 2D arrays";
inline constexpr char kInputKernel4D[] = "Input and kernel must be 4D arrays";
// a_shape and b_shape as "[m, k]".
inline std::string incompatible_shapes(const std::string& a_shape, const std::string& b_shape) {
    std::string text = "Incompatible shapes for matmul: ";
    text += a_shape;
    text += " and ";
    text += b_shape;
    return text;
}
inline std::string channel_mismatch(std::uint64_t kernel_channels, std::uint64_t input_channels) {
    return "conv2d: kernel has " + std::to_string(kernel_channels) + " input channels but input has " +
           std::to_string(input_channels);
}
inline std::string kernel_too_large(std::uint64_t kh, std::uint64_t kw, std::uint64_t h, std::uint64_t w) {
    return "conv2d: kernel " + std::to_string(kh) + "x" + std::to_string(kw) + " is larger than input " +
           std::to_string(h) + "x" + std::to_string(w);
}

// --- TypeError, SystemError, ImportError --------------------------------------

inline std::string too_many_positional(const char* function, std::size_t count, std::size_t given) {
    return std::string(function) + "() takes " + std::to_string(count) + " positional arguments but " +
           std::to_string(given) + (given == 1 ? " was" : " were") + " given";
}
// A format for PyUnicode_FromFormat: the function's name, then the keyword.
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline std::string multiple_values(const char* function, const char* param) {
    return std::string(function) + "() got multiple values for argument '" + param + "'";
}
// `names` as 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
inline std::string missing_arguments(const char* function, std::size_t count, const std::string& names) {
    return std::string(function) + "() missing " + std::to_string(count) + " required positional " +
           (count == 1 ? "argument" : "arguments") + ": " + names;
}
inline std::string argument_error(const char* param, const std::string& message) {
    return std::string("argument '") + param + "': " + message;
}
// Type-name texts follow "'" + the object's type name.
inline constexpr char kNotString[] = "' object cannot be converted to 'PyString'";
inline constexpr char kNotList[] = "' object cannot be converted to 'PyList'";
inline constexpr char kNotArray[] = "' object cannot be converted to 'PyArray<T, D>'";
// A format for PyUnicode_FromFormat: the array's dtype, then the one wanted.
inline constexpr char kTypeMismatch[] = "type mismatch:\n from=%U, to=%U";
inline constexpr char kUnknownTypeName[] = "<failed to extract type name>";
inline constexpr char kNoConstructor[] = "No constructor defined";
inline constexpr char kNothingFetched[] = "attempted to fetch exception but none was set";
inline constexpr char kInitialisedTwice[] = "PyO3 modules may only be initialized once per interpreter process";

}  // namespace kiln::texts
