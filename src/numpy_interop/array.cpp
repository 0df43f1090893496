#include "numpy_interop/array.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "py/error.hpp"
#include "numpy_interop/api.hpp"
#include "numpy_interop/slice_container.hpp"

namespace kiln::npy {

namespace {

template <class T>
constexpr int type_number();
template <>
constexpr int type_number<float>() { return kFloat; }
template <>
constexpr int type_number<std::int8_t>() { return kByte; }

// The logical view of an array: element (0, ..., 0) first, and element
// strides with the sign of the byte strides. Axes with negative strides are
// first walked to their lowest address and then inverted back, so that byte
// strides that are not a multiple of the element size truncate the same way
// for either sign (such strides only describe the layout; the elements are
// then read through a compact copy).
void check_dimensions(const ArrayFields* arr) {
    if (arr->nd < 0 || static_cast<std::size_t>(arr->nd) > kMaxDims)
        panic("NumPy is expected to limit arrays to " + std::to_string(kMaxDims) +
              " or fewer dimensions");
}

// Fills the view `v` in place (it holds 3 x kMaxDims entries, so a view
// built aside and copied over would cost more than the call's own work for
// a small array); entries past the array's dimensions are left as they are.
template <class T>
void make_view(const ArrayFields* arr, View<T>& v) {
    check_dimensions(arr);
    v.ndim = static_cast<std::size_t>(arr->nd);
    v.compacted = false;
    v.source_whole = true;
    auto address = reinterpret_cast<std::uintptr_t>(arr->data);
    bool inverted[kMaxDims];
    constexpr auto size = static_cast<std::int64_t>(sizeof(T));
    for (std::size_t d = 0; d < v.ndim; ++d) {
        const auto len = static_cast<std::int64_t>(arr->dimensions[d]);
        const auto bytes = static_cast<std::int64_t>(arr->strides[d]);
        v.shape[d] = static_cast<std::uint64_t>(len);
        inverted[d] = false;
        if (len > 1 && bytes % size != 0) v.source_whole = false;
        if (bytes >= 0) {
            v.strides[d] = bytes / size;
        } else {
            address += static_cast<std::uintptr_t>(bytes * (len - 1));
            v.strides[d] = -bytes / size;
            inverted[d] = true;
        }
    }
    for (std::size_t d = 0; d < v.ndim; ++d) {
        if (!inverted[d]) continue;
        const auto len = static_cast<std::int64_t>(v.shape[d]);
        if (len != 0) address += static_cast<std::uintptr_t>(v.strides[d] * (len - 1) * size);
        v.strides[d] = -v.strides[d];
    }
    v.data = reinterpret_cast<const T*>(address);
}

// Copies the logical elements of `arr`, read through its byte strides, into
// `copy` in row-major order, and points `v` at the copy. The caller's element
// strides stay in the view as its source layout. Views with no elements read
// nothing and are left alone.
template <class T>
void compact(View<T>& v, const ArrayFields* arr, mem::Block& copy) {
    const std::size_t nd = v.ndim;
    const std::uint64_t count = checked_element_count(v.shape, nd, sizeof(T));
    if (count == 0) return;
    copy = mem::Block(static_cast<std::size_t>(count) * sizeof(T), mem::Block::ForOverwrite{});
    auto* out = static_cast<unsigned char*>(copy.get());
    const auto* row = reinterpret_cast<const unsigned char*>(arr->data);
    if (nd == 0) {
        std::memcpy(out, row, sizeof(T));
    } else {
        // Runs along the last axis; the other axes are counted like an odometer.
        const std::int64_t step = arr->strides[nd - 1];
        const std::uint64_t len = v.shape[nd - 1];
        std::uint64_t index[kMaxDims] = {};
        for (bool more = true; more;) {
            const unsigned char* in = row;
            for (std::uint64_t k = 0; k < len; ++k, in += step, out += sizeof(T)) std::memcpy(out, in, sizeof(T));
            more = false;
            for (std::size_t d = nd - 1; d-- > 0;) {
                if (++index[d] < v.shape[d]) {
                    row += arr->strides[d];
                    more = true;
                    break;
                }
                row -= arr->strides[d] * static_cast<std::int64_t>(v.shape[d] - 1);
                index[d] = 0;
            }
        }
    }
    v.compacted = true;
    std::int64_t stride = 1;
    for (std::size_t d = nd; d-- > 0;) {
        v.source_strides[d] = v.strides[d];
        v.strides[d] = stride;
        stride *= static_cast<std::int64_t>(v.shape[d]);
    }
    v.data = static_cast<const T*>(copy.get());
}

// The TypeError for an array whose element type is not T's.
template <class T>
void check_element_type(const Api& np, const ArrayFields* arr, py::Ref& accepted_descr) {
    py::Ref wanted = py::Ref::steal(np.descr_from_type(type_number<T>()));
    if (!wanted) py::throw_fetched();
    if (arr->descr != wanted.get() && !np.equiv_types(arr->descr, wanted.get())) {
        py::Ref found_text = py::Ref::steal(PyObject_Str(arr->descr));
        if (!found_text) py::throw_fetched();
        py::Ref wanted_text = py::Ref::steal(PyObject_Str(wanted.get()));
        if (!wanted_text) py::throw_fetched();
        py::throw_error(PyExc_TypeError, py::Ref::steal(PyUnicode_FromFormat(
                                             texts::kTypeMismatch, found_text.get(),
                                             wanted_text.get())));
    }
    accepted_descr = py::Ref::borrow(arr->descr);
}

}  // namespace

template <class T>
Accepted<T> accept(PyObject* obj) {
    const Api& np = api();
    PyTypeObject* type = Py_TYPE(obj);
    if (type != np.array_type && !PyType_IsSubtype(type, np.array_type)) {
        py::throw_error(PyExc_TypeError,
                        "'" + py::type_qualname(type) + texts::kNotArray);
    }
    const auto* arr = reinterpret_cast<const ArrayFields*>(obj);
    Accepted<T> out;
    check_element_type<T>(np, arr, out.descr);
    out.hold = py::Ref::borrow(obj);
    // Refuse unsupported dimensionality now, in argument order.
    check_dimensions(arr);
    return out;
}

template <class T>
void recheck(Accepted<T>& array) {
    const auto* arr = reinterpret_cast<const ArrayFields*>(array.hold.get());
    if (arr->descr != array.descr.get()) check_element_type<T>(api(), arr, array.descr);
}

template <class T>
void take_view(Accepted<T>& array) {
    const auto* arr = reinterpret_cast<const ArrayFields*>(array.hold.get());
    make_view<T>(arr, array.view);
    const bool aligned = reinterpret_cast<std::uintptr_t>(array.view.data) % alignof(T) == 0;
    if (!aligned || !array.view.source_whole) compact(array.view, arr, array.compact_copy);
}

template <class T>
py::Ref to_array(Buffer<T>&& buffer) {
    const Api& np = api();
    const std::size_t nd = buffer.ndim();
    npy_intp dims[kMaxResultDims];
    npy_intp strides[kMaxResultDims];
    for (std::size_t d = 0; d < nd; ++d) {
        dims[d] = static_cast<npy_intp>(buffer.shape()[d]);
        strides[d] = static_cast<npy_intp>(buffer.strides()[d] * static_cast<std::int64_t>(sizeof(T)));
    }
    T* first = buffer.first();
    py::Ref container = make_slice_container(buffer.release_block());
    PyObject* descr = np.descr_from_type(type_number<T>());
    if (!descr) py::throw_fetched();  // the container frees the memory
    py::Ref array = py::Ref::steal(np.new_from_descr(np.array_type, descr, static_cast<int>(nd), dims,
                                                     strides, first, kArrayWriteable, nullptr));
    if (!array) py::throw_fetched();
    if (np.set_base_object(array.get(), container.release()) < 0) py::throw_fetched();
    return array;
}

template Accepted<float> accept<float>(PyObject*);
template Accepted<std::int8_t> accept<std::int8_t>(PyObject*);
template void recheck<float>(Accepted<float>&);
template void recheck<std::int8_t>(Accepted<std::int8_t>&);
template void take_view<float>(Accepted<float>&);
template void take_view<std::int8_t>(Accepted<std::int8_t>&);
template py::Ref to_array<float>(Buffer<float>&&);
template py::Ref to_array<std::int8_t>(Buffer<std::int8_t>&&);

}  // namespace kiln::npy
