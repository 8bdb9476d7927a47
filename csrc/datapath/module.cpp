// corvane.ftp._datapath: the transfer engine's native helpers. Bytes move
// between a plain data socket and a local file descriptor with the GIL
// released, so that parallel transfers use every core.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <limits>

#include "exchange.hpp"
#include "list_entries.hpp"
#include "pump.hpp"
#include "ref.hpp"

// Turns a pump's end into the function's result or exception.
PyObject* finish_pump(const PumpResult& r, double timeout) {
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

namespace {

PyObject* finish(const PumpResult& r, double timeout) { return finish_pump(r, timeout); }

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

bool bytes_of(PyObject* obj, std::string& out) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &data, &size) != 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool size_of(PyObject* obj, std::size_t& out) {
    const Py_ssize_t n = PyLong_AsSsize_t(obj);
    if (n < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "exchange(): a bound must not be negative");
        return false;
    }
    out = static_cast<std::size_t>(n);
    return true;
}

// A download's landing: (directory descriptor, name as bytes, size or -1, time or None, MDTM reply's index or -1).
bool landing_of(PyObject* obj, LandingRequest& out, OwnFd& dir) {
    PyObject *folder, *name, *time;
    long long size;
    if (!PyArg_ParseTuple(obj, "OSLOi:exchange", &folder, &name, &size, &time, &out.time_reply) ||
        !dir.take(folder) || !bytes_of(name, out.name))
        return false;
    out.dir = dir.get();
    out.size = size;
    if (time != Py_None) {
        const double seconds = PyFloat_AsDouble(time);
        if (seconds == -1 && PyErr_Occurred()) return false;
        out.time = seconds;
    }
    return true;
}

PyObject* exchange(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 17) {
        PyErr_Format(PyExc_TypeError, "exchange() takes 17 arguments (%zd given)", nargs);
        return nullptr;
    }
    ExchangeRequest r{};
    OwnFd control, data, file;  // a landing's directory, or the file
    const int upload = PyObject_IsTrue(args[0]);
    if (upload < 0 || !control.take(args[1]) || !bytes_of(args[2], r.pending) || !bytes_of(args[3], r.head) ||
        !bytes_of(args[5], r.command) || !data.take(args[6]) || !bytes_of(args[12], r.tail))
        return nullptr;
    if (PyTuple_Check(args[7]) && !upload) {
        if (!landing_of(args[7], r.landing.emplace(), file)) return nullptr;
    } else if (!file.take(args[7])) {
        return nullptr;
    }
    r.upload = upload != 0;
    r.control = control.get();
    r.data = data.get();
    r.file = file.get();
    const long before = PyLong_AsLong(args[4]);
    const long after = PyLong_AsLong(args[13]);
    if ((before == -1 || after == -1) && PyErr_Occurred()) return nullptr;
    const long between = PyLong_AsLong(args[16]);
    const int ready = PyObject_IsTrue(args[15]);
    if ((between == -1 && PyErr_Occurred()) || ready < 0) return nullptr;
    r.before = static_cast<int>(before);
    r.after = static_cast<int>(after);
    r.between = static_cast<int>(between);
    r.ready = ready != 0 && before > 0;
    r.timeout = args[8] == Py_None ? -1 : PyFloat_AsDouble(args[8]);
    if (r.timeout == -1 && PyErr_Occurred()) return nullptr;
    r.stopped = args[9] == Py_None ? nullptr : args[9];
    r.amount = args[10] == Py_None ? -1 : PyLong_AsLongLong(args[10]);
    if (r.amount == -1 && PyErr_Occurred()) return nullptr;
    const int early = PyObject_IsTrue(args[11]);
    if (early < 0) return nullptr;
    r.early_end = early != 0;
    PyObject* bounds = args[14];
    if (!PyTuple_Check(bounds) || PyTuple_GET_SIZE(bounds) != 3) {
        PyErr_SetString(PyExc_TypeError, "exchange(): bounds must be (line, lines, characters)");
        return nullptr;
    }
    if (!size_of(PyTuple_GET_ITEM(bounds, 0), r.max_line) || !size_of(PyTuple_GET_ITEM(bounds, 1), r.max_lines) ||
        !size_of(PyTuple_GET_ITEM(bounds, 2), r.max_bytes))
        return nullptr;
    Ref keep = Ref::borrow(r.stopped);  // alive while the GIL is released
    return run_exchange(r);
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
    {"exchange", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exchange)), METH_FASTCALL,
     "exchange(upload, control, pending, head, before, command, data, file, timeout, stopped, amount,\n"
     "         early_end, tail, after, bounds, ready, between) -> (replies, moved, pending, broken, error, landed)\n\n"
     "One file's transfer on a plain passive session, without the GIL: sends `head` (commands ending\n"
     "with PASV) on the connected socket `control`, reads `before` replies and PASV's, sends `command`\n"
     "while the unconnected IPv4 socket `data` connects to the port announced at the control\n"
     "connection's peer, and reads the 1xx. A download then writes what arrives to `file`, at most\n"
     "`amount` bytes, and reads the final reply; an upload sends `amount` bytes of `file` from its\n"
     "offset, ends the data connection, reads the final reply and, where it is 2xx, sends `tail` and\n"
     "reads `after` replies. `pending`: what the session's reader holds already. Stops at the first\n"
     "reply that is not the expected one. `replies`: the raw replies read, lines joined by b'\\n';\n"
     "`moved`: -1 where no data moved; `broken`: None or why the exchange broke off ('closed',\n"
     "'long line', 'long reply', 'passive', 'cut': an upload's connection broke, the server's reply,\n"
     "if any, last). `bounds`: (characters of a line, lines of a reply, characters of a reply).\n"
     "`ready`: PASV was sent before, its reply the last of the `before`; `between`: replies to\n"
     "commands sent in `command` ahead of the transfer command, read before its 1xx.\n"
     "`error`: None, or the exception that ended the exchange (a timeout, an OSError, a stop), returned\n"
     "so that the caller sees the replies read before it. timeout and stopped as for send_file.\n"
     "A download's `file` may be (dir_fd, name, size, time, mdtm) instead of a descriptor: the file\n"
     "`name` is then made in the directory `dir_fd` (exclusively, not through a link) and, once the\n"
     "final reply is 2xx and `size` bytes (where not negative) arrived, given `time` (or, where None\n"
     "that of the reply of index `mdtm` where that is \"213 <time-val>\") and closed:\n"
     "`landed`, the last of the results, says so; the caller renames or removes it."},
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
