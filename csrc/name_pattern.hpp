// Shell-style name patterns, matched the way fnmatch.fnmatch matches on POSIX.
//
// fnmatch translates a pattern into a regular expression; we compile the
// same pattern into a short program of one-character matchers separated by
// stars and run it straight over the str's own storage (1, 2 or 4 bytes a
// character), so that a listing of a million names needs no regex engine
// and no Python object per line. The bracket rules copy translate() step by
// step, quirks included (see name_pattern.cpp).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

class NamePattern {
public:
    // Compiles `pattern`, which must be a str. Throws std::bad_alloc.
    explicit NamePattern(PyObject* pattern);

    // Whether characters [start, end) of a str's data, of the given kind,
    // form a name that the pattern matches whole.
    bool matches(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) const;

private:
    struct Range {
        Py_UCS4 lo, hi;
    };
    // One bracket expression. With no ranges it matches nothing, or, negated,
    // every character: translate() turns some brackets into exactly that.
    struct CharSet {
        bool negated = false;
        std::vector<Range> ranges;
        bool contains(Py_UCS4 c) const;
    };
    struct Step {
        enum Kind : unsigned char { literal, any, set, star } kind;
        Py_UCS4 ch;          // the character of a literal
        std::size_t set_at;  // index into sets_ for a set
    };

    static CharSet compile_set(const std::u32string& pat, std::size_t begin, std::size_t end);
    bool accepts(const Step& step, Py_UCS4 c) const;
    template <typename Char>
    bool fits(Py_ssize_t first, Py_ssize_t last, const Char* name) const;
    template <typename Char>
    bool search(Py_ssize_t first, Py_ssize_t last, const Char* name, Py_ssize_t n) const;
    template <typename Char>
    bool match(const Char* name, Py_ssize_t n) const;

    std::vector<Step> steps_;  // no two stars in a row
    std::vector<CharSet> sets_;
    // With a star, the steps before the first star and after the last one
    // take a fixed place at the start and at the end of a name.
    Py_ssize_t head_ = 0, tail_ = 0;
    bool has_star_ = false;
};
