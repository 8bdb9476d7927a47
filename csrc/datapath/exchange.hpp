// One file's whole exchange on a plain passive session in one native call: see exchange.cpp.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "pump.hpp"

// Where a download lands when the exchange makes its local file itself (see landing.hpp).
struct LandingRequest {
    int dir;              // the directory's descriptor
    std::string name;     // the new file's name in it
    std::int64_t size;    // the size announced; the file is whole only at that size; < 0: unknown
    std::optional<double> time;  // the time the whole file takes, where known
    int time_reply;       // else the index of an MDTM answer among the replies, whose time it takes; < 0: none
};

struct ExchangeRequest {
    bool upload;          // STOR-like: bytes go from `file` to the server
    int control;          // the control connection's descriptor
    std::string pending;  // what the session's reader has buffered of it
    std::string head;     // sent first: any commands whose replies come before PASV's, and PASV
    int before;           // how many replies come before PASV's
    bool ready;           // PASV was sent already: its reply is the last of those `before`
    std::string command;  // the transfer command, sent once PASV is answered
    int between;          // how many replies come after PASV's and before the transfer command's
    int data;             // an unconnected IPv4 socket for the data connection
    int file;             // unused where `landing` is given
    std::optional<LandingRequest> landing;
    double timeout;       // for each wait; < 0: none
    PyObject* stopped;    // as for the pump, or null
    std::int64_t amount;  // a download's limit, an upload's count of bytes; < 0: none
    bool early_end;       // a download's sending side is shut at once, not after the 1xx
    std::string tail;     // sent after a whole upload's final reply
    int after;            // how many replies `tail` is owed
    std::size_t max_line, max_lines, max_bytes;
};

// (replies, bytes moved or -1, what is left buffered, None or why the exchange broke off,
// None or the exception that ended it, whether the landing file is whole and closed).
PyObject* run_exchange(const ExchangeRequest& r);

// A pump's end as the function's result or exception (module.cpp).
PyObject* finish_pump(const PumpResult& r, double timeout);
