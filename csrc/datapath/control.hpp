// The control connection of a plain FTP session, spoken without the GIL: commands
// written whole, replies read line by line from the session's own buffer (which
// the Python side's reader shares), with the bounds the Python side puts on them.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <string>
#include <string_view>

#include "pump.hpp"

// Why a control exchange ended early; Stop's kinds and those of the replies themselves.
enum class Broken : unsigned char { none, stop, closed, long_line, long_reply };

struct ReplyBounds {
    std::size_t line;   // characters of one line (ftplib's maxline)
    std::size_t lines;  // lines of one reply
    std::size_t bytes;  // characters of one reply, a line end counted as one
};

class Control {
public:
    Control(int fd, double timeout, std::string pending, ReplyBounds bounds, Checks& checks)
        : fd_(fd), timeout_(timeout), pending_(std::move(pending)), bounds_(bounds), checks_(checks) {}

    bool send(std::string_view bytes);
    // One whole reply, its lines joined by '\n' as ftplib joins them.
    bool reply(std::string& out);
    // Waits until `fd` is ready for `events`, at most the timeout; the checks run between slices.
    bool wait(int fd, short events);

    std::string& pending() { return pending_; }
    void set_timeout(double timeout) { timeout_ = timeout; }

    Broken broken = Broken::none;
    Stop stop = Stop::done;  // with Broken::stop: why
    int error = 0;           // errno, for Stop::os_error

private:
    bool line(std::string& out);
    bool fail(Stop why, int err = 0) {
        broken = Broken::stop;
        stop = why;
        error = err;
        return false;
    }

    int fd_;
    double timeout_;  // < 0: none
    std::string pending_;
    ReplyBounds bounds_;
    Checks& checks_;
};
