#include "numpy_interop/slice_container.hpp"

#include <string>

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "py/error.hpp"

namespace kiln::npy {

namespace {

struct SliceContainer {
    PyObject ob_base;
    void* ptr;
    std::size_t bytes;
    void (*release)(void*, std::size_t) noexcept;
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, texts::kNoConstructor);
    return nullptr;
}

void dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->release && c->ptr) c->release(c->ptr, c->bytes);
    c->ptr = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>(texts::kSliceContainerDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    texts::kSliceContainerTypeName,
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

PyObject* g_type = nullptr;

PyTypeObject* container_type() {
    if (!g_type) g_type = PyType_FromSpec(&kSpec);
    return reinterpret_cast<PyTypeObject*>(g_type);
}

[[noreturn]] void creation_failed() {
    py::PythonError err = py::PythonError::fetch();
    panic(texts::kSliceContainerFailed + py::describe(err));
}

}  // namespace

py::Ref make_slice_container(mem::Block&& block) {
    PyTypeObject* type = container_type();
    if (!type) creation_failed();  // `block` is freed by its owner on unwind
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) creation_failed();
    auto* c = reinterpret_cast<SliceContainer*>(obj);
    c->bytes = block.bytes();
    c->ptr = block.take();
    c->release = mem::release;
    return py::Ref::steal(obj);
}

}  // namespace kiln::npy
