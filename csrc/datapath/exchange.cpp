// exchange(): one file's download or upload on a plain session in a single call
// without the GIL, from PASV to the final reply (and, for an upload, the commands
// that follow it). On two cores with eight sessions, each reply read in Python is
// a wait for the GIL and a context switch; here a file costs one.
#include "exchange.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "control.hpp"
#include "gil.hpp"
#include "landing.hpp"
#include "pump.hpp"
#include "ref.hpp"

namespace {

// The port of a 227 reply, read as ftplib's parse227 reads it: the first six
// comma-separated numbers anywhere in the text (the host among them is not used:
// data connections go to the control connection's peer). -1 where there is none.
long passive_port(const std::string& reply) {
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(reply[i]))) continue;
        long numbers[6];
        std::size_t at = i;
        int found = 0;
        for (; found < 6; ++found) {
            const std::size_t start = at;
            long value = 0;
            while (at < reply.size() && std::isdigit(static_cast<unsigned char>(reply[at])) && at - start < 7)
                value = value * 10 + (reply[at++] - '0');
            if (at == start || (at < reply.size() && std::isdigit(static_cast<unsigned char>(reply[at])))) break;
            numbers[found] = value;
            if (found < 5) {
                if (at >= reply.size() || reply[at] != ',') break;
                ++at;
            }
        }
        if (found == 6) {
            const long port = numbers[4] * 256 + numbers[5];
            return port > 0 && port <= 65535 ? port : -1;
        }
    }
    return -1;
}

// How the exchange went, for the caller once it holds the GIL again.
struct Exchanged {
    std::vector<std::string> replies;
    PumpResult pump;
    bool pumped = false;
    Broken broken = Broken::none;
    bool bad_passive = false;
    bool cut = false;  // an upload's data connection broke: the server's reason, if any, is the last reply
    bool complete = false;  // the final reply read, and 2xx
    int local_error = 0;  // errno of the landing file's making or finishing
    bool landed = false;
};

// A cut upload's reply comes at once or not at all: it is not waited for as long as for a byte.
constexpr double cut_wait = 2.0;

bool connect_to(Control& control, int data, int ctl, long port) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(ctl, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET) {
        control.broken = Broken::stop;
        control.stop = Stop::os_error;
        control.error = errno ? errno : EAFNOSUPPORT;
        return false;
    }
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    const int flags = fcntl(data, F_GETFL);
    if (flags >= 0) fcntl(data, F_SETFL, flags | O_NONBLOCK);
    if (connect(data, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        control.broken = Broken::stop;
        control.stop = Stop::os_error;
        control.error = errno;
        return false;
    }
    if (!control.wait(data, POLLOUT)) return false;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(data, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error == 0) return true;
    control.broken = Broken::stop;
    control.stop = Stop::os_error;
    control.error = error;
    return false;
}

// The exchange itself, without the GIL (`gil`); stops at the first reply that is not
// the one expected, which the caller judges.
void exchange(Control& control, const ExchangeRequest& r, int file, WithoutGil& gil, Exchanged& out) {
    std::string reply;
    auto next = [&] {
        const bool whole = control.reply(reply);
        // Of a reply too long, its code only: the caller names it.
        if (whole || control.broken == Broken::long_reply) out.replies.push_back(whole ? reply : reply.substr(0, 3));
        return whole;
    };
    if (!control.send(r.head)) return;
    for (int i = 0; i < r.before; ++i)
        if (!next()) return;
    if ((!r.ready && !next()) || reply.compare(0, 3, "227") != 0) return;
    const long port = passive_port(reply);
    if (port < 0) {
        out.bad_passive = true;
        return;
    }
    if (!control.send(r.command) || !connect_to(control, r.data, r.control, port)) return;
    const bool early = !r.upload && r.early_end;
    if (early) shutdown(r.data, SHUT_WR);
    for (int i = 0; i < r.between; ++i)
        if (!next()) return;
    if (!next()) return;
    if (reply[0] == '2' && !next()) return;
    if (reply[0] != '1') return;
    PumpSettings settings{r.data, file, r.timeout, r.stopped};
    out.pumped = true;
    if (r.upload) {
        out.pump = pump_to_socket(settings, r.amount < 0 ? INT64_MAX : r.amount, gil);
        if (out.pump.stop == Stop::os_error && (out.pump.error == EPIPE || out.pump.error == ECONNRESET)) {
            // The server broke the transfer off: its reason (552 for a full disk) tells more than the pipe.
            out.pump.stop = Stop::done;
            out.cut = true;
            shutdown(r.data, SHUT_RDWR);
            control.set_timeout(r.timeout >= 0 && r.timeout < cut_wait ? r.timeout : cut_wait);
            next();
            // No reply: the broken pipe is the error. A signal handler's exception stays.
            if (control.broken != Broken::stop || control.stop != Stop::python_error) control.broken = Broken::none;
            return;
        }
        if (out.pump.stop != Stop::done) return;
        shutdown(r.data, SHUT_WR);  // the end of the file, for the server
        if (!next() || reply[0] != '2') return;
        out.complete = true;
        if (r.tail.empty() || !control.send(r.tail)) return;
        for (int i = 0; i < r.after; ++i)
            if (!next()) return;
        return;
    }
    if (!early) shutdown(r.data, SHUT_WR);
    out.pump = pump_from_socket(settings, r.amount, gil);
    // More than the limit was on its way: the rest is not read, nor a reply waited for.
    if (out.pump.stop != Stop::done || (r.amount >= 0 && out.pump.moved >= r.amount)) return;
    out.complete = next() && reply[0] == '2';
}

