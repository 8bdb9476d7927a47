// Changes to the remote name space: delete (a file or a whole tree) and mkdir
// (with missing ancestors). Both reach the other operations through the
// object, so every nested call passes through its own retry wrapper.
// delete walks each directory's listing lines itself: only there does a
// symbolic link show as one.
#include "errors.hpp"
#include "line_fields.hpp"
#include "listing.hpp"
#include "operations.hpp"
#include "session.hpp"

namespace {

// client.<method>(P), result dropped.
bool send_with_path(State& st, PyObject* self, PyObject* method, PyObject* p) {
    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    Ref done = Ref::steal(client ? PyObject_CallMethodOneArg(client.get(), method, p) : nullptr);
    return static_cast<bool>(done);
}

// Removes what one listing line names: nothing for a line that names no
// entry, or whose name could reach outside this directory (is_entry_name): it
// is never joined nor sent, and the RMD that follows fails as for any entry
// left behind. A symbolic link (type character `l`) goes by DELE of its own
// name, the text before the last " -> ", so that neither is_dir() nor the
// removal ever follows it out of the tree (a broken one included); any other
// entry by its own delete().
bool delete_listed(State& st, PyObject* self, PyObject* line) {
    if (!check_line(st, self, line)) return false;
    const int kind = PyUnicode_KIND(line);
    const void* data = PyUnicode_DATA(line);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const Py_ssize_t start = ninth_field(kind, data, n);
    if (start < 0) return true;
    const bool link = is_link_line(kind, data);
    Py_ssize_t end = n;
    if (link) {
        const Py_ssize_t at = last_arrow(kind, data, start, n);
        if (at >= 0) end = at;
    }
    if (!is_entry_name(kind, data, start, end)) return true;
    Ref name = Ref::steal(PyUnicode_Substring(line, start, end));
    Ref entry = Ref::steal(name ? PyObject_CallMethodOneArg(self, st.s_join, name.get()) : nullptr);
    if (!entry) return false;
    if (!link) return static_cast<bool>(Ref::steal(PyObject_CallMethodNoArgs(entry.get(), st.s_delete)));
    PathTexts t;
    return path_texts(st, entry.get(), t) && send_with_path(st, self, st.s_delete, t.p.get());
}

// Each entry is removed after the whole listing has arrived, so no transfer
// is open while we send.
bool delete_all_listed(State& st, PyObject* self, PyObject* lines) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
        Ref line = Ref::borrow(PyList_GET_ITEM(lines, i));  // held: removals run Python code
        if (!delete_listed(st, self, line.get())) return false;
    }
    return true;
}

// The listing that glob fetches (is_dir(), LIST P), walked here because
// glob's entries cannot tell a link from the entry it names.
bool delete_entries(State& st, PyObject* self) {
    Ref lines = fetch_listing(st, self);
    return lines && delete_all_listed(st, self, lines.get());
}

// RMD P. Servers that hide dot-files from LIST (vsftpd, ProFTPD and Pure-FTPd
// by default) refuse it while hidden entries are left: those are listed with
// `LIST -a P` (from inside P where the server splits a P holding blanks) and
// removed, and RMD is sent once more. A server that refuses
// `LIST -a` (pyftpdlib) hides nothing, so its first refusal stands.
bool remove_directory(State& st, PyObject* self, PyObject* p) {
    if (send_with_path(st, self, st.s_rmd, p)) return true;
    if (!PyErr_ExceptionMatches(st.error_perm)) return false;
    Caught refusal = Caught::fetch();
    {
        Handling handling(refusal);
        if (!valid_reset(st, self)) return false;
        Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
        Ref list = command("LIST -a", p);
        if (!client || !list) return false;
        Ref lines = list_lines(st, self, client.get(), list.get());
        if (lines && !relist_if_empty(st, self, client.get(), p, "LIST -a", lines)) lines = Ref();
        if (lines) return delete_all_listed(st, self, lines.get()) && send_with_path(st, self, st.s_rmd, p);
        if (!PyErr_ExceptionMatches(st.error_perm)) return false;
        Caught unlisted = Caught::fetch();
        Handling inner(unlisted);
        if (!valid_reset(st, self)) return false;
    }
    refusal.restore();
    return false;
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
    if (send_with_path(st, self, st.s_mkd, p)) return true;
    if (exists || !PyErr_ExceptionMatches(st.error_perm)) return false;
    // Another session may have made it since we looked (threads writing into
    // one new directory): vsftpd and Pure-FTPd then refuse MKD with 550.
    Caught refusal = Caught::fetch();
    {
        Handling handling(refusal);
        int made = truth_of_call(self, st.s_is_dir);
        if (made < 0 && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            made = 0;
        }
        if (made < 0) return false;
        if (made) return valid_reset(st, self);
    }
    refusal.restore();
    return false;
}

