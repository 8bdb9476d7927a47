// Moving the bytes of one transfer between a data socket and a local file,
// with the GIL released: the loops of send_file and recv_file.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// How a pump ended: done, or why not. The caller raises the matching error
// once it holds the GIL again.
enum class Stop : unsigned char { done, os_error, timed_out, stopped, python_error };

struct PumpResult {
    Stop stop = Stop::done;
    int error = 0;            // errno, for Stop::os_error
    std::int64_t moved = 0;   // bytes moved, also when stopped early
};

struct PumpSettings {
    int sock;
    int file;
    double timeout;     // seconds without progress before giving up; < 0: none
    PyObject* stopped;  // stopped(bytes moved so far), asked now and then whether to give up, or null
};

// `count` bytes (fewer if the file ends first) from `file`, at its current
// offset, to `sock`, by sendfile. Called with the GIL held; releases it.
PumpResult pump_to_socket(const PumpSettings& s, std::int64_t count);

// Everything `sock` delivers until the peer closes, written to `file`; no more
// than `limit` bytes when it is not negative. Called with the GIL held; releases it.
PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit);
