// The operations of FTPPath, one subsystem per source file. Each takes its
// bound arguments, self first, as the function type hands them over.
#pragma once
#include "state.hpp"

// client_reset.cpp
PyObject* op_reset(State& st, PyObject* const* args);
PyObject* op_interrupt(State& st, PyObject* const* args);
// queries.cpp
PyObject* op_exists(State& st, PyObject* const* args);
PyObject* op_is_dir(State& st, PyObject* const* args);
PyObject* op_mtime(State& st, PyObject* const* args);
// transfers.cpp
PyObject* op_read(State& st, PyObject* const* args);
PyObject* op_write(State& st, PyObject* const* args);
PyObject* op_upload(State& st, PyObject* const* args);
// namespace.cpp
PyObject* op_delete(State& st, PyObject* const* args);
PyObject* op_mkdir(State& st, PyObject* const* args);
// listing.cpp
PyObject* op_glob(State& st, PyObject* const* args);

extern PyType_Spec listing_type_spec;  // the lazy result of glob
extern PyType_Spec sink_type_spec;     // the block collector of read
extern PyType_Spec line_sink_type_spec;  // listing_fetch.cpp: the bounded line collector of listings
// listing.cpp: makes collections.abc.Generator count the listing type as one.
int register_listing_type(PyTypeObject* type);
