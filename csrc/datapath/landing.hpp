// The local file a download lands in, made and finished without the GIL: see landing.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A new file `name` in the directory `dir`, made exclusively (it is never someone
// else's file) and never through a link. The caller renames it into place once it
// has judged the replies, or removes it.
class Landing {
public:
    Landing(int dir, std::string name) : dir_(dir), name_(std::move(name)) {}
    ~Landing();
    Landing(const Landing&) = delete;
    Landing& operator=(const Landing&) = delete;

    bool open();  // false with errno set
    int fd() const { return fd_; }
    // Gives the file `seconds` since the epoch as its times (where given) and closes it;
    // false with errno set.
    bool finish(std::optional<double> seconds);

private:
    int dir_;
    std::string name_;
    int fd_ = -1;
};

// The time of an MDTM reply that is exactly "213 <time-val>" (YYYYMMDDHHMMSS[.f...], UTC,
// a date that exists, from 1970 on), as seconds since the epoch; nothing for any other reply.
std::optional<double> mdtm_time(const std::string& reply);
