#include "numpy_interop/array.hpp"

#include <cstdint>
#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "lib/errors.hpp"
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
// for either sign.
template <class T>
View<T> make_view(const ArrayFields* arr) {
    if (arr->nd < 0 || static_cast<std::size_t>(arr->nd) > kMaxDims)
        panic("NumPy is expected to limit arrays to " + std::to_string(kMaxDims) +
              " or fewer dimensions");
    View<T> v;
    v.ndim = static_cast<std::size_t>(arr->nd);
    auto address = reinterpret_cast<std::uintptr_t>(arr->data);
    bool inverted[kMaxDims] = {};
    constexpr auto size = static_cast<std::int64_t>(sizeof(T));
    for (std::size_t d = 0; d < v.ndim; ++d) {
        const auto len = static_cast<std::int64_t>(arr->dimensions[d]);
        const auto bytes = static_cast<std::int64_t>(arr->strides[d]);
        v.shape[d] = static_cast<std::uint64_t>(len);
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
    return v;
}

// Points v at an aligned copy of the memory its elements span (kept in
// `copy`), at the same offsets. Views with no elements read nothing and
// are left alone.
template <class T>
void realign(View<T>& v, mem::Block& copy) {
    std::int64_t low = 0, high = 0;  // element offsets of the span, from v.data
    for (std::size_t d = 0; d < v.ndim; ++d) {
        if (v.shape[d] == 0) return;
        const std::int64_t reach = v.strides[d] * static_cast<std::int64_t>(v.shape[d] - 1);
        (reach < 0 ? low : high) += reach;
    }
    const auto count = static_cast<std::size_t>(high - low + 1);
    copy = mem::Block(count * sizeof(T), mem::Block::ForOverwrite{});
    const T* first = v.data + low;
    std::memcpy(copy.get(), first, count * sizeof(T));
    v.data = static_cast<const T*>(copy.get()) - low;
}

}  // namespace

template <class T>
Accepted<T> accept(PyObject* obj) {
    const Api& np = api();
    PyTypeObject* type = Py_TYPE(obj);
    if (type != np.array_type && !PyType_IsSubtype(type, np.array_type)) {
        py::throw_error(PyExc_TypeError,
                        ("'" + py::type_qualname(type) + texts::kNotArray).c_str());
    }
    const auto* arr = reinterpret_cast<const ArrayFields*>(obj);
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
    Accepted<T> out;
    out.hold = py::Ref::borrow(obj);
    out.view = make_view<T>(arr);
    if (reinterpret_cast<std::uintptr_t>(out.view.data) % alignof(T) != 0) realign(out.view, out.aligned_copy);
    return out;
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
    const auto elements = static_cast<std::size_t>(buffer.count());
    py::Ref container = make_slice_container(buffer.release_block(), elements);
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
template py::Ref to_array<float>(Buffer<float>&&);
template py::Ref to_array<std::int8_t>(Buffer<std::int8_t>&&);

}  // namespace kiln::npy
