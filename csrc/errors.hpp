// Error plumbing written once: catching an exception the way an `except`
// clause does, raising a new one while it is handled (so it becomes the new
// error's __context__, with no __cause__), and the module's messages.
#pragma once
#include "state.hpp"

// The exception taken off the error indicator, as an `except` clause sees it.
class Caught {
public:
    // Takes the pending exception; its traceback is attached to it, so that a
    // later __context__ still shows where it came from.
    static Caught fetch();

    bool matches(PyObject* exc_type) const {
        return PyErr_GivenExceptionMatches(type_.get(), exc_type) != 0;
    }
    bool is_ordinary() const { return matches(PyExc_Exception); }
    PyObject* value() const { return value_.get(); }
    // Raises it again, unchanged (a bare `raise`). Returns null for the caller.
    std::nullptr_t restore();

private:
    Ref type_, value_, traceback_;
};

// While alive, `caught` is the exception being handled, as inside its
// `except` block: what is raised meanwhile gets it as __context__. A Caught
// that holds nothing (no error happened) changes nothing.
class Handling {
public:
    explicit Handling(const Caught& caught);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* outer_ = nullptr;  // the entry's own value before, owned; may be null
    bool active_ = false;
};

// One level of a native recursion (mkdir of a missing parent, delete and
// upload of a tree): a deep tree raises RecursionError instead of overflowing
// the thread's stack. Each level is counted against the recursion limit, as a
// Python frame is; that alone is not enough, since a level takes far more C
// stack than a Python frame (a 256 KiB thread stack overflowed at 360 levels
// of mkdir, below the default limit), so the room left on the stack is checked too.
class RecursionLevel {
public:
    explicit RecursionLevel(const char* where);
    ~RecursionLevel() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionLevel(const RecursionLevel&) = delete;
    RecursionLevel& operator=(const RecursionLevel&) = delete;
    // False with RecursionError set when the limit is reached.
    explicit operator bool() const { return entered_; }

private:
    bool entered_ = false;
};

// The texts of a path object: P goes into FTP commands, S into messages.
struct PathTexts {
    Ref p;
    Ref s;
};

// P and S of `path_owner.path`. FTP cannot carry NUL, CR or LF (a NUL cuts a
// command short on many servers: "DELE a<NUL>.bak" removes "a"), so a path
// holding one is refused with ValueError before anything is sent.
bool path_texts(State& st, PyObject* path_owner, PathTexts& out);

// "Argument 'NAME' has incorrect type (expected TYPE, got GOT)" unless `value`
// is exactly of `type`. Returns false with the TypeError set.
bool check_exact(PyObject* value, PyTypeObject* type, const char* name, const char* type_name);

// Raises `exc_type` with `before` + S + `after`; always returns null.
std::nullptr_t raise_about(PyObject* exc_type, const char* before, PyObject* s, const char* after);

// Calls self._valid_reset(); false if it raised.
bool valid_reset(State& st, PyObject* self);

// Reads `self.exists`; false, with FileNotFoundError "'S' does not exist." or
// the error of the check itself set, unless the path exists.
bool require_exists(State& st, PyObject* self, const PathTexts& t);

// Truth of `self.<attr>` (a property such as `exists`): 1, 0, or -1 on error.
int truth_of_attr(PyObject* obj, PyObject* attr);

// Truth of `self.<method>()`: 1, 0, or -1 on error.
int truth_of_call(PyObject* obj, PyObject* method);
