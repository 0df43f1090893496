// The six module functions' entry points (METH_VARARGS | METH_KEYWORDS).
#pragma once

#include <Python.h>

namespace kiln::py {

PyObject* matmul_kernel(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* conv2d(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* relu(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* softmax(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* quantize_int8(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* dequantize_int8(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kiln::py
