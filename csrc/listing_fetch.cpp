// Fetching a directory's listing for glob: is_dir(), then one LIST P.
//
// Pure-FTPd answers LIST of a path holding white space with no lines at all,
// and inetutils splits such a path into several, so that glob of a full
// directory would silently yield nothing. For such a path, and only when
// LIST P gave no entry, we list once more from inside the directory and come
// straight back, as the directory probe of `exists` does: servers that
// handle LIST P never see the extra commands.
#include "errors.hpp"
#include "line_fields.hpp"
#include "listing.hpp"
#include "session.hpp"

Ref list_lines(State& st, PyObject* client, PyObject* command) {
    Ref lines = Ref::steal(PyList_New(0));
    Ref append = Ref::steal(lines ? PyObject_GetAttr(lines.get(), st.s_append) : nullptr);
    if (!append) return {};
    PyObject* args[] = {client, command, append.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(st.s_retrlines, args, 3, nullptr));
    return done ? std::move(lines) : Ref{};
}

namespace {

bool holds_space(PyObject* text) {
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i)
        if (Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(text, i))) return true;
    return false;
}

// 1 if some line has the nine fields of an entry, 0 if none, -1 on error.
int has_entry(State& st, PyObject* self, PyObject* lines) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
        Ref line = Ref::borrow(PyList_GET_ITEM(lines, i));  // owned: see walk in listing.cpp
        if (!check_line(st, self, line.get())) return -1;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(line.get());
        if (ninth_field(PyUnicode_KIND(line.get()), PyUnicode_DATA(line.get()), n) >= 0) return 1;
    }
    return 0;
}

// After a permanent refusal of PWD or CWD P the second listing is given up,
// the first one stands, and the refusal is settled with _valid_reset().
// Any other error stays set; false then.
bool give_up(State& st, PyObject* self) {
    if (!PyErr_ExceptionMatches(st.error_perm)) return false;
    Caught refusal = Caught::fetch();
    Handling handling(refusal);
    return valid_reset(st, self);
}

// PWD, CWD P, LIST, CWD back. `lines` is replaced only when the session got
// inside P. False with an error set.
bool list_from_inside(State& st, PyObject* self, PyObject* client, PyObject* p, Ref& lines) {
    Ref saved = Ref::steal(PyObject_CallMethodNoArgs(client, st.s_pwd));
    if (!saved) return give_up(st, self);
    if (!PyUnicode_Check(saved.get()) || PyUnicode_GET_LENGTH(saved.get()) == 0) return true;
    Ref cwd = command("CWD", p);
    if (!cwd) return false;
    Ref entered = Ref::steal(PyObject_CallMethodOneArg(client, st.s_sendcmd, cwd.get()));
    if (!entered) return give_up(st, self);
    if (!starts_with(entered.get(), "2")) return true;

    Ref list = Ref::steal(PyUnicode_FromString("LIST"));
    Ref inside = list ? list_lines(st, client, list.get()) : Ref{};
    // A failed listing still goes back first; its error passes out after,
    // or as the context of an error of the way back.
    Caught failure;
    if (!inside) failure = Caught::fetch();
    {
        Handling handling(failure);
        if (!return_to(st, self, client, saved.get())) return false;
    }
    if (!inside) {
        failure.restore();
        return false;
    }
    lines = std::move(inside);
    return true;
}

}  // namespace

bool check_line(State& st, PyObject* self, PyObject* line) {
    if (PyUnicode_Check(line)) return true;
    Ref path = Ref::steal(PyObject_GetAttr(self, st.s_path));
    if (path)
        PyErr_Format(PyExc_TypeError, "LIST of '%S' delivered a line of type %.200s, not str", path.get(),
                     Py_TYPE(line)->tp_name);
    return false;
}

Ref fetch_listing(State& st, PyObject* self) {
    PathTexts t;
    if (!path_texts(st, self, t)) return {};
    int is_dir = truth_of_call(self, st.s_is_dir);
    if (is_dir < 0) return {};
    if (!is_dir) return Ref::steal(raise_about(PyExc_TypeError, "'", t.s.get(), "' is not a directory."));

    Ref client = Ref::steal(PyObject_GetAttr(self, st.s_client));
    Ref list = command("LIST", t.p.get());
    if (!client || !list) return {};
    Ref lines = list_lines(st, client.get(), list.get());
    if (lines && holds_space(t.p.get())) {
        int entries = has_entry(st, self, lines.get());
        if (entries < 0 || (entries == 0 && !list_from_inside(st, self, client.get(), t.p.get(), lines)))
            lines = Ref();
    }
    // No retry wrapper surrounds the listing: leave the client usable before
    // the error passes out, as the wrapper would.
    return lines ? std::move(lines) : Ref::steal(settle_and_raise(st, self));
}
