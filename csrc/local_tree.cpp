// Local-side guards of upload: see local_tree.hpp.
//
// Which directories are "above" a directory on its own path? A walk descends
// only by names that a listing yields, never by ".", "..", or an empty name,
// so every textual ancestor of the path, up to the first ".." component,
// contains it by a chain of listed names: walking that ancestor reaches the
// directory, and a directory that is also such an ancestor is reached again
// and again. These ancestors are the directories of the enclosing upload calls
// and, above the top call, the directories whose walk leads down to it; a link
// to any of them is a loop. Reading them off the path keeps the check free of
// state, so nothing need travel through the Python wrappers of nested calls.
#include "local_tree.hpp"

#include "gil.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace {

// stat(2) of what a path-like names, following links, as os.stat does it:
// false with the OSError naming the path set, or the ValueError of a path the
// system cannot take (a NUL).
bool local_stat(PyObject* path_like, struct stat& out) {
    Ref text = Ref::steal(PyOS_FSPath(path_like));
    PyObject* encoded = nullptr;
    if (!text || !PyUnicode_FSConverter(text.get(), &encoded)) return false;
    Ref owner = Ref::steal(encoded);
    int failed;
    {
        WithoutGil unlocked;
        failed = stat(PyBytes_AS_STRING(encoded), &out);
    }
    if (failed) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
    return !failed;
}

// `message` is a new str, or null with its error set. (A Python string, not a
// std::string: a std::bad_alloc must never unwind through the interpreter.)
bool raise_os_error(int code, Ref message, PyObject* path) {
    if (!message) return false;
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iOO", code, message.get(), path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// 1 when some ancestor of `local` on its own path is the directory `own`,
// 0 when none is, -1 on error.
int has_itself_above(State& st, PyObject* local, const struct stat& own) {
    Ref child = Ref::borrow(local);
    for (;;) {
        Ref name = Ref::steal(PyObject_GetAttr(child.get(), st.s_name));
        if (!name) return -1;
        if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "..") == 0) return 0;
        Ref parent = Ref::steal(PyObject_GetAttr(child.get(), st.s_parent));
        if (!parent) return -1;
        int top = PyObject_RichCompareBool(parent.get(), child.get(), Py_EQ);  // "/" and "." are their own parents
        if (top != 0) return top < 0 ? -1 : 0;
        struct stat above;
        if (!local_stat(parent.get(), above)) return -1;
        if (same_file(above, own)) return 1;
        child = std::move(parent);
    }
}

const char* kind_of(mode_t mode) {
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    return "not a regular file";
}

}  // namespace

bool check_no_loop(State& st, PyObject* local, PyObject* local_path) {
    struct stat own;
    if (!local_stat(local, own)) return false;
    int loop = has_itself_above(st, local, own);
    if (loop <= 0) return loop == 0;
    return raise_os_error(
        ELOOP, Ref::steal(PyUnicode_FromString("Symbolic link loop: the directory is one of its own ancestors")),
        local_path);
}

bool check_uploadable_file(PyObject* local, PyObject* local_path) {
    struct stat found;
    if (!local_stat(local, found)) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
        PyErr_Clear();
        return true;
    }
    if (S_ISREG(found.st_mode)) return true;
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "Only directories and regular files can be uploaded; this is %s", kind_of(found.st_mode)));
    return raise_os_error(EINVAL, std::move(message), local_path);
}
