// Whole-file transfers: read, write, upload.
#include "errors.hpp"
#include "operations.hpp"

namespace {
PyObject* not_yet(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "FTPPath.%s is not built yet", what);
    return nullptr;
}
struct Sink {
    PyObject_HEAD
};
PyType_Slot sink_slots[] = {{0, nullptr}};
}  // namespace

PyType_Spec sink_type_spec = {"corvane.ftp.path.block_sink", sizeof(Sink), 0, Py_TPFLAGS_DEFAULT, sink_slots};

PyObject* op_read(State&, PyObject* const*) { return not_yet("read"); }
PyObject* op_write(State&, PyObject* const*) { return not_yet("write"); }
PyObject* op_upload(State&, PyObject* const*) { return not_yet("upload"); }
