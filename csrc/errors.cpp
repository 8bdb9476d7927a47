#include "errors.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

namespace {

// The lowest addresses of this thread's stack: from `low` up to `floor` lies
// the room that a recursion level and the operations at its leaves may still
// need (a level takes about a kilobyte, a leaf some more). Both zero when the
// extent is unknown.
struct StackEnd {
    std::uintptr_t low = 0, floor = 0;
};

StackEnd own_stack_end() {
    StackEnd end;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return end;
    void* low = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0) {
        end.low = reinterpret_cast<std::uintptr_t>(low);
        end.floor = end.low + std::min<std::size_t>(64 * 1024, size / 4);
    }
    pthread_attr_destroy(&attr);
    return end;
}

// The stack grows down on every platform this builds for. A frame outside
// the thread's own stack (a coroutine's stack of its own) is not judged.
bool stack_nearly_full() {
    thread_local const StackEnd end = own_stack_end();  // looked up once per thread: it reads /proc for the main one
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return end.low <= here && here < end.floor;
}

}  // namespace

RecursionLevel::RecursionLevel(const char* where) {
    if (stack_nearly_full()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s (the thread's stack is nearly full)",
                     where);
        return;
    }
    entered_ = Py_EnterRecursiveCall(where) == 0;
}

Caught Caught::fetch() {
    Caught c;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    c.type_ = Ref::steal(type);
    c.value_ = Ref::steal(value);
    c.traceback_ = Ref::steal(traceback);
    return c;
}

std::nullptr_t Caught::restore() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return nullptr;
}

// The public PyErr_GetHandledException() answers the topmost handled exception
// of the thread, which may belong to a caller (a generator's own entry is
// empty while its caller handles one); written back into the current entry, it
// would stay there. So the current frame's entry itself is saved and restored,
// as the interpreter's own PUSH_EXC_INFO and POP_EXCEPT do.
Handling::Handling(const Caught& caught) {
    if (!caught.value()) return;
    _PyErr_StackItem* entry = PyThreadState_Get()->exc_info;
    outer_ = std::exchange(entry->exc_value, Py_NewRef(caught.value()));
    active_ = true;
}

Handling::~Handling() {
    if (active_) Py_XSETREF(PyThreadState_Get()->exc_info->exc_value, outer_);
}

bool path_texts(State& st, PyObject* path_owner, PathTexts& out) {
    Ref path = Ref::steal(PyObject_GetAttr(path_owner, st.s_path));
    if (!path) return false;
    out.p = Ref::steal(PyObject_CallMethodNoArgs(path.get(), st.s_as_posix));
    out.s = Ref::steal(PyObject_Str(path.get()));
    if (!out.p || !out.s) return false;
    if (!PyUnicode_Check(out.p.get())) {
        PyErr_Format(PyExc_TypeError, "as_posix() returned %.200s, not str", Py_TYPE(out.p.get())->tp_name);
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(out.p.get());
    const int kind = PyUnicode_KIND(out.p.get());
    const void* data = PyUnicode_DATA(out.p.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0 || c == '\r' || c == '\n') {
            raise_about(PyExc_ValueError, "'", out.s.get(),
                        "' contains NUL, CR or LF, which FTP cannot carry.");
            return false;
        }
    }
    return true;
}

bool check_exact(PyObject* value, PyTypeObject* type, const char* name, const char* type_name) {
    if (Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, type_name, Py_TYPE(value)->tp_name);
    return false;
}

std::nullptr_t raise_about(PyObject* exc_type, const char* before, PyObject* s, const char* after) {
    PyErr_Format(exc_type, "%s%U%s", before, s, after);
    return nullptr;
}

bool valid_reset(State& st, PyObject* self) {
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(self, st.s__valid_reset));
    return static_cast<bool>(r);
}

bool require_exists(State& st, PyObject* self, const PathTexts& t) {
    int exists = truth_of_attr(self, st.s_exists);
    if (exists == 0) raise_about(PyExc_FileNotFoundError, "'", t.s.get(), "' does not exist.");
    return exists > 0;
}

int truth_of_attr(PyObject* obj, PyObject* attr) {
    Ref v = Ref::steal(PyObject_GetAttr(obj, attr));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

int truth_of_call(PyObject* obj, PyObject* method) {
    Ref v = Ref::steal(PyObject_CallMethodNoArgs(obj, method));
    return v ? PyObject_IsTrue(v.get()) : -1;
}
