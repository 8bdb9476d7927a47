// Pattern listing (glob): the pieces its iterator is made of.
#pragma once
#include "state.hpp"

// Where the ninth field of a LIST line starts when the line is split as
// `line.split(maxsplit=8)` splits it: white space is what str.isspace says
// (U+001C..U+001F and the Unicode spaces too), runs of it separate fields,
// and after the eighth field the whole rest of the line, inner and trailing
// white space kept, is the ninth. -1 for a line of fewer than nine fields.
template <typename Char>
Py_ssize_t ninth_field(const Char* line, Py_ssize_t n) {
    Py_ssize_t i = 0;
    for (int field = 0; field < 8; ++field) {
        while (i < n && Py_UNICODE_ISSPACE(line[i])) ++i;
        if (i == n) return -1;
        while (i < n && !Py_UNICODE_ISSPACE(line[i])) ++i;
    }
    while (i < n && Py_UNICODE_ISSPACE(line[i])) ++i;
    return i < n ? i : -1;
}

inline Py_ssize_t ninth_field(int kind, const void* data, Py_ssize_t n) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return ninth_field(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND:
            return ninth_field(static_cast<const Py_UCS2*>(data), n);
        default:
            return ninth_field(static_cast<const Py_UCS4*>(data), n);
    }
}

// Refuses a listing line that is not a str, naming the directory; false then.
bool check_line(State& st, PyObject* self, PyObject* line);

// The whole listing of the directory `self` names, as a list of lines: the
// first-request steps of glob up to the walk (path check, is_dir(), LIST).
// Null with an error set.
Ref fetch_listing(State& st, PyObject* self);
