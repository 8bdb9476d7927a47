// Taking the GIL back safely after a blocking call made without it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <unistd.h>

// A thread left running while the interpreter finalizes must not take the GIL
// back: its thread state may be freed already, and reference counts touched then
// crash the exit. It waits, without the GIL and touching no object, for the
// process to end around it. Safe to ask without the GIL.
inline void park_if_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing() != 0;
#else
    const bool finalizing = _Py_IsFinalizing() != 0;
#endif
    if (finalizing)
        for (;;) pause();
}

// PyEval_RestoreThread, unless the interpreter is finalizing (see above).
inline void restore_thread(PyThreadState* saved) {
    park_if_finalizing();
    PyEval_RestoreThread(saved);
}

// Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS around one block, as an object.
class WithoutGil {
public:
    WithoutGil() : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() { restore_thread(saved_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    // Runs `f` with the GIL held for a moment (a check that runs Python code), then
    // releases it again.
    template <class F>
    auto holding(F&& f) {
        restore_thread(saved_);
        auto result = f();
        saved_ = PyEval_SaveThread();
        return result;
    }

private:
    PyThreadState* saved_;
};
