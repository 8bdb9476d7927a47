// Moving the bytes of one transfer between a data socket and a local file,
// with the GIL released: the loops of send_file and recv_file.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>

#include "gil.hpp"

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

// The periodic checks of native work done without the GIL: pending signals (Ctrl-C)
// and the caller's stop callable, each asked at most every `check_every`.
class Checks {
public:
    static constexpr auto check_every = std::chrono::milliseconds(100);

    Checks(WithoutGil& gil, PyObject* stopped) : gil_(gil), stopped_(stopped), last_(std::chrono::steady_clock::now()) {}

    // Stop::done to go on; otherwise why the work must end (the Python error is set
    // for Stop::python_error).
    Stop due(std::int64_t moved) {
        return std::chrono::steady_clock::now() - last_ < check_every ? Stop::done : now(moved);
    }
    Stop now(std::int64_t moved);

private:
    WithoutGil& gil_;
    PyObject* stopped_;
    std::chrono::steady_clock::time_point last_;
};

// `count` bytes (fewer if the file ends first) from `file`, at its current
// offset, to `sock`, by sendfile. Called with the GIL held; releases it.
PumpResult pump_to_socket(const PumpSettings& s, std::int64_t count);
// The same, called with the GIL released already (by `gil`).
PumpResult pump_to_socket(const PumpSettings& s, std::int64_t count, WithoutGil& gil);

// Everything `sock` delivers until the peer closes, written to `file`; no more
// than `limit` bytes when it is not negative. Called with the GIL held; releases it.
PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit);
// The same, called with the GIL released already (by `gil`).
PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit, WithoutGil& gil);
