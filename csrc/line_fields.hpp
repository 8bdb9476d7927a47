// Splitting a LIST line into fields, as `line.split(maxsplit=8)` does, on
// the str's own storage: pure helpers of the walks of glob and delete.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// str.isspace of each one-byte character, taken from the interpreter at load.
extern const std::array<bool, 256> latin1_space;

template <typename Char>
bool is_space(Char c) {
    return c < 256 ? latin1_space[c] : Py_UNICODE_ISSPACE(c);
}

// Bit i: line[base + i] is not white space, for i < len <= 64.
template <typename Char>
std::uint64_t solid_bits(const Char* line, Py_ssize_t base, int len) {
    std::uint64_t solid = 0;
    for (int i = 0; i < len; ++i) solid |= std::uint64_t{!is_space(line[base + i])} << i;
    return solid;
}

#if defined(__SSE2__)
// Bit i: p[i] is white space to str.isspace, for 16 one-byte characters.
// The set is written out because vector compares need it as ranges; the
// agreement tests check it against the interpreter for every byte.
inline unsigned latin1_space_bits(const Py_UCS1* p) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Unsigned lo <= c <= hi as (c - lo) <= (hi - lo): SSE2 has an unsigned min but no unsigned compare.
    auto within = [c](int lo, int hi) {
        const __m128i shifted = _mm_sub_epi8(c, _mm_set1_epi8(static_cast<char>(lo)));
        return _mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(static_cast<char>(hi - lo))), shifted);
    };
    const __m128i nel_nbsp = _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0x85))),
                                          _mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0xa0))));
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(within(0x09, 0x0d), within(0x1c, 0x20)), nel_nbsp)));
}

// One-byte lines, nearly all listings, are classified 16 characters a step;
// the last few characters of a line are read one by one, never past its end.
template <>
inline std::uint64_t solid_bits(const Py_UCS1* line, Py_ssize_t base, int len) {
    std::uint64_t space = 0;
    int i = 0;
    for (; i + 16 <= len; i += 16) space |= std::uint64_t{latin1_space_bits(line + base + i)} << i;
    for (; i < len; ++i) space |= std::uint64_t{latin1_space[line[base + i]]} << i;
    return ~space & (len == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << len) - 1);
}
#endif

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
        const std::uint64_t solid = solid_bits(line, base, len);
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

// Whether line[start:end] is "." or "..", which name no entry.
inline bool is_dot_name(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    if (end - start < 1 || end - start > 2) return false;
    for (Py_ssize_t i = start; i < end; ++i)
        if (PyUnicode_READ(kind, data, i) != '.') return false;
    return true;
}

// Whether line[start:end] can name nothing but an entry of the listed
// directory, by the rule of corvane.ftp._names.is_entry_name: not empty, "."
// or "..", and free of "/", NUL, CR and LF. A server's word goes no further:
// joined to a path such a name climbs out of the directory or into another,
// and in a command CR or LF would end it and start one of the server's choosing.
inline bool is_entry_name(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start || is_dot_name(kind, data, start, end)) return false;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '/' || c == '\0' || c == '\r' || c == '\n') return false;
    }
    return true;
}

// Whether a line of nine fields lists a symbolic link: its mode starts with `l`.
inline bool is_link_line(int kind, const void* data) {
    Py_ssize_t mode = 0;  // nine fields were found, so the first is there
    while (is_space(PyUnicode_READ(kind, data, mode))) ++mode;
    return PyUnicode_READ(kind, data, mode) == 'l';
}

// Where the last " -> " of line[start:end] begins, or -1: a link's own name
// is the text before it (its target may hold the same four characters).
inline Py_ssize_t last_arrow(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    for (Py_ssize_t i = end - 4; i >= start; --i)
        if (PyUnicode_READ(kind, data, i) == ' ' && PyUnicode_READ(kind, data, i + 1) == '-' &&
            PyUnicode_READ(kind, data, i + 2) == '>' && PyUnicode_READ(kind, data, i + 3) == ' ')
            return i;
    return -1;
}
