#include "numpy_interop/api.hpp"

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "lib/pyref.hpp"

namespace kiln::npy {

namespace {
Api g_api;
bool g_loaded = false;
}  // namespace

const Api& api() {
    if (g_loaded) return g_api;
    PyObject* module = PyImport_ImportModule("numpy.core.multiarray");
    if (!module) {
        PyErr_Clear();
        panic(texts::kNumpyImportFailed);
    }
    PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
    if (!capsule) {
        PyErr_Clear();
        Py_DECREF(module);
        panic(texts::kNumpyCapsuleFailed);
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
    if (!table) {
        PyErr_Clear();
        Py_DECREF(capsule);
        Py_DECREF(module);
        panic(texts::kNumpyCapsuleFailed);
    }
    // The module and the capsule stay referenced for the life of the process.
    g_api.array_type = static_cast<PyTypeObject*>(table[kArrayType]);
    g_api.descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType]);
    g_api.new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescr]);
    g_api.equiv_types = reinterpret_cast<EquivTypesFn>(table[kEquivTypes]);
    g_api.set_base_object = reinterpret_cast<SetBaseObjectFn>(table[kSetBaseObject]);
    g_loaded = true;
    return g_api;
}

}  // namespace kiln::npy
