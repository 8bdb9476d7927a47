#include "control.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

// Characters, as ftplib counts a line it decoded: UTF-8 continuation bytes are not counted.
std::size_t characters(const std::string& text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

bool Control::wait(int fd, short events) {
    const auto start = Clock::now();
    for (;;) {
        pollfd p{fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(Checks::check_every.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return fail(Stop::os_error, errno);
        if (timeout_ >= 0 && std::chrono::duration<double>(Clock::now() - start).count() >= timeout_)
            return fail(Stop::timed_out);
        const Stop checked = checks_.due(0);
        if (checked != Stop::done) return fail(checked);
    }
}

bool Control::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait(fd_, POLLOUT)) return false;
        } else if (n < 0 && errno != EINTR) {
            return fail(Stop::os_error, errno);
        }
    }
    return true;
}

// A line ends at "\r\n", "\n" or a lone "\r", as ftplib's universal-newline reader takes them.
bool Control::line(std::string& out) {
    std::size_t scanned = 0;
    for (;;) {
        const std::size_t end = pending_.find_first_of("\r\n", scanned);
        if (end != std::string::npos && (pending_[end] == '\n' || end + 1 < pending_.size())) {
            const std::size_t next = end + 1 + (pending_[end] == '\r' && pending_[end + 1] == '\n');
            out.assign(pending_, 0, end);
            pending_.erase(0, next);
            if (characters(out) + 1 > bounds_.line) {  // the line end counts, as in ftplib
                broken = Broken::long_line;
                return false;
            }
            return true;
        }
        scanned = end == std::string::npos ? pending_.size() : end;
        if (pending_.size() > 4 * bounds_.line + 4) {  // no line end in sight: too many characters already
            broken = Broken::long_line;
            return false;
        }
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            broken = Broken::closed;
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait(fd_, POLLIN)) return false;
        } else if (errno != EINTR) {
            return fail(Stop::os_error, errno);
        }
    }
}

bool Control::reply(std::string& out) {
    if (!line(out)) return false;
    if (out.size() < 4 || out[3] != '-') return true;
    const std::string code = out.substr(0, 3);
    std::size_t lines = 1, size = characters(out) + 1;
    std::string next;
    for (;;) {
        if (!line(next)) return false;
        lines += 1;
        size += characters(next) + 1;
        if (lines > bounds_.lines || size > bounds_.bytes) {
            broken = Broken::long_reply;
            return false;
        }
        out += '\n';
        out += next;
        if (next.compare(0, 3, code) == 0 && (next.size() < 4 || next[3] != '-')) return true;
    }
}
