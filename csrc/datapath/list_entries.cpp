// Splitting LIST lines into (type, size, name) for a transfer plan: the
// ninth field is found as glob finds it (line_fields.hpp), the first eight
// by the same notion of white space.
#include "list_entries.hpp"

#include "line_fields.hpp"

namespace {

struct Fields {
    Py_ssize_t size_start = -1, size_end = -1;  // the fifth field
    Py_ssize_t name_start = -1;                 // the ninth, to the line's end
};

template <typename Char>
Fields fields_of(const Char* line, Py_ssize_t n) {
    Fields f;
    f.name_start = ninth_field(line, n);
    if (f.name_start < 0) return f;
    int field = -1;
    bool in_field = false;
    for (Py_ssize_t i = 0; i < f.name_start; ++i) {
        const bool space = is_space(line[i]);
        if (!space && !in_field && ++field == 4) f.size_start = i;
        if (space && in_field && field == 4) f.size_end = i;
        in_field = !space;
    }
    return f;
}

Fields fields_of(int kind, const void* data, Py_ssize_t n) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return fields_of(static_cast<const Py_UCS1*>(data), n);
        case PyUnicode_2BYTE_KIND:
            return fields_of(static_cast<const Py_UCS2*>(data), n);
        default:
            return fields_of(static_cast<const Py_UCS4*>(data), n);
    }
}

// The size field as a number; -1 if it is not all ASCII digits (or absurdly long).
long long digits_value(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    if (start < 0 || end <= start || end - start > 18) return -1;
    long long value = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool is_dot_name(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) {
    if (end - start < 1 || end - start > 2) return false;
    for (Py_ssize_t i = start; i < end; ++i)
        if (PyUnicode_READ(kind, data, i) != '.') return false;
    return true;
}

// (type, size, name) of one line, None for a line that is no entry, null on error.
Ref entry_of(PyObject* line, PyObject* arrow) {
    const int kind = PyUnicode_KIND(line);
    const void* data = PyUnicode_DATA(line);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const Fields f = fields_of(kind, data, n);
    const long long size = digits_value(kind, data, f.size_start, f.size_end);
    if (f.name_start < 0 || size < 0) return Ref::borrow(Py_None);
    const Py_UCS4 type = PyUnicode_READ(kind, data, 0);
    Py_ssize_t name_end = n;
    if (type == 'l') {
        // A link's name is what comes before its last " -> ": names may hold the arrow, targets rarely do.
        const Py_ssize_t arrow_at = PyUnicode_Find(line, arrow, f.name_start, n, -1);
        if (arrow_at == -2) return {};
        if (arrow_at >= 0) name_end = arrow_at;
    }
    if (is_dot_name(kind, data, f.name_start, name_end)) return Ref::borrow(Py_None);
    return Ref::steal(Py_BuildValue("(CLN)", static_cast<int>(type), size,
                                    PyUnicode_Substring(line, f.name_start, name_end)));
}

}  // namespace

PyObject* list_entries(PyObject*, PyObject* lines) {
    if (!PyList_Check(lines)) {
        PyErr_Format(PyExc_TypeError, "lines must be a list of str, not %.200s", Py_TYPE(lines)->tp_name);
        return nullptr;
    }
    Ref arrow = Ref::steal(PyUnicode_FromString(" -> "));
    Ref entries = Ref::steal(PyList_New(0));
    if (!arrow || !entries) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
        Ref line = Ref::borrow(PyList_GET_ITEM(lines, i));
        if (!PyUnicode_Check(line.get())) {
            PyErr_Format(PyExc_TypeError, "a LIST line must be str, not %.200s", Py_TYPE(line.get())->tp_name);
            return nullptr;
        }
        Ref entry = entry_of(line.get(), arrow.get());
        if (!entry) return nullptr;
        if (entry.get() != Py_None && PyList_Append(entries.get(), entry.get()) < 0) return nullptr;
    }
    return entries.release();
}
