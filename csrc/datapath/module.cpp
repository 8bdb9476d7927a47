// corvane.ftp._datapath: the transfer engine's native helpers. Bytes move
// between a plain data socket and a local file descriptor with the GIL
// released, so that parallel transfers use every core.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "list_entries.hpp"
#include "pump.hpp"
#include "ref.hpp"

namespace {

// Turns a pump's end into the function's result or exception.
PyObject* finish(const PumpResult& r, double timeout) {
    switch (r.stop) {
        case Stop::done:
            return PyLong_FromLongLong(r.moved);
        case Stop::os_error:
            errno = r.error;
            return PyErr_SetFromErrno(PyExc_OSError);
        case Stop::timed_out: {
            // PyErr_Format has no float conversion.
            char message[128];
            std::snprintf(message, sizeof message, "the data connection moved nothing for %.1f s (after %lld bytes)",
                          timeout, static_cast<long long>(r.moved));
            PyErr_SetString(PyExc_TimeoutError, message);
            return nullptr;
        }
        case Stop::stopped:
            return PyErr_Format(PyExc_InterruptedError, "transfer stopped after %lld bytes",
                                static_cast<long long>(r.moved));
        case Stop::python_error:
            break;
    }
    return nullptr;  // the exception raised by a signal handler or the stop callable is set
}

// The pump's own duplicate of a descriptor, closed when the pump is done. With the
// caller's number, a file closed by another thread and a new one opened under
// that number would receive the rest of the transfer.
class OwnFd {
public:
    OwnFd() = default;
    ~OwnFd() {
        if (fd_ >= 0) close(fd_);
    }
    OwnFd(const OwnFd&) = delete;
    OwnFd& operator=(const OwnFd&) = delete;

    // The duplicate of what `obj` names (fileno()); false with an OSError set.
    bool take(PyObject* obj) {
        const int fd = PyObject_AsFileDescriptor(obj);
        if (fd < 0) return false;
        fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (fd_ < 0) PyErr_SetFromErrno(PyExc_OSError);
        return fd_ >= 0;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

bool settings_from(PyObject* const* args, PumpSettings& s, OwnFd& sock, OwnFd& file) {
    if (!sock.take(args[0]) || !file.take(args[1])) return false;
    s.sock = sock.get();
    s.file = file.get();
    if (args[2] == Py_None) {
        s.timeout = -1;
    } else {
        s.timeout = PyFloat_AsDouble(args[2]);
        if (s.timeout == -1 && PyErr_Occurred()) return false;
    }
    s.stopped = args[3] == Py_None ? nullptr : args[3];
    return true;
}

PyObject* send_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError, "send_file() takes 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    PumpSettings s{};
    OwnFd sock, file;
    if (!settings_from(args, s, sock, file)) return nullptr;
    const long long count = PyLong_AsLongLong(args[4]);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    Ref keep = Ref::borrow(s.stopped);  // alive while the GIL is released
    return finish(pump_to_socket(s, count < 0 ? std::numeric_limits<long long>::max() : count), s.timeout);
}

PyObject* recv_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_Format(PyExc_TypeError, "recv_file() takes 4 or 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    PumpSettings s{};
    OwnFd sock, file;
    if (!settings_from(args, s, sock, file)) return nullptr;
    long long limit = -1;
    if (nargs == 5 && args[4] != Py_None) {
        limit = PyLong_AsLongLong(args[4]);
        if (limit == -1 && PyErr_Occurred()) return nullptr;
    }
    Ref keep = Ref::borrow(s.stopped);
    return finish(pump_from_socket(s, limit), s.timeout);
}

PyMethodDef methods[] = {
    // Through void (*)(): a fast-call function is stored in the PyCFunction slot.
    {"send_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send_file)), METH_FASTCALL,
     "send_file(sock, file, timeout, stopped, count) -> bytes sent\n\n"
     "Sends `count` bytes (fewer if the file ends first; all when negative) of the open file `file`,\n"
     "from its current offset, over the connected socket `sock`. TimeoutError when nothing moves for\n"
     "`timeout` seconds (None: wait for ever); `stopped(moved)`, if not None, is asked ten times a\n"
     "second with the bytes moved so far, and a true answer raises InterruptedError."},
    {"recv_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(recv_file)), METH_FASTCALL,
     "recv_file(sock, file, timeout, stopped, limit=None) -> bytes received\n\n"
     "Writes everything `sock` delivers until the peer closes to the open file `file`, but no more\n"
     "than `limit` bytes when it is given and not negative; `timeout` and `stopped` as for send_file."},
    {"parse_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_list)), METH_FASTCALL,
     "parse_list(lines, now=None) -> (entries, unknown)\n\n"
     "The entries (type, size, name, mtime, precision) of LIST lines in Unix, Windows/IIS or EPLF\n"
     "form, each line read in its own; the lines no format reads, unchanged. `now` places the dates\n"
     "Unix listings give without a year."},
    {"list_entries", list_entries, METH_O,
     "list_entries(lines) -> [(type, size, name)] of the entries of a listing, as parse_list reads them."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "corvane.ftp._datapath",
    "Native helpers of the transfer engine: the data path and LIST line splitting.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__datapath() { return PyModuleDef_Init(&module_def); }
