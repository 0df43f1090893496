// The module's entry point: creates the module object once per process and
// registers the six functions, their doc strings and __all__.
#include <Python.h>

#include <atomic>
#include <string>

#include "core/errors.hpp"
#include "core/texts.hpp"
#include "lib/errors.hpp"
#include "lib/functions.hpp"

namespace kiln::py {

namespace {

std::atomic<bool> g_initialized{false};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_kiln_kernels",
    "Register Python module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Doc strings carry no signature line, so the functions have no
// __text_signature__.
PyMethodDef g_functions[] = {
    {"matmul_kernel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(matmul_kernel)),
     METH_VARARGS | METH_KEYWORDS,
     "Matrix multiplication kernel.\n\nComputes the matrix multiplication of two 2D arrays."},
    {"conv2d", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(conv2d)),
     METH_VARARGS | METH_KEYWORDS,
     "2D convolution kernel.\n\nComputes the 2D convolution of an input tensor with a kernel."},
    {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu)),
     METH_VARARGS | METH_KEYWORDS,
     "ReLU activation function.\n\nApplies the rectified linear unit function element-wise: max(0, x)"},
    {"softmax", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(softmax)),
     METH_VARARGS | METH_KEYWORDS,
     "Softmax activation function.\n\nApplies the softmax function along the specified axis."},
    {"quantize_int8", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quantize_int8)),
     METH_VARARGS | METH_KEYWORDS,
     "Quantize a matrix to INT8.\n\nQuantizes a floating-point matrix to INT8 format."},
    {"dequantize_int8", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dequantize_int8)),
     METH_VARARGS | METH_KEYWORDS,
     "Dequantize an INT8 matrix.\n\nDequantizes an INT8 matrix back to floating point."},
};

// Adds one function to the module and its name to __all__.
void add_function(PyObject* module, PyMethodDef* def) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) throw_fetched();
    Ref name_str = Ref::steal(PyUnicode_DecodeUTF8(module_name, static_cast<Py_ssize_t>(std::char_traits<char>::length(module_name)), "strict"));
    if (!name_str) {
        PythonError err = PythonError::fetch();
        panic("PyModule_GetName expected to return utf8: " + to_text(err.value.get(), "invalid utf-8"));
    }
    Ref func = Ref::steal(PyCFunction_NewEx(def, module, name_str.get()));
    if (!func) throw_fetched();

    Ref name = Ref::steal(PyObject_GetAttrString(func.get(), "__name__"));
    if (!name) throw_fetched();
    if (!PyUnicode_Check(name.get())) {
        throw_error(PyExc_TypeError, "'" + type_qualname(Py_TYPE(name.get())) + texts::kNotString);
    }

    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) throw_fetched();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_fetched();
    }
    if (!PyList_Check(all.get())) {
        throw_error(PyExc_TypeError, "'" + type_qualname(Py_TYPE(all.get())) + texts::kNotList);
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PythonError err = PythonError::fetch();
        err.normalize();
        panic("could not append __name__ to __all__: " + to_text(err.value.get(), "unknown error"));
    }
    if (PyObject_SetAttr(module, name.get(), func.get()) < 0) throw_fetched();
}

PyObject* init_module() {
    Ref module = Ref::steal(PyModule_Create2(&g_module, PYTHON_ABI_VERSION));
    if (!module) throw_fetched();
    if (g_initialized.exchange(true)) {
        throw_error(PyExc_ImportError, texts::kInitialisedTwice);
    }
    for (PyMethodDef& def : g_functions) add_function(module.get(), &def);
    return module.release();
}

}  // namespace

}  // namespace kiln::py

PyMODINIT_FUNC PyInit__kiln_kernels(void) {
    return kiln::py::call_bracket([] { return kiln::py::init_module(); });
}
