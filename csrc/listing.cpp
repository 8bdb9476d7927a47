// Pattern listing: glob and its lazy result, a native iterator that callers
// treat as a generator (it is registered as collections.abc.Generator).
//
// Calling glob checks the pattern, compiles it and sends nothing. The first
// request fetches the whole listing (listing_fetch.cpp); each request then
// walks on to the next line whose ninth field matches and delivers
// self.join(name). A line whose name could reach outside the directory
// (is_entry_name in line_fields.hpp) is passed over. Lines are split and
// matched in place, on the str's own storage: only a name that is delivered
// becomes a Python object.
#include <new>

#include "errors.hpp"
#include "line_fields.hpp"
#include "listing.hpp"
#include "name_pattern.hpp"
#include "operations.hpp"

namespace {

enum class Phase : unsigned char { created, walking, finished };  // created is 0: the allocator zero-fills

struct Listing {
    PyObject_HEAD
    PyObject* self;        // the directory's FTPPath
    PyObject* lines;       // the whole listing, once fetched
    NamePattern* pattern;  // owned
    Py_ssize_t next_line;
    Phase phase;
    bool running;  // a request is under way; re-entry is refused, as a generator refuses it
};

Listing* as_listing(PyObject* obj) { return reinterpret_cast<Listing*>(obj); }

PyObject* already_executing() {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
}

// The end, for good: the lines go at once, as a finished generator's frame does.
void finish(Listing* it) {
    it->phase = Phase::finished;
    Py_CLEAR(it->lines);
}

// The next matching entry, or null: exhausted (no error set) or failed.
PyObject* walk(State& st, Listing* it) {
    while (it->next_line < PyList_GET_SIZE(it->lines)) {
        // Owned: check_line may run Python code, and the client that filled the
        // list may still hold its append method and empty it.
        Ref held = Ref::borrow(PyList_GET_ITEM(it->lines, it->next_line++));
        PyObject* line = held.get();
        if (!check_line(st, it->self, line)) return nullptr;
        const int kind = PyUnicode_KIND(line);
        const void* data = PyUnicode_DATA(line);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
        const Py_ssize_t start = ninth_field(kind, data, n);
        if (start < 0 || !is_entry_name(kind, data, start, n)) continue;
        // A link is delivered with its " -> target" text, as listed: its own name must keep the rule too.
        if (is_link_line(kind, data)) {
            const Py_ssize_t arrow = last_arrow(kind, data, start, n);
            if (arrow >= 0 && !is_entry_name(kind, data, start, arrow)) continue;
        }
        if (!it->pattern->matches(kind, data, start, n)) continue;
        Ref name = Ref::steal(PyUnicode_Substring(line, start, n));
        return name ? PyObject_CallMethodOneArg(it->self, st.s_join, name.get()) : nullptr;
    }
    return nullptr;
}

PyObject* advance(Listing* it) {
    State& st = state_of(Py_TYPE(it));
    if (it->phase == Phase::created) {
        Ref lines = fetch_listing(st, it->self);
        if (!lines) return nullptr;
        it->lines = lines.release();
        it->phase = Phase::walking;
    }
    return walk(st, it);
}

PyObject* listing_next(PyObject* obj) {
    Listing* it = as_listing(obj);
    if (it->phase == Phase::finished) return nullptr;
    if (it->running) return already_executing();
    it->running = true;
    PyObject* entry = advance(it);
    it->running = false;
    if (!entry) finish(it);
    return entry;
}

PyObject* listing_send(PyObject* obj, PyObject* value) {
    Listing* it = as_listing(obj);
    if (it->running) return already_executing();
    if (it->phase == Phase::created && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* entry = listing_next(obj);
    if (!entry && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return entry;
}

// throw(type[, value[, traceback]]) with a generator's argument rules. An
// argument that cannot be raised is refused and the iterator goes on; any
// other throw ends it and raises what was thrown, as a generator with no
// handler does.
PyObject* listing_throw(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd", nargs < 1 ? "at least" : "at most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : nullptr;
    PyObject* traceback = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Ref t = Ref::borrow(type), v = Ref::borrow(value), tb = Ref::borrow(traceback);
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        v = Ref::borrow(type);
        t = Ref::borrow(PyExceptionInstance_Class(type));
        if (!tb) tb = Ref::steal(PyException_GetTraceback(type));
    } else if (!PyExceptionClass_Check(type)) {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    Listing* it = as_listing(obj);
    if (it->running) return already_executing();
    finish(it);
    PyObject *raw_type = t.release(), *raw_value = v.release(), *raw_tb = tb.release();
    if (PyExceptionClass_Check(raw_type)) PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    PyErr_Restore(raw_type, raw_value, raw_tb);
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return nullptr;
    // As a generator does (PEP 479): a StopIteration let out as it is would
    // look like the normal end of this iterator to `yield from` and its kin.
    Caught stop = Caught::fetch();
    {
        Handling handling(stop);
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    }
    Caught raised = Caught::fetch();
    PyException_SetCause(raised.value(), Py_NewRef(stop.value()));
    return raised.restore();
}

PyObject* listing_close(PyObject* obj, PyObject*) {
    Listing* it = as_listing(obj);
    if (it->running) return already_executing();
    finish(it);
    Py_RETURN_NONE;
}

int listing_traverse(PyObject* obj, visitproc visit, void* arg) {
    Listing* it = as_listing(obj);
    Py_VISIT(Py_TYPE(obj));
    Py_VISIT(it->self);
    Py_VISIT(it->lines);
    return 0;
}

int listing_clear(PyObject* obj) {
    Listing* it = as_listing(obj);
    it->phase = Phase::finished;  // a later request must not reach the cleared fields
    Py_CLEAR(it->self);
    Py_CLEAR(it->lines);
    return 0;
}

void listing_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    listing_clear(obj);
    delete as_listing(obj)->pattern;
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef listing_methods[] = {
    {"send", listing_send, METH_O,
     "send(value) -> the next entry, or StopIteration; `value` must be None at the start and is ignored."},
    // Through void (*)(): a fast-call method is stored in the PyCFunction slot.
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(listing_throw)), METH_FASTCALL,
     "throw(type[, value[, traceback]]) -> raise the exception here and end the listing."},
    {"close", listing_close, METH_NOARGS, "close() -> end the listing; nothing more is sent or delivered."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot listing_slots[] = {
    {Py_tp_doc, const_cast<char*>("The entries of a remote directory matching a pattern, fetched on the "
                                  "first request and delivered one at a time.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(listing_next)},
    {Py_tp_methods, listing_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(listing_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(listing_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(listing_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec listing_type_spec = {"corvane.ftp.path.listing", sizeof(Listing), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                     Py_TPFLAGS_IMMUTABLETYPE,
                                 listing_slots};

int register_listing_type(PyTypeObject* type) {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    Ref generator = Ref::steal(abc ? PyObject_GetAttrString(abc.get(), "Generator") : nullptr);
    Ref done = Ref::steal(generator ? PyObject_CallMethod(generator.get(), "register", "O", type) : nullptr);
    return done ? 0 : -1;
}

PyObject* op_glob(State& st, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* pattern = args[1];
    if (!check_exact(pattern, &PyUnicode_Type, "pattern", "str")) return nullptr;
    Ref obj = Ref::steal(PyType_GenericAlloc(st.listing_type, 0));
    if (!obj) return nullptr;
    Listing* it = as_listing(obj.get());
    try {
        it->pattern = new NamePattern(pattern);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    it->self = Py_NewRef(self);
    return obj.release();
}
