#include "numpy_interop/api.hpp"

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "py/error.hpp"

namespace kiln::npy {

namespace {
Api g_api;
bool g_loaded = false;
}  // namespace

const Api& api() {
    if (g_loaded) return g_api;
    // A failed import is reported as the module's own failure; an interrupt
    // (or any other exception that is not an import failure) passes through.
    py::Ref module = py::Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
    if (!module) {
        py::clear_expected_error();
        panic(texts::kNumpyImportFailed);
    }
    py::Ref capsule = py::Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) {
        py::clear_expected_error();
        panic(texts::kNumpyCapsuleFailed);
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) {
        py::clear_expected_error();
        panic(texts::kNumpyCapsuleFailed);
    }
    g_api.array_type = static_cast<PyTypeObject*>(table[kArrayType]);
    g_api.descr_from_type = reinterpret_cast<DescrFromTypeFn>(table[kDescrFromType]);
    g_api.new_from_descr = reinterpret_cast<NewFromDescrFn>(table[kNewFromDescr]);
    g_api.equiv_types = reinterpret_cast<EquivTypesFn>(table[kEquivTypes]);
    g_api.set_base_object = reinterpret_cast<SetBaseObjectFn>(table[kSetBaseObject]);
    // The table lives in the module, which stays referenced for the life of
    // the process.
    module.release();
    capsule.release();
    g_loaded = true;
    return g_api;
}

}  // namespace kiln::npy