constexpr const char directory_note[] = "while deleting the remote directory ";

// Whether `exc` already names a directory of the tree delete: a deeper one's
// note is the one that says where the failure happened.
bool has_directory_note(State& st, PyObject* exc) {
    Ref notes = Ref::steal(PyObject_GetAttr(exc, st.s___notes__));
    if (!notes) {
        PyErr_Clear();
        return false;
    }
    if (!PyList_Check(notes.get())) return false;
    Ref prefix = Ref::steal(PyUnicode_FromString(directory_note));
    if (!prefix) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
        PyObject* note = PyList_GET_ITEM(notes.get(), i);  // PyUnicode_Tailmatch runs no Python code
        if (PyUnicode_Check(note) && PyUnicode_Tailmatch(note, prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1) return true;
    }
    return false;
}

// The pending error of a tree delete passes out as the client raised it (its
// type and message are what callers match), with a note naming the directory
// S and, where the configuration tells, its server. Always returns null.
std::nullptr_t name_the_directory(State& st, PyObject* self, PyObject* s) {
    Caught failure = Caught::fetch();
    if (!failure.is_ordinary() || has_directory_note(st, failure.value())) return failure.restore();
    Ref host;
    {
        Handling handling(failure);  // an interrupt meanwhile passes out with the failure as its context
        if (!server_host(st, self, host)) return nullptr;
    }
    Ref note = Ref::steal(host ? PyUnicode_FromFormat("%s'%U' on %U", directory_note, s, host.get())
                               : PyUnicode_FromFormat("%s'%U'", directory_note, s));
    Ref added = Ref::steal(note ? PyObject_CallMethodOneArg(failure.value(), st.s_add_note, note.get()) : nullptr);
    if (!added) PyErr_Clear();  // out of memory for the note: the failure itself still passes
    return failure.restore();
}

}  // namespace

PyObject* op_delete(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    RecursionLevel level(" while deleting a remote tree");
    if (!level) return nullptr;
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    int is_dir = truth_of_call(self, st.s_is_dir);
    if (is_dir < 0) return nullptr;
    if (!is_dir) return send_with_path(st, self, st.s_delete, t.p.get()) ? Py_NewRef(Py_None) : nullptr;
    if (!delete_entries(st, self) || !remove_directory(st, self, t.p.get()))
        return name_the_directory(st, self, t.s.get());
    Py_RETURN_NONE;
}

PyObject* op_mkdir(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    RecursionLevel level(" while making remote directories");
    if (!level) return nullptr;
    PathTexts t;
    if (!path_texts(st, self, t)) return nullptr;
    if (make_directory(st, self, t.p.get())) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(st.error_perm)) return nullptr;
    Caught refusal = Caught::fetch();
    Handling handling(refusal);
    if (!valid_reset(st, self)) return nullptr;
    return raise_about(PyExc_FileNotFoundError, "Failed to create directory '", t.s.get(), "'.");
}
