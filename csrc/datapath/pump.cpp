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
constexpr auto check_every = Checks::check_every;
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

// The pump runs without the GIL, taking it back only for the periodic checks,
// which run Python code (signal handlers, the stop callable).
class Pump {
public:
    Pump(const PumpSettings& s, WithoutGil& gil) : s_(s), checks_(gil, s.stopped), last_move_(Clock::now()) {}
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
        if (ready == 0 && s_.timeout >= 0 &&
            std::chrono::duration<double>(Clock::now() - last_move_).count() >= s_.timeout) {
            result.stop = Stop::timed_out;
            return false;
        }
        return ready > 0 || between_chunks();
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
    bool between_chunks() {
        result.stop = checks_.due(result.moved);
        return result.stop == Stop::done;
    }

    bool fail(int error) {
        result.stop = Stop::os_error;
        result.error = error;
        return false;
    }

    PumpResult result;

private:
    const PumpSettings& s_;
    Checks checks_;
    Clock::time_point last_move_;
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
    WithoutGil gil;
    return pump_to_socket(s, count, gil);
}

PumpResult pump_to_socket(const PumpSettings& s, std::int64_t count, WithoutGil& gil) {
    Pump pump(s, gil);
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

Stop Checks::now(std::int64_t moved) {
    last_ = Clock::now();
    return gil_.holding([&] {
        if (PyErr_CheckSignals() != 0) return Stop::python_error;
        if (!stopped_) return Stop::done;
        // The byte count lets the caller show a big file's progress while it moves.
        Ref count = Ref::steal(PyLong_FromLongLong(moved));
        Ref answer = count ? Ref::steal(PyObject_CallOneArg(stopped_, count.get())) : Ref();
        const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        return truth == 0 ? Stop::done : truth > 0 ? Stop::stopped : Stop::python_error;
    });
}

PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit) {
    WithoutGil gil;
    return pump_from_socket(s, limit, gil);
}

PumpResult pump_from_socket(const PumpSettings& s, std::int64_t limit, WithoutGil& gil) {
    char* buffer = thread_buffer();
    if (!buffer) return PumpResult{Stop::os_error, ENOMEM, 0};
    Pump pump(s, gil);
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
