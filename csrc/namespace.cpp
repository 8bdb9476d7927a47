// Changes to the remote name space: delete, mkdir.
#include "errors.hpp"
#include "operations.hpp"

PyObject* op_delete(State&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "FTPPath.delete is not built yet");
    return nullptr;
}
PyObject* op_mkdir(State&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "FTPPath.mkdir is not built yet");
    return nullptr;
}
