// A download's local file, made, timed and closed inside the transfer's native call:
// each of these system calls made from Python is a release of the GIL, and with eight
// sessions on two cores each release is a wait to take it back.
#include "landing.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <ctime>

Landing::~Landing() {
    if (fd_ >= 0) close(fd_);
}

bool Landing::open() {
    fd_ = openat(dir_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd_ >= 0;
}

bool Landing::finish(std::optional<double> seconds) {
    bool timed = true;
    int error = 0;
    if (seconds) {
        // As os.utime() converts a float: rounded down to the nanosecond.
        double whole;
        double nanos = std::floor(std::modf(*seconds, &whole) * 1e9);
        if (nanos >= 1e9) {
            nanos -= 1e9;
            whole += 1;
        } else if (nanos < 0) {
            nanos += 1e9;
            whole -= 1;
        }
        const timespec times[2] = {{static_cast<time_t>(whole), static_cast<long>(nanos)},
                                   {static_cast<time_t>(whole), static_cast<long>(nanos)}};
        timed = futimens(fd_, times) == 0;
        if (!timed) error = errno;
    }
    const bool closed = close(fd_) == 0;
    if (!closed && timed) error = errno;
    fd_ = -1;
    errno = error;
    return timed && closed;
}

namespace {

bool digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

std::optional<double> mdtm_time(const std::string& reply) {
    if (reply.compare(0, 4, "213 ") != 0) return std::nullopt;
    const std::string text = reply.substr(4);
    if (text.size() < 14) return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || !digits(text, 4, 2, month) || !digits(text, 6, 2, day) ||
        !digits(text, 8, 2, hour) || !digits(text, 10, 2, minute) || !digits(text, 12, 2, second))
        return std::nullopt;
    double fraction = 0;
    if (text.size() > 14) {
        const std::size_t places = text.size() - 15;
        int value;
        if (text[14] != '.' || places < 1 || places > 9 || !digits(text, 15, places, value)) return std::nullopt;
        fraction = value / std::pow(10.0, static_cast<double>(places));
    }
    static constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > month_days[month - 1] + (month == 2 && leap(year)) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    return static_cast<double>(timegm(&when)) + fraction;
}
