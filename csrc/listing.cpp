// Pattern listing: the lazy result of glob.
#include "errors.hpp"
#include "operations.hpp"

namespace {
struct Listing {
    PyObject_HEAD
};
PyType_Slot listing_slots[] = {{0, nullptr}};
}  // namespace

PyType_Spec listing_type_spec = {"corvane.ftp.path.listing", sizeof(Listing), 0, Py_TPFLAGS_DEFAULT,
                                 listing_slots};

PyObject* op_glob(State&, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "FTPPath.glob is not built yet");
    return nullptr;
}