// A download into a file of its own: made before anything is sent, given its time and
// closed once the transfer is whole; the caller renames or removes it.
void exchange_into(Control& control, const ExchangeRequest& r, WithoutGil& gil, Exchanged& out) {
    const LandingRequest& to = *r.landing;
    Landing landing(to.dir, to.name);
    if (!landing.open()) {
        out.local_error = errno;
        return;
    }
    exchange(control, r, landing.fd(), gil, out);
    const bool whole = out.complete && out.pump.stop == Stop::done && control.broken == Broken::none &&
                       (to.size < 0 || out.pump.moved == to.size);
    if (!whole) return;  // closed by the landing; the caller removes it
    std::optional<double> time = to.time;
    if (!time && to.time_reply >= 0 && out.replies.size() > static_cast<std::size_t>(to.time_reply))
        time = mdtm_time(out.replies[static_cast<std::size_t>(to.time_reply)]);
    out.landed = landing.finish(time);
    if (!out.landed) out.local_error = errno;
}

// The landing file's OSError, named as os.open() and os.utime() name it: by the name
// given, relative to its directory.
void set_local_error(int error, const std::string& name) {
    Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!text) return;  // that error is set instead
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, text.get());
}

}  // namespace

PyObject* run_exchange(const ExchangeRequest& r) {
    Exchanged out;
    std::string pending;
    {
        WithoutGil gil;
        // Waits for a reply look at pending signals only: the caller's stop callable counts the bytes
        // of the transfer, and another thread stops a session by shutting its sockets.
        Checks checks(gil, nullptr);
        Control control(r.control, r.timeout, r.pending, ReplyBounds{r.max_line, r.max_lines, r.max_bytes}, checks);
        if (r.landing)
            exchange_into(control, r, gil, out);
        else
            exchange(control, r, r.file, gil, out);
        out.broken = control.broken;
        if (control.broken == Broken::stop) {
            out.pump.stop = control.stop;
            out.pump.error = control.error;
        }
        pending = std::move(control.pending());
    }
    // An exchange that failed returns its error rather than raising it: the caller learns first how
    // far it got (whether the server accepted an upload it must then remove).
    Ref error;
    if (out.local_error != 0 || out.pump.stop != Stop::done) {
        if (out.local_error != 0)
            set_local_error(out.local_error, r.landing->name);
        else if (out.broken == Broken::stop && out.pump.stop == Stop::timed_out)
            PyErr_SetString(PyExc_TimeoutError, "timed out");  // as a socket of the control connection says it
        else
            finish_pump(out.pump, r.timeout);
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value && traceback) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        error = Ref::steal(value);
        if (!error) return nullptr;
    }
    Ref replies = Ref::steal(PyList_New(0));
    if (!replies) return nullptr;
    for (const std::string& text : out.replies) {
        Ref item = Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!item || PyList_Append(replies.get(), item.get()) != 0) return nullptr;
    }
    const char* broken = out.cut                             ? "cut"
                         : out.bad_passive                   ? "passive"
                         : out.broken == Broken::closed      ? "closed"
                         : out.broken == Broken::long_line   ? "long line"
                         : out.broken == Broken::long_reply  ? "long reply"
                                                             : nullptr;
    return Py_BuildValue("(NLy#zOO)", replies.release(), out.pumped ? static_cast<long long>(out.pump.moved) : -1LL,
                         pending.data(), static_cast<Py_ssize_t>(pending.size()), broken,
                         error ? error.get() : Py_None, out.landed ? Py_True : Py_False);
}
