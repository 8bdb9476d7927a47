#pragma once
#include "ref.hpp"

// parse_list(lines, now=None) -> (entries, unknown lines). Each line is read
// in its own format: a Unix long listing, Windows/IIS or EPLF. An entry is
// (type, size, name, mtime, precision): type "d", "-", "l", ... (the Unix
// mode's first letter; "?" for an EPLF entry that is neither file nor
// directory), size None where the line gives none, mtime in seconds since
// the epoch reading the server's clock as UTC, precision its step in
// seconds (60, 86400 or 1), both None where the line gives no time. `now`
// (seconds since the epoch; the present when None) places the dates that
// Unix listings give without a year. "total N", blank lines, "." and ".."
// are no entries; any other line no format reads is returned unchanged in
// the second list.
PyObject* parse_list(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// list_entries(lines) -> [(type, size, name)]: parse_list's entries without
// their times, the unknown lines left out.
PyObject* list_entries(PyObject* module, PyObject* lines);
