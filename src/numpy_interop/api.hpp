// NumPy's C API table, obtained on first use from the capsule of
// numpy.core.multiarray (importable without warnings on NumPy 1.x and 2.x).
#pragma once

#include "numpy_interop/npy_abi.hpp"

namespace kiln::npy {

struct Api {
    PyTypeObject* array_type;
    DescrFromTypeFn descr_from_type;
    NewFromDescrFn new_from_descr;
    EquivTypesFn equiv_types;
    SetBaseObjectFn set_base_object;
};

// The table; imports NumPy on the first call. An import failure is an
// internal failure ("Failed to import NumPy module" or "Failed to get NumPy
// API capsule"), and the next call tries again.
const Api& api();

}  // namespace kiln::npy
