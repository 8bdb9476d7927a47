#include "pump.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <new>

#include "gil.hpp"
#include "ref.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Interrupts and the caller's stop flag are looked at this often: a Ctrl-C
// must end a transfer well within a second, and taking the GIL ten times a
// second costs nothing measurable.
constexpr auto check_every = std::chrono::milliseconds(100);
constexpr std::size_t buffer_size = std::size_t{1} << 20;
// A blocking sendfile returns only when its step is sent (or a slice passes with
// no room at all): steps of 1 MiB keep the checks coming on slow links too.
constexpr std::int64_t sendfile_step = std::int64_t{1} << 20;

// The receiving socket is made non-blocking for the pump, so that no call can
// block longer than one wait slice, and put back as it was afterwards.
class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
    ~NonBlocking() {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

private:
    int fd_;
    int flags_;
};

// The sending socket is made blocking, with a send timeout of one wait slice.
// A blocking sendfile waits for room inside the kernel and goes on at once;
// non-blocking sendfile with a poll between calls took up to twice as long
// for 1 GiB on loopback. Both are put back as they were afterwards.
class SlicedSend {
public:
    explicit SlicedSend(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
        socklen_t size = sizeof saved_;
        has_saved_ = getsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &saved_, &size) == 0;
        timeval slice{0, static_cast<suseconds_t>(std::chrono::microseconds(check_every).count())};
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
        if (flags_ >= 0 && (flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_ & ~O_NONBLOCK);
    }
    ~SlicedSend() {
        if (has_saved_) setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &saved_, sizeof saved_);
        if (flags_ >= 0 && (flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_);
    }
    SlicedSend(const SlicedSend&) = delete;
    SlicedSend& operator=(const SlicedSend&) = delete;

private:
    int fd_;
    int flags_;
    timeval saved_{};
    bool has_saved_ = false;
};

// The GIL is released for the pump's whole life and taken back only for the
// periodic checks, which run Python code (signal handlers, the stop callable).
class Pump {
public:
    explicit Pump(const PumpSettings& s) : s_(s), last_move_(Clock::now()), last_check_(last_move_) {
        saved_ = PyEval_SaveThread();
    }
    ~Pump() { restore_thread(saved_); }
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;

    void moved(std::int64_t n) {
        result.moved += n;
        last_move_ = Clock::now();
    }

    // Waits for the socket to be ready for `events`; false when the pump must end
    // (result says why).
    bool wait(short events) {
        pollfd p{s_.sock, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(check_every.count()));
        if (ready < 0 && errno != EINTR) return fail(errno);
        const auto now = Clock::now();
        if (ready == 0 && s_.timeout >= 0 &&
            std::chrono::duration<double>(now - last_move_).count() >= s_.timeout) {
            result.stop = Stop::timed_out;
            return false;
        }
        return ready > 0 || now - last_check_ < check_every || checks_pass();
    }

    // After a blocking call's slice ran out with nothing moved.
    bool idle() {
        if (s_.timeout >= 0 && std::chrono::duration<double>(Clock::now() - last_move_).count() >= s_.timeout) {
            result.stop = Stop::timed_out;
            return false;
        }
        return between_chunks();
    }

    // Between chunks: the periodic checks, when their time has come.
    bool between_chunks() { return Clock::now() - last_check_ < check_every || checks_pass(); }

    bool fail(int error) {
        result.stop = Stop::os_error;
        result.error = error;
        return false;
    }

    PumpResult result;

private:
    bool checks_pass() {
        last_check_ = Clock::now();
        restore_thread(saved_);
        bool go_on = PyErr_CheckSignals() == 0;
        if (go_on && s_.stopped) {
            // The byte count lets the caller show a big file's progress while it moves.
            Ref moved = Ref::steal(PyLong_FromLongLong(result.moved));
            Ref answer = moved ? Ref::steal(PyObject_CallOneArg(s_.stopped, moved.get())) : Ref();
            const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
            if (truth != 0) {
                go_on = false;
                if (truth > 0) result.stop = Stop::stopped;
            }
        }
        if (!go_on && result.stop == Stop::done) result.stop = Stop::python_error;
        saved_ = PyEval_SaveThread();
        return go_on;
    }

    const PumpSettings& s_;
    Clock::time_point last_move_, last_check_;
    PyThreadState* saved_;
};

bool write_all(Pump& pump, int fd, const char* data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return pump.fail(errno);
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// One buffer per thread, kept across transfers: memory stays flat whatever the file size.
// Null when it cannot be had: no C++ exception may reach the interpreter.
char* thread_buffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer.reset(new (std::nothrow) char[buffer_size]);
    return buffer.get();
}

}  // namespace

PumpResult pump_to_socket(const PumpSettings& s, std::int64_t count) {
    Pump pump(s);
    SlicedSend sliced(s.sock);
    while (pump.result.moved < count) {
        const auto step = static_cast<std::size_t>(std::min(count - pump.result.moved, sendfile_step));
        const ssize_t n = sendfile(s.sock, s.file, nullptr, step);
        if (n > 0) {
            pump.moved(n);
            if (!pump.between_chunks()) break;
        } else if (n == 0) {
            break;  // the file is shorter than it was when planned: what is there is sent
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            if (!pump.idle()) break;
        } else {
            pump.fail(errno);
            break;
        }
    }
    return pump.result;
}

PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit) {
    char* buffer = thread_buffer();
    if (!buffer) return PumpResult{Stop::os_error, ENOMEM, 0};
    Pump pump(s);
    NonBlocking nonblocking(s.sock);
    // Never more than `limit` is asked of the socket: a server that sends more than it
    // announced is not read any further, however much it has in flight.
    while (limit < 0 || pump.result.moved < limit) {
        const std::size_t room =
            limit < 0 ? buffer_size
                      : static_cast<std::size_t>(std::min<std::int64_t>(limit - pump.result.moved,
                                                                         static_cast<std::int64_t>(buffer_size)));
        const ssize_t n = recv(s.sock, buffer, room, 0);
        if (n > 0) {
            if (!write_all(pump, s.file, buffer, static_cast<std::size_t>(n))) break;
            pump.moved(n);
            if (!pump.between_chunks()) break;
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!pump.wait(POLLIN)) break;
        } else if (errno != EINTR) {
            pump.fail(errno);
            break;
        }
    }
    return pump.result;
}
