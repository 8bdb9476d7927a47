// Fetching a directory's listing for glob: is_dir(), then one LIST P.
//
// Pure-FTPd answers LIST of a path holding white space with no lines at all,
// and inetutils splits such a path into several, so that glob of a full
// directory would silently yield nothing. For such a path, and only when
// LIST P gave no entry, we list once more from inside the directory and come
// straight back, as the directory probe of `exists` does: servers that
// handle LIST P never see the extra commands.
#include "errors.hpp"

#include <structmember.h>

#include <cstdlib>

#include "line_fields.hpp"
#include "listing.hpp"
#include "session.hpp"

namespace {

// The callback that list_lines hands to retrlines: it appends each line and
// counts the listing's bytes (characters, and one per line for its end), and
// past the cap it raises ListingTooLong instead, so that a server that never
// stops listing cannot take all our memory. ftplib caps each line, not their
// number.
struct LineSink {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* self;   // the directory's path, for the message; owned
    PyObject* lines;  // owned list
    Py_ssize_t used, cap;
    bool over;
};

LineSink* as_line_sink(PyObject* obj) { return reinterpret_cast<LineSink*>(obj); }

// Raises corvane.ftp.limits.ListingTooLong for the directory and its server.
// The module is imported only now: the native module's imports run in a fixed order at load.
std::nullptr_t raise_too_long(State& st, LineSink* sink) {
    Ref path = Ref::steal(PyObject_GetAttr(sink->self, st.s_path));
    Ref s = Ref::steal(path ? PyObject_Str(path.get()) : nullptr);
    if (!s) return nullptr;
    Ref host;
    if (!server_host(st, sink->self, host)) return nullptr;
    Ref where = Ref::steal(host ? PyUnicode_FromFormat("'%U' on %U", s.get(), host.get())
                                : PyUnicode_FromFormat("'%U'", s.get()));
    Ref limits = Ref::steal(where ? PyImport_ImportModule("corvane.ftp.limits") : nullptr);
    Ref cap = Ref::steal(limits ? PyLong_FromSsize_t(sink->cap) : nullptr);
    Ref exc = Ref::steal(cap ? PyObject_CallMethodObjArgs(limits.get(), st.s_listing_too_long, where.get(), cap.get(),
                                                          nullptr)
                             : nullptr);
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

PyObject* line_sink_vectorcall(PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    LineSink* sink = as_line_sink(obj);
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
        PyErr_SetString(PyExc_TypeError, "line_sink() takes exactly one positional argument, a line");
        return nullptr;
    }
    State& st = state_of(Py_TYPE(obj));
    if (sink->over) return raise_too_long(st, sink);
    // A line that is not a str is refused with the directory's name by the walk, after the listing.
    const Py_ssize_t size = PyUnicode_Check(args[0]) ? PyUnicode_GET_LENGTH(args[0]) : 0;
    if (size >= sink->cap - sink->used) {
        sink->over = true;
        return raise_too_long(st, sink);
    }
    sink->used += size + 1;
    return PyList_Append(sink->lines, args[0]) < 0 ? nullptr : Py_NewRef(Py_None);
}

int line_sink_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(as_line_sink(obj)->self);
    Py_VISIT(as_line_sink(obj)->lines);
    return 0;
}

int line_sink_clear(PyObject* obj) {
    Py_CLEAR(as_line_sink(obj)->self);
    Py_CLEAR(as_line_sink(obj)->lines);
    return 0;
}

void line_sink_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    line_sink_clear(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMemberDef line_sink_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(LineSink, vectorcall), READONLY, nullptr},
    // The list, as the bound list.append that this callback replaced showed it.
    {"__self__", T_OBJECT, offsetof(LineSink, lines), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot line_sink_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(line_sink_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(line_sink_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(line_sink_dealloc)},
    {Py_tp_members, line_sink_members},
    {0, nullptr},
};

// The cap on one listing. Unset, it is limits.DEFAULT_LISTING_BYTES, with no
// import; a value that is set is read by corvane.ftp.limits itself, which
// refuses one that is no whole number of bytes.
bool listing_cap(State& st, Py_ssize_t& cap) {
    const char* text = std::getenv("CORVANE_MAX_LISTING_BYTES");
    if (!text || !*text) {
        cap = Py_ssize_t{64} << 20;
        return true;
    }
    Ref limits = Ref::steal(PyImport_ImportModule("corvane.ftp.limits"));
    Ref value = Ref::steal(limits ? PyObject_CallMethodNoArgs(limits.get(), st.s_listing_bytes) : nullptr);
    if (!value) return false;
    int overflow = 0;
    const long long wanted = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (wanted == -1 && PyErr_Occurred()) return false;
    cap = overflow > 0 || wanted > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(wanted);
    return true;
}

}  // namespace

PyType_Spec line_sink_type_spec = {
    "corvane.ftp.path.line_sink",
    sizeof(LineSink),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    line_sink_slots,
};

Ref list_lines(State& st, PyObject* self, PyObject* client, PyObject* command) {
    Py_ssize_t cap = 0;
    if (!listing_cap(st, cap)) return {};
    Ref lines = Ref::steal(PyList_New(0));
    Ref sink = Ref::steal(lines ? PyType_GenericAlloc(st.line_sink_type, 0) : nullptr);
    if (!sink) return {};
    LineSink* s = as_line_sink(sink.get());
    s->vectorcall = line_sink_vectorcall;
    s->self = Py_NewRef(self);
    s->lines = Py_NewRef(lines.get());
    s->cap = cap;
    PyObject* args[] = {client, command, sink.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(st.s_retrlines, args, 3, nullptr));
    if (!done) return {};
    // A client that swallowed the callback's error has not delivered the whole listing.
    if (s->over) return Ref::steal(raise_too_long(st, s));
    return lines;
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

// PWD, CWD P, `list_command`, CWD back. `lines` is replaced only when the
// session got inside P. False with an error set.
bool list_from_inside(State& st, PyObject* self, PyObject* client, PyObject* p, const char* list_command,
                      Ref& lines) {
    Ref saved = Ref::steal(PyObject_CallMethodNoArgs(client, st.s_pwd));
    if (!saved) return give_up(st, self);
    if (!PyUnicode_Check(saved.get()) || PyUnicode_GET_LENGTH(saved.get()) == 0) return true;
    Ref cwd = command("CWD", p);
    if (!cwd) return false;
    Ref entered = Ref::steal(PyObject_CallMethodOneArg(client, st.s_sendcmd, cwd.get()));
    if (!entered) return give_up(st, self);
    if (!starts_with(entered.get(), "2")) return true;

    Ref list = Ref::steal(PyUnicode_FromString(list_command));
    Ref inside = list ? list_lines(st, self, client, list.get()) : Ref{};
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

bool relist_if_empty(State& st, PyObject* self, PyObject* client, PyObject* p, const char* list_command,
                     Ref& lines) {
    if (!holds_space(p)) return true;
    int entries = has_entry(st, self, lines.get());
    return entries > 0 || (entries == 0 && list_from_inside(st, self, client, p, list_command, lines));
}

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
    Ref lines = list_lines(st, self, client.get(), list.get());
    if (lines && !relist_if_empty(st, self, client.get(), t.p.get(), "LIST", lines)) lines = Ref();
    // No retry wrapper surrounds the listing: leave the client usable before
    // the error passes out, as the wrapper would.
    return lines ? std::move(lines) : Ref::steal(settle_and_raise(st, self));
}
