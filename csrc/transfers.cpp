// Whole-file transfers: read, write, upload.
//
// All three reach other operations through the object (`self.exists`,
// `self.parent.mkdir()`, `self.join(name).upload(...)`), so that each nested
// call passes through its own retry wrapper and any subclass override.
#include "block_sink.hpp"
#include "errors.hpp"
#include "local_tree.hpp"
#include "operations.hpp"
#include "session.hpp"

namespace {

bool make_parent(State& st, PyObject* self) {
    Ref parent = Ref::steal(PyObject_GetAttr(self, st.s_parent));
    Ref made = Ref::steal(parent ? PyObject_CallMethodNoArgs(parent.get(), st.s_mkdir) : nullptr);
    return static_cast<bool>(made);
}

// client.storbinary("STOR " + P, stream()), the client read before the
// command is formed and the stream made after it.
template <typename MakeStream>
bool store(State& st, PyObject* self, PyObject* p, MakeStream stream) {
    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    Ref stor = client ? command("STOR", p) : Ref();
    Ref source = stor ? stream() : Ref();
    if (!source) return false;
    Ref done = Ref::steal(
        PyObject_CallMethodObjArgs(client.get(), st.s_storbinary, stor.get(), source.get(), nullptr));
    return static_cast<bool>(done);
}

// The whole file, or null with the error of the retrieval set.
Ref retrieve(State& st, PyObject* self, PyObject* p) {
    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    Ref retr = client ? command("RETR", p) : Ref();
    Ref sink = retr ? new_block_sink(st) : Ref();
    if (!sink) return {};
    Ref done = Ref::steal(
        PyObject_CallMethodObjArgs(client.get(), st.s_retrbinary, retr.get(), sink.get(), nullptr));
    if (!done) {
        drop_blocks(sink.get());
        return {};
    }
    return take_blocks(sink.get());
}

// The `with open(local, "rb")` block around the store of one local file.
bool store_local_file(State& st, PyObject* self, PyObject* local, PyObject* p) {
    // Looked up at each call, as Python code finds `open`, so that a
    // replaced builtins.open is the one used.
    // Owned: the call may rebind builtins.open and so free a C function.
    Ref open = Ref::borrow(PyDict_GetItemWithError(PyEval_GetBuiltins(), st.s_open));
    if (!open) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'open' is not defined");
        return false;
    }
    Ref file = Ref::steal(PyObject_CallFunction(open.get(), "Os", local, "rb"));
    Ref local_file = Ref::steal(file ? PyObject_CallMethodNoArgs(file.get(), st.s___enter__) : nullptr);
    if (!local_file) return false;
    if (store(st, self, p, [&] { return Ref::borrow(local_file.get()); })) {
        Ref left = Ref::steal(
            PyObject_CallMethodObjArgs(file.get(), st.s___exit__, Py_None, Py_None, Py_None, nullptr));
        return static_cast<bool>(left);
    }
    // The failure passes on after the file is closed, whatever __exit__ answers;
    // an error of the close itself takes its place, with it as context.
    Caught failure = Caught::fetch();
    {
        Handling handling(failure);
        PyObject* error = failure.value();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error));
        Ref traceback = Ref::steal(PyException_GetTraceback(error));
        Ref left = Ref::steal(PyObject_CallMethodObjArgs(file.get(), st.s___exit__, type, error,
                                                         traceback ? traceback.get() : Py_None, nullptr));
        if (!left) return false;
    }
    failure.restore();
    return false;
}

bool upload_file(State& st, PyObject* self, PyObject* local, PyObject* local_path, PyObject* p) {
    if (!check_uploadable_file(local, local_path)) return false;
    return make_parent(st, self) && store_local_file(st, self, local, p);
}

// Each entry through `self.join(name).upload(text)`: a full call, wrapper included.
bool upload_tree(State& st, PyObject* self, PyObject* local, PyObject* local_path) {
    if (!check_no_loop(st, local, local_path)) return false;
    Ref made = Ref::steal(PyObject_CallMethodNoArgs(self, st.s_mkdir));
    Ref entries = Ref::steal(made ? PyObject_CallMethodNoArgs(local, st.s_iterdir) : nullptr);
    Ref it = Ref::steal(entries ? PyObject_GetIter(entries.get()) : nullptr);
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        Ref name = Ref::steal(PyObject_GetAttr(item.get(), st.s_name));
        Ref child = Ref::steal(name ? PyObject_CallMethodOneArg(self, st.s_join, name.get()) : nullptr);
        Ref text = Ref::steal(child ? PyObject_CallMethodNoArgs(item.get(), st.s_as_posix) : nullptr);
        Ref done = Ref::steal(text ? PyObject_CallMethodOneArg(child.get(), st.s_upload, text.get()) : nullptr);
        if (!done) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* op_read(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    if (!require_exists(st, self, t)) return nullptr;
    Ref content = retrieve(st, self, t.p.get());
    if (content || !PyErr_ExceptionMatches(st.error_perm)) return content.release();
    Caught refusal = Caught::fetch();
    Handling handling(refusal);
    if (!valid_reset(st, self)) return nullptr;
    return raise_about(PyExc_TypeError, "'", t.s.get(), "' is not a file.");
}

PyObject* op_write(State& st, PyObject* const* args) {
    PyObject *self = args[0], *data = args[1];
    if (!check_exact(data, &PyBytes_Type, "data", "bytes")) return nullptr;
    PathTexts t;
    if (!path_texts(st, self, t) || !make_parent(st, self)) return nullptr;
    // BytesIO shares the bytes object's buffer instead of copying it.
    auto stream = [&] { return Ref::steal(PyObject_CallMethodOneArg(st.io, st.s_BytesIO, data)); };
    if (!store(st, self, t.p.get(), stream)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* op_upload(State& st, PyObject* const* args) {
    PyObject *self = args[0], *local_path = args[1];
    if (!check_exact(local_path, &PyUnicode_Type, "local_path", "str")) return nullptr;
    RecursionLevel level(" while uploading a local tree");
    if (!level) return nullptr;
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    Ref local = Ref::steal(PyObject_CallMethodOneArg(st.pathlib, st.s_Path, local_path));
    if (!local) return nullptr;
    int is_dir = truth_of_call(local.get(), st.s_is_dir);
    if (is_dir < 0) return nullptr;
    bool done = is_dir ? upload_tree(st, self, local.get(), local_path)
                       : upload_file(st, self, local.get(), local_path, t.p.get());
    if (!done) return nullptr;
    Py_RETURN_NONE;
}
