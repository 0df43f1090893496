// Each wrapper binds its arguments, converts them in parameter order, runs
// its kernel and turns the result into a NumPy array. Array holds are RAII
// handles, so they are released on every path before the call bracket sets
// the Python exception.
#include "lib/functions.hpp"

#include <cstdint>

#include "activations/relu.hpp"
#include "activations/softmax.hpp"
#include "conv/conv2d.hpp"
#include "lib/args.hpp"
#include "lib/errors.hpp"
#include "matmul/matmul.hpp"
#include "numpy_interop/array.hpp"
#include "quantize/quantize.hpp"

namespace kiln::py {

namespace {

// An array argument: accepted (type and element type checked, array held)
// when its parameter's turn comes, viewed once every argument is converted.
template <class T>
struct ArrayArgument {
    const char* param;
    npy::Accepted<T> array;
    const View<T>& view() const { return array.view; }
};

template <class T>
ArrayArgument<T> array_argument(const char* param, PyObject* obj) {
    return {param, convert_argument(param, [&] { return npy::accept<T>(obj); })};
}

// Takes the views of a call's arrays after its scalars are converted, so
// that no Python code runs between taking a view and the kernel reading it.
// An array whose element type was changed meanwhile is refused again.
template <class... Arrays>
void take_views(Arrays&... arrays) {
    (convert_argument(arrays.param, [&] { npy::recheck(arrays.array); return 0; }), ...);
    (npy::take_view(arrays.array), ...);
}

constexpr const char* kMatmulParams[] = {"a", "b"};
constexpr const char* kConvParams[] = {"input", "kernel", "stride"};
constexpr const char* kX[] = {"x"};
constexpr const char* kSoftmaxParams[] = {"x", "axis"};
constexpr const char* kDequantizeParams[] = {"x", "scale"};

constexpr Signature kMatmul{"matmul_kernel", kMatmulParams, 2};
constexpr Signature kConv{"conv2d", kConvParams, 3};
constexpr Signature kRelu{"relu", kX, 1};
constexpr Signature kSoftmax{"softmax", kSoftmaxParams, 2};
constexpr Signature kQuantize{"quantize_int8", kX, 1};
constexpr Signature kDequantize{"dequantize_int8", kDequantizeParams, 2};

}  // namespace

PyObject* matmul_kernel(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[2];
        bind_arguments(kMatmul, args, kwargs, slot);
        auto a = array_argument<float>("a", slot[0]);
        auto b = array_argument<float>("b", slot[1]);
        take_views(a, b);
        return npy::to_array(matmul::matmul_kernel(a.view(), b.view())).release();
    });
}

PyObject* conv2d(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[3];
        bind_arguments(kConv, args, kwargs, slot);
        auto input = array_argument<float>("input", slot[0]);
        auto kernel = array_argument<float>("kernel", slot[1]);
        const std::uint64_t stride = convert_argument("stride", [&] { return to_u64(slot[2]); });
        take_views(input, kernel);
        return npy::to_array(conv::conv2d(input.view(), kernel.view(), stride)).release();
    });
}

PyObject* relu(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[1];
        bind_arguments(kRelu, args, kwargs, slot);
        auto x = array_argument<float>("x", slot[0]);
        take_views(x);
        return npy::to_array(activations::relu(x.view())).release();
    });
}

PyObject* softmax(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[2];
        bind_arguments(kSoftmax, args, kwargs, slot);
        auto x = array_argument<float>("x", slot[0]);
        const std::int64_t axis = convert_argument("axis", [&] { return to_i64(slot[1]); });
        take_views(x);
        return npy::to_array(activations::softmax(x.view(), axis)).release();
    });
}

PyObject* quantize_int8(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[1];
        bind_arguments(kQuantize, args, kwargs, slot);
        auto x = array_argument<float>("x", slot[0]);
        take_views(x);
        quantize::Quantized q = quantize::quantize_int8(x.view());
        Ref values = npy::to_array(std::move(q.values));
        Ref scale = Ref::steal(check_new(PyFloat_FromDouble(static_cast<double>(q.scale))));
        Ref pair = Ref::steal(check_new(PyTuple_New(2)));
        PyTuple_SetItem(pair.get(), 0, values.release());
        PyTuple_SetItem(pair.get(), 1, scale.release());
        return pair.release();
    });
}

PyObject* dequantize_int8(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_bracket([&] {
        PyObject* slot[2];
        bind_arguments(kDequantize, args, kwargs, slot);
        auto x = array_argument<std::int8_t>("x", slot[0]);
        const double scale = convert_argument("scale", [&] { return to_double(slot[1]); });
        take_views(x);
        return npy::to_array(quantize::dequantize_int8(x.view(), static_cast<float>(scale))).release();
    });
}

}  // namespace kiln::py
