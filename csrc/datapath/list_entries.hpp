#pragma once
#include "ref.hpp"

// list_entries(lines) -> [(type, size, name)] for the lines of a Unix long
// listing: type is the mode's first letter ("d", "-", "l", ...), a link's
// name is the text before its last " -> ", and lines that are no entry
// ("total N", ".", "..") are left out.
PyObject* list_entries(PyObject* module, PyObject* lines);
