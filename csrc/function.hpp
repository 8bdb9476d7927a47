// A function type of our own that behaves like a Python `def` for its callers:
// it binds as a method, carries __name__, __qualname__, __module__, __doc__ and
// __annotations__ (so functools.wraps copies them), answers inspect.signature,
// and reports argument errors in CPython's own words. Built-in functions do
// none of this, and `retry` wraps our members with functools.wraps.
#pragma once
#include <span>

#include "state.hpp"

struct Param {
    const char* name;
    const char* annotation;           // declared type, as text
    PyObject* State::*default_value;  // member of State holding the default, or null
};

// `args` holds the bound arguments in declaration order (self first for a
// method); all are borrowed. Returns a new reference, or null with an error set.
using Impl = PyObject* (*)(State& st, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    const char* result;  // declared result type, as text
    std::span<const Param> params;
    Impl impl;
    bool rest = false;  // (*_, **__): takes and ignores any arguments
};

// The largest parameter count of any spec, self included.
inline constexpr Py_ssize_t max_params = 3;

extern PyType_Spec function_type_spec;

// A new function object for `spec`, which must outlive it.
Ref make_function(State& st, PyObject* module_name, const FunctionSpec& spec);
