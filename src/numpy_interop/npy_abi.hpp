// The few pieces of NumPy's C interface this module uses, declared here so
// that the module needs no NumPy at build time and never links against it.
// The function table is taken at run time from NumPy's API capsule; the
// indices and the array-object layout below are part of NumPy's stable ABI
// (unchanged from NumPy 1.x to 2.x).
#pragma once

#include <Python.h>

namespace kiln::npy {

using npy_intp = Py_ssize_t;

// Indices into the API table.
inline constexpr int kArrayType = 2;         // PyTypeObject PyArray_Type
inline constexpr int kDescrFromType = 45;    // PyArray_Descr* (int typenum)
inline constexpr int kNewFromDescr = 94;     // PyObject* (PyTypeObject*, descr, nd, dims, strides, data, flags, obj)
inline constexpr int kEquivTypes = 182;      // npy_bool (descr, descr)
inline constexpr int kSetBaseObject = 282;   // int (PyArrayObject*, PyObject*)

// Element type numbers.
inline constexpr int kByte = 1;    // int8
inline constexpr int kFloat = 11;  // float32

inline constexpr int kArrayWriteable = 0x0400;

// The public head of every NumPy array object.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int,
                                     PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

}  // namespace kiln::npy
