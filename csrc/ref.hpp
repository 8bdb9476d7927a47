// An owning reference to a Python object: the one place where references are
// released, so that the logic never counts them by hand.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::move(*this));
        obj_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (a C API result); null stays null.
    static Ref steal(PyObject* obj) { return Ref(obj); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    // Hands the reference to the caller (a C API slot that steals, or a return value).
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};
