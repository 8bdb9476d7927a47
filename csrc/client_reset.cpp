// The client hook `_reset` and the transfer-stopping callback `interrupt`.
#include "errors.hpp"
#include "operations.hpp"

namespace {

// Local.<method>(self._key_on_thread(), *rest)
bool call_slot(State& st, PyObject* method, PyObject* self, PyObject* value) {
    Ref fn = Ref::steal(PyObject_GetAttr(st.local, method));
    if (!fn) return false;
    Ref key = Ref::steal(PyObject_CallMethodNoArgs(self, st.s__key_on_thread));
    if (!key) return false;
    Ref r = Ref::steal(value ? PyObject_CallFunctionObjArgs(fn.get(), key.get(), value, nullptr)
                             : PyObject_CallOneArg(fn.get(), key.get()));
    return static_cast<bool>(r);
}

// The connection keywords, copied into a fresh dict as `**settings` would.
Ref keywords_from(State& st, PyObject* settings) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return {};
    if (!PyDict_Check(settings)) {
        // Only a missing `keys` means "not a mapping"; any other error of the
        // lookup (KeyboardInterrupt included) passes as it is.
        Ref keys = Ref::steal(PyObject_GetAttr(settings, st.s_keys));
        if (!keys) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s",
                             Py_TYPE(settings)->tp_name);
            }
            return {};
        }
    }
    if (PyDict_Merge(kwargs.get(), settings, 1) < 0) return {};
    return kwargs;
}

// Steps that may fail with an ordinary exception, which _reset then returns.
bool make_and_store(State& st, PyObject* self, PyObject* section) {
    Ref creator = Ref::steal(PyObject_GetAttr(self, st.s__creator));
    if (!creator) return false;
    Ref settings = Ref::steal(PyObject_CallMethodOneArg(self, st.s__read_config, section));
    if (!settings) return false;
    Ref kwargs = keywords_from(st, settings.get());
    if (!kwargs) return false;
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return false;
    Ref client = Ref::steal(PyObject_Call(creator.get(), no_args.get(), kwargs.get()));
    if (!client) return false;
    // Bounded replies and an active mode that takes only the server's
    // connection, on every client whatever factory made it. Imported here, not
    // at load: the module's imports run in a fixed order.
    Ref hardening = Ref::steal(PyImport_ImportModule("corvane.ftp.client"));
    Ref hardened = Ref::steal(hardening ? PyObject_CallMethodOneArg(hardening.get(), st.s_harden, client.get()) : nullptr);
    if (!hardened) return false;

    Ref config = Ref::steal(PyObject_CallMethodNoArgs(st.env_config, st.s_init_configer));
    if (!config) return false;
    Ref pasv = Ref::borrow(Py_True);
    Ref has = Ref::steal(PyObject_CallMethodObjArgs(config.get(), st.s_has_option, section, st.s_pasv, nullptr));
    if (!has) return false;
    int truth = PyObject_IsTrue(has.get());
    if (truth < 0) return false;
    if (truth) {
        pasv = Ref::steal(PyObject_CallMethodObjArgs(config.get(), st.s_getboolean, section, st.s_pasv, nullptr));
        if (!pasv) return false;
    }
    Ref r = Ref::steal(PyObject_CallMethodOneArg(client.get(), st.s_set_pasv, pasv.get()));
    return r && call_slot(st, st.s_setattr, self, client.get());
}

}  // namespace

PyObject* op_reset(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* section = args[1];
    if (!check_exact(section, &PyUnicode_Type, "section", "str")) return nullptr;
    // The old client is dropped, not quit: nothing is sent on it.
    if (!call_slot(st, st.s_delattr, self, nullptr)) return nullptr;
    if (make_and_store(st, self, section)) Py_RETURN_NONE;
    Caught failure = Caught::fetch();
    if (!failure.is_ordinary()) return failure.restore();
    return Py_NewRef(failure.value());
}

PyObject* op_interrupt(State&, PyObject* const*) {
    PyErr_SetString(PyExc_InterruptedError, "Finish!");
    return nullptr;
}
