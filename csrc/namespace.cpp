// Changes to the remote name space: delete (a file or a whole tree) and mkdir
// (with missing ancestors). Both reach the other operations through the
// object, so every nested call passes through its own retry wrapper.
#include "errors.hpp"
#include "operations.hpp"

namespace {

// client.<method>(P), result dropped.
bool send_with_path(State& st, PyObject* self, PyObject* method, PyObject* p) {
    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    Ref done = Ref::steal(client ? PyObject_CallMethodOneArg(client.get(), method, p) : nullptr);
    return static_cast<bool>(done);
}

// Each entry is removed before the next is requested: the listing is held
// whole by then, so no transfer is open while we send.
bool delete_entries(State& st, PyObject* self) {
    Ref entries = Ref::steal(PyObject_CallMethodNoArgs(self, st.s_glob));
    Ref it = Ref::steal(entries ? PyObject_GetIter(entries.get()) : nullptr);
    if (!it) return false;
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref done = Ref::steal(PyObject_CallMethodNoArgs(entry.get(), st.s_delete));
        if (!done) return false;
    }
    return !PyErr_Occurred();
}

// The text of the parent's path, as commands would carry it.
Ref parent_text(State& st, PyObject* self) {
    Ref parent = Ref::steal(PyObject_GetAttr(self, st.s_parent));
    Ref path = Ref::steal(parent ? PyObject_GetAttr(parent.get(), st.s_path) : nullptr);
    return Ref::steal(path ? PyObject_CallMethodNoArgs(path.get(), st.s_as_posix) : nullptr);
}

bool is_root_or_here(PyObject* text) {
    return PyUnicode_Check(text) && (PyUnicode_CompareWithASCIIString(text, ".") == 0 ||
                                     PyUnicode_CompareWithASCIIString(text, "/") == 0);
}

// Makes the missing ancestors, top down, then this directory unless it is there.
bool make_directory(State& st, PyObject* self, PyObject* p) {
    Ref q = parent_text(st, self);
    if (!q) return false;
    if (!is_root_or_here(q.get())) {
        Ref parent = Ref::steal(PyObject_GetAttr(self, st.s_parent));
        if (!parent) return false;
        int there = truth_of_attr(parent.get(), st.s_exists);
        if (there < 0) return false;
        if (!there) {
            Ref again = Ref::steal(PyObject_GetAttr(self, st.s_parent));
            Ref made = Ref::steal(again ? PyObject_CallMethodNoArgs(again.get(), st.s_mkdir) : nullptr);
            if (!made) return false;
        }
    }
    int exists = truth_of_attr(self, st.s_exists);
    if (exists < 0) return false;
    if (exists) {
        int is_dir = truth_of_call(self, st.s_is_dir);
        if (is_dir < 0) return false;
        if (is_dir) return true;
    }
    return send_with_path(st, self, st.s_mkd, p);
}

}  // namespace

PyObject* op_delete(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    int is_dir = truth_of_call(self, st.s_is_dir);
    if (is_dir < 0) return nullptr;
    if (is_dir && !delete_entries(st, self)) return nullptr;
    if (!send_with_path(st, self, is_dir ? st.s_rmd : st.s_delete, t.p.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* op_mkdir(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    if (make_directory(st, self, t.p.get())) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(st.error_perm)) return nullptr;
    Caught refusal = Caught::fetch();
    Handling handling(refusal);
    if (!valid_reset(st, self)) return nullptr;
    return raise_about(PyExc_FileNotFoundError, "Failed to create directory '", t.s.get(), "'.");
}
