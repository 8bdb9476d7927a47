// The block sink of `read`: see block_sink.hpp.
//
// The buffer is a bytes object that the sink alone owns, grown in place with
// _PyBytes_Resize. Its capacity doubles, so a file of N bytes costs O(log N)
// reallocations; past glibc's mmap threshold a reallocation is an mremap,
// which moves page mappings instead of copying, and the untouched tail of the
// capacity is never resident. At the end the object is shrunk to its content
// and handed over as the result.
#include "block_sink.hpp"

#include <structmember.h>

#include <algorithm>

#include "operations.hpp"

namespace {

struct Sink {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* buffer;  // owned bytes object whose capacity is its size; null before the first block
    Py_ssize_t filled;
    bool closed;
};

Sink* as_sink(PyObject* obj) { return reinterpret_cast<Sink*>(obj); }

constexpr Py_ssize_t first_capacity = 64 * 1024;

// Room for `needed` bytes, doubling the capacity at least.
bool reserve(Sink* s, Py_ssize_t needed) {
    const Py_ssize_t capacity = s->buffer ? PyBytes_GET_SIZE(s->buffer) : 0;
    if (needed <= capacity) return true;
    const Py_ssize_t doubled = capacity > PY_SSIZE_T_MAX / 2 ? PY_SSIZE_T_MAX : 2 * capacity;
    const Py_ssize_t wanted = std::max({needed, doubled, first_capacity});
    if (!s->buffer) {
        s->buffer = PyBytes_FromStringAndSize(nullptr, wanted);
        return s->buffer != nullptr;
    }
    // On failure _PyBytes_Resize frees the buffer and nulls it: the read fails.
    return _PyBytes_Resize(&s->buffer, wanted) == 0;
}

int append(Sink* s, const Py_buffer& block) {
    // An empty block, which any client may hand over, may come before the
    // buffer exists: nothing to copy, and no buffer to copy into.
    if (block.len == 0) return 0;
    if (block.len > PY_SSIZE_T_MAX - s->filled) {
        PyErr_NoMemory();
        return -1;
    }
    if (!reserve(s, s->filled + block.len)) return -1;
    // Copies a contiguous block with one memcpy, any other buffer element by element.
    if (PyBuffer_ToContiguous(PyBytes_AS_STRING(s->buffer) + s->filled, &block, block.len, 'C') < 0) return -1;
    s->filled += block.len;
    return 0;
}

PyObject* sink_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Sink* s = as_sink(self);
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) > 0)) {
        PyErr_SetString(PyExc_TypeError, "block_sink() takes exactly one positional argument, a block");
        return nullptr;
    }
    if (s->closed) {
        PyErr_SetString(PyExc_ValueError, "block_sink() called after its retrieval ended");
        return nullptr;
    }
    Py_buffer block;
    if (PyObject_GetBuffer(args[0], &block, PyBUF_FULL_RO) < 0) return nullptr;
    const int done = append(s, block);
    PyBuffer_Release(&block);
    return done < 0 ? nullptr : Py_NewRef(Py_None);
}

void sink_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_CLEAR(as_sink(self)->buffer);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef sink_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Sink, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot sink_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sink_dealloc)},
    {Py_tp_members, sink_members},
    {0, nullptr},
};

}  // namespace

// Not GC-tracked: a sink refers to nothing but its bytes, so it is in no cycle.
PyType_Spec sink_type_spec = {
    "corvane.ftp.path.block_sink",
    sizeof(Sink),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    sink_slots,
};

Ref new_block_sink(State& st) {
    Ref obj = Ref::steal(PyType_GenericAlloc(st.sink_type, 0));
    if (obj) as_sink(obj.get())->vectorcall = sink_vectorcall;
    return obj;
}

Ref take_blocks(PyObject* sink) {
    Sink* s = as_sink(sink);
    s->closed = true;
    if (!s->buffer) return Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (_PyBytes_Resize(&s->buffer, s->filled) < 0) return {};
    return Ref::steal(std::exchange(s->buffer, nullptr));
}

void drop_blocks(PyObject* sink) {
    Sink* s = as_sink(sink);
    s->closed = true;
    Py_CLEAR(s->buffer);
}
