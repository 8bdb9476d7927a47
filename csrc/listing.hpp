// Pattern listing (glob): the pieces its iterator is made of.
#pragma once
#include "state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

// str.isspace of each one-byte character, taken from the interpreter at load.
extern const std::array<bool, 256> latin1_space;

template <typename Char>
bool is_space(Char c) {
    return c < 256 ? latin1_space[c] : Py_UNICODE_ISSPACE(c);
}

// Where the ninth field of a LIST line starts when the line is split as
// `line.split(maxsplit=8)` splits it: white space is what str.isspace says
// (U+001C..U+001F and the Unicode spaces too), runs of it separate fields,
// and after the eighth field the whole rest of the line, inner and trailing
// white space kept, is the ninth. -1 for a line of fewer than nine fields.
//
// A field starts where white space (or the line's start) is followed by
// anything else, so the ninth field starts at the ninth such place. The line
// is read 64 characters at a time into a bit mask, which keeps the loop free
// of the branches that a character-by-character scan mispredicts at every
// field boundary.
template <typename Char>
Py_ssize_t ninth_field(const Char* line, Py_ssize_t n) {
    int starts_to_pass = 8;
    std::uint64_t before = 0;  // bit 0: the character before this block is not white space
    for (Py_ssize_t base = 0; base < n; base += 64) {
        const int len = static_cast<int>(std::min<Py_ssize_t>(64, n - base));
        std::uint64_t solid = 0;  // bit i: character base + i is not white space
        for (int i = 0; i < len; ++i) solid |= std::uint64_t{!is_space(line[base + i])} << i;
        std::uint64_t starts = solid & ~((solid << 1) | before);
        before = (solid >> (len - 1)) & 1;
        const int found = std::popcount(starts);
        if (found > starts_to_pass) {
            for (int k = 0; k < starts_to_pass; ++k) starts &= starts - 1;  // drop the lowest start
            return base + std::countr_zero(starts);
        }
        starts_to_pass -= found;
    }
    return -1;
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
