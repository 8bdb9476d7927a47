// Splitting LIST lines for a transfer plan. Each line is read in the format
// it is written in, decided line by line: a Unix long listing (the ninth
// field found as glob finds it, line_fields.hpp, the first eight by the same
// notion of white space), the Windows/IIS one, or EPLF. A line in none of
// them is handed back as it is: a listing we cannot read must never pass
// for a shorter one.
#include "list_entries.hpp"

#include <ctime>

#include "line_fields.hpp"

namespace {

// A str's storage, of one of its three widths: each line is read at the width it is stored in.
template <typename Char>
struct Text {
    const Char* data;
    Py_ssize_t n;
    Py_UCS4 operator[](Py_ssize_t i) const { return data[i]; }
};

bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

// The number in text[start:end] when it is 1 to 18 ASCII digits; -1 otherwise.
template <typename T>
long long digits_value(const T& t, Py_ssize_t start, Py_ssize_t end) {
    if (start < 0 || end <= start || end - start > 18) return -1;
    long long value = 0;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (!is_digit(t[i])) return -1;
        value = value * 10 + (t[i] - '0');
    }
    return value;
}

// Reads the digits at text[i], at most `most` of them, advancing i; -1 if there are fewer than `least`.
template <typename T>
int read_digits(const T& t, Py_ssize_t& i, int least, int most) {
    int value = 0, count = 0;
    while (i < t.n && count < most && is_digit(t[i])) {
        value = value * 10 + static_cast<int>(t[i] - '0');
        ++i;
        ++count;
    }
    return count >= least ? value : -1;
}

template <typename T>
Py_ssize_t skip_space(const T& t, Py_ssize_t i) {
    while (i < t.n && is_space(t[i])) ++i;
    return i;
}

template <typename T>
bool is_dot_name(const T& t, Py_ssize_t start, Py_ssize_t end) {
    if (end - start < 1 || end - start > 2) return false;
    for (Py_ssize_t i = start; i < end; ++i)
        if (t[i] != '.') return false;
    return true;
}

// ---- calendar: proleptic Gregorian, UTC, no library time zone in the way

long long days_from_civil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long long year_of_days(long long days) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    return yoe + era * 400 + (mp >= 10);
}

bool valid_date(long long y, int m, int d) {
    static constexpr int lengths[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > lengths[m - 1]) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m != 2 || d < 29 || leap;
}

// ---- one line

// The day a listing is read, for the dates that Unix listings give without a year.
struct Now {
    long long days, year;
    explicit Now(long long seconds)
        : days((seconds >= 0 ? seconds : seconds - 86399) / 86400), year(year_of_days(days)) {}
};

enum class What { nothing, entry, unknown };

struct Parsed {
    What what = What::unknown;
    Py_UCS4 type = '?';
    long long size = -1;  // -1: the line gives none
    Py_ssize_t name_start = 0, name_end = 0;
    bool timed = false;
    long long mtime = 0;  // seconds since the epoch, reading the server's clock as UTC
    int precision = 0;    // seconds: 60 (to the minute), 86400 (to the day), 1
};

void set_time(Parsed& p, long long y, int m, int d, int hour, int minute, int precision) {
    if (!valid_date(y, m, d)) return;  // the line is read; its time is not known
    p.timed = true;
    p.mtime = days_from_civil(y, m, d) * 86400 + hour * 3600 + minute * 60;
    p.precision = precision;
}

template <typename T>
int month_number(const T& t, Py_ssize_t start, Py_ssize_t end) {
    static constexpr char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (end - start != 3) return 0;
    for (int m = 0; m < 12; ++m) {
        bool same = true;
        for (int k = 0; k < 3 && same; ++k) {
            Py_UCS4 c = t[start + k];
            if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
            same = c == static_cast<Py_UCS4>(names[3 * m + k]);
        }
        if (same) return m + 1;
    }
    return 0;
}

template <typename T>
bool is_mode(const T& t, Py_ssize_t end) {
    // A type letter and nine permission letters; an ACL or context mark may follow.
    if (end < 10) return false;
    switch (t[0]) {
        case '-': case 'd': case 'l': case 'c': case 'b': case 'p': case 's': case 'D':
            break;
        default:
            return false;
    }
    for (Py_ssize_t i = 1; i < 10; ++i) {
        switch (t[i]) {
            case '-': case 'r': case 'w': case 'x': case 's': case 'S': case 't': case 'T': case 'l': case 'L':
                break;
            default:
                return false;
        }
    }
    return true;
}

// Where each of the first eight fields starts and ends, and where the ninth, the name, starts.
struct Fields {
    Py_ssize_t start[8] = {}, end[8] = {};
    Py_ssize_t name_start = -1;
};

template <typename Char>
Fields fields_of(const Char* line, Py_ssize_t n) {
    Fields f;
    f.name_start = ninth_field(line, n);
    if (f.name_start < 0) return f;
    int field = -1;
    bool in_field = false;
    for (Py_ssize_t i = 0; i < f.name_start; ++i) {
        const bool space = is_space(line[i]);
        if (!space && !in_field) f.start[++field] = i;
        if (space && in_field) f.end[field] = i;
        in_field = !space;
    }
    return f;
}

template <typename T>
Fields fields_of(const T& t) {
    return fields_of(t.data, t.n);
}

// A device lists "major, minor" where a file lists its size: as one field ("1,3") or as two
// ("1,  3"), which moves the date and the name one field on. False when it is neither.
template <typename T>
bool device_numbers(const T& t, Fields& f) {
    Py_ssize_t comma = -1;
    for (Py_ssize_t i = f.start[4]; i < f.end[4]; ++i)
        if (t[i] == ',' && comma < 0) comma = i;
        else if (!is_digit(t[i])) return false;
    if (comma <= f.start[4]) return false;
    if (comma + 1 < f.end[4]) return true;
    for (int k = 5; k < 8; ++k) {
        f.start[k - 1] = f.start[k];
        f.end[k - 1] = f.end[k];
    }
    Py_ssize_t i = f.start[7] = f.name_start;
    while (i < t.n && !is_space(t[i])) ++i;
    f.end[7] = i;
    f.name_start = skip_space(t, i);
    return f.name_start < t.n && digits_value(t, f.start[4], f.end[4]) >= 0;
}

// "-rw-r--r-- 1 owner group 1234 Dec  9 01:23 name" (a time: this year or the last, to the minute)
// or "... Dec  9  2023 name" (to the day). A link's name is what comes before its last " -> ":
// names may hold the arrow, targets rarely do.
template <typename T>
Parsed unix_line(PyObject* line, const T& t, PyObject* arrow, const Now& now) {
    Parsed p;
    Fields f = fields_of(t);
    if (f.name_start < 0 || !is_mode(t, f.end[0])) return p;
    p.size = digits_value(t, f.start[4], f.end[4]);
    if (p.size < 0 && (t[0] == 'c' || t[0] == 'b') && !device_numbers(t, f)) return p;
    const int month = month_number(t, f.start[5], f.end[5]);
    Py_ssize_t i = f.start[6];
    const int day = read_digits(t, i, 1, 2);
    if ((p.size < 0 && t[0] != 'c' && t[0] != 'b') || month == 0 || day < 1 || i != f.end[6]) return p;
    i = f.start[7];
    const int first = read_digits(t, i, 1, 4);
    if (i < t.n && t[i] == ':' && i - f.start[7] <= 2) {
        ++i;
        const int minute = read_digits(t, i, 2, 2);
        if (i != f.end[7] || first > 23 || minute < 0 || minute > 59) return p;
        // The year ls leaves out is the one that puts the date in the last six months; a
        // server's clock ahead of ours by up to two days still counts as this year.
        long long year = now.year;
        if (days_from_civil(year, month, day) > now.days + 2) --year;
        set_time(p, year, month, day, first, minute, 60);
    } else {
        if (i != f.end[7] || i - f.start[7] != 4) return p;
        set_time(p, first, month, day, 0, 0, 86400);
    }
    p.type = t[0];
    p.name_start = f.name_start;
    p.name_end = t.n;
    if (p.type == 'l') {
        const Py_ssize_t arrow_at = PyUnicode_Find(line, arrow, f.name_start, t.n, -1);
        if (arrow_at == -2) {
            p.what = What::nothing;  // with the error set, which the caller raises
            return p;
        }
        if (arrow_at >= 0) p.name_end = arrow_at;
    }
    p.what = is_dot_name(t, p.name_start, p.name_end) ? What::nothing : What::entry;
    return p;
}

// "12-09-26  01:23PM       <DIR>          name" or "12-09-2026  13:23  1234 name": month, day,
// year, to the minute. White space before the name is the column's, not the name's.
template <typename T>
Parsed windows_line(const T& t) {
    Parsed p;
    Py_ssize_t i = 0;
    const int month = read_digits(t, i, 1, 2);
    if (month < 0 || i >= t.n || (t[i] != '-' && t[i] != '/')) return p;
    const Py_UCS4 separator = t[i++];
    const int day = read_digits(t, i, 1, 2);
    if (day < 0 || i >= t.n || t[i] != separator) return p;
    const Py_ssize_t year_at = ++i;
    long long year = read_digits(t, i, 2, 4);
    if (year < 0 || (i - year_at != 2 && i - year_at != 4) || i >= t.n || !is_space(t[i])) return p;
    if (i - year_at == 2) year += year < 70 ? 2000 : 1900;
    i = skip_space(t, i);
    int hour = read_digits(t, i, 1, 2);
    if (hour < 0 || i >= t.n || t[i] != ':') return p;
    ++i;
    const int minute = read_digits(t, i, 2, 2);
    if (minute < 0 || minute > 59 || i >= t.n) return p;
    i = skip_space(t, i);
    const bool meridiem = i + 1 < t.n && (t[i + 1] == 'M' || t[i + 1] == 'm');
    if (meridiem && (t[i] == 'A' || t[i] == 'P' || t[i] == 'a' || t[i] == 'p')) {
        if (hour < 1 || hour > 12) return p;
        const bool pm = t[i] == 'P' || t[i] == 'p';
        hour = hour % 12 + (pm ? 12 : 0);  // 12 AM is midnight, 12 PM noon
        i = skip_space(t, i + 2);
    } else if (hour > 23) {
        return p;
    }
    const Py_ssize_t size_at = i;
    while (i < t.n && !is_space(t[i])) ++i;
    const Py_ssize_t size_end = i;
    static constexpr char dir_mark[] = "<DIR>";
    bool is_dir = size_end - size_at == 5;
    for (int k = 0; k < 5 && is_dir; ++k) is_dir = t[size_at + k] == static_cast<Py_UCS4>(dir_mark[k]);
    if (!is_dir && (p.size = digits_value(t, size_at, size_end)) < 0) return p;
    if (size_end == size_at || i >= t.n) return p;
    i = skip_space(t, i);
    if (i >= t.n || month < 1 || month > 12 || day < 1 || day > 31) return p;
    p.type = is_dir ? 'd' : '-';
    p.name_start = i;
    p.name_end = t.n;
    set_time(p, year, month, day, hour, minute, 60);
    p.what = is_dot_name(t, p.name_start, p.name_end) ? What::nothing : What::entry;
    return p;
}

// "+i8388621.29609,m824255902,/,\tdev": facts, each ended by a comma, then a tab and the name.
// "/" says the entry can be entered, "r" that it can be retrieved; "s" the size, "m" the time in
// seconds since the epoch, UTC.
template <typename T>
Parsed eplf_line(const T& t) {
    Parsed p;
    bool enter = false, retrieve = false;
    Py_ssize_t i = 1;
    while (i < t.n && t[i] != '\t') {
        Py_ssize_t end = i;
        while (end < t.n && t[end] != ',' && t[end] != '\t') ++end;
        if (end >= t.n || t[end] != ',') return p;  // every fact ends with a comma
        if (end - i == 1 && t[i] == '/') enter = true;
        if (end - i == 1 && t[i] == 'r') retrieve = true;
        if (t[i] == 's' && (p.size = digits_value(t, i + 1, end)) < 0) return p;
        if (t[i] == 'm') {
            const long long seconds = digits_value(t, i + 1, end);
            if (seconds < 0) return p;
            p.timed = true;
            p.mtime = seconds;
            p.precision = 1;
        }
        i = end + 1;
    }
    if (i + 1 >= t.n || (enter && retrieve)) return p;  // no name, or neither file nor directory to tell
    p.type = enter ? 'd' : retrieve ? '-' : '?';
    p.name_start = i + 1;
    p.name_end = t.n;
    p.what = is_dot_name(t, p.name_start, p.name_end) ? What::nothing : What::entry;
    return p;
}

// "total 12", and a line of white space only: no entry, and nothing lost.
template <typename T>
bool is_filler(const T& t) {
    Py_ssize_t i = skip_space(t, 0);
    if (i == t.n) return true;
    static constexpr char total[] = "total";
    for (int k = 0; k < 5; ++k, ++i)
        if (i >= t.n || t[i] != static_cast<Py_UCS4>(total[k])) return false;
    if (i >= t.n || !is_space(t[i])) return false;
    i = skip_space(t, i);
    const Py_ssize_t start = i;
    while (i < t.n && is_digit(t[i])) ++i;
    return i > start && skip_space(t, i) == t.n;
}

template <typename Char>
Parsed parse_text(PyObject* line, const Text<Char>& t, PyObject* arrow, const Now& now) {
    Parsed p;
    if (t.n == 0) {
        p.what = What::nothing;
        return p;
    }
    const Py_UCS4 first = t[0];
    if (first == '+') p = eplf_line(t);
    else if (is_digit(first)) p = windows_line(t);
    else p = unix_line(line, t, arrow, now);
    if (p.what == What::unknown && is_filler(t)) p.what = What::nothing;
    return p;
}

Parsed parse_line(PyObject* line, PyObject* arrow, const Now& now) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    const void* data = PyUnicode_DATA(line);
    switch (PyUnicode_KIND(line)) {
        case PyUnicode_1BYTE_KIND:
            return parse_text(line, Text<Py_UCS1>{static_cast<const Py_UCS1*>(data), n}, arrow, now);
        case PyUnicode_2BYTE_KIND:
            return parse_text(line, Text<Py_UCS2>{static_cast<const Py_UCS2*>(data), n}, arrow, now);
        default:
            return parse_text(line, Text<Py_UCS4>{static_cast<const Py_UCS4*>(data), n}, arrow, now);
    }
}

Ref number_or_none(bool known, long long value) {
    return known ? Ref::steal(PyLong_FromLongLong(value)) : Ref::borrow(Py_None);
}

// The entry as a tuple: (type, size) and the name, then with `timed` the time and its precision.
Ref entry_tuple(PyObject* line, const Parsed& p, bool timed) {
    Ref items[5] = {
        Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(p.type))),
        number_or_none(p.size >= 0, p.size),
        Ref::steal(PyUnicode_Substring(line, p.name_start, p.name_end)),
        number_or_none(p.timed, p.mtime),
        number_or_none(p.timed, p.precision),
    };
    const Py_ssize_t count = timed ? 5 : 3;
    for (Py_ssize_t k = 0; k < count; ++k)
        if (!items[k]) return {};
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) return {};
    for (Py_ssize_t k = 0; k < count; ++k) PyTuple_SET_ITEM(tuple.get(), k, items[k].release());
    return tuple;
}

// Fills `entries` and, when it is given, `unknown`; false with an exception set on failure.
bool split_lines(PyObject* lines, long long seconds, bool timed, PyObject* entries, PyObject* unknown) {
    const Now now(seconds);
    if (!PyList_Check(lines)) {
        PyErr_Format(PyExc_TypeError, "lines must be a list of str, not %.200s", Py_TYPE(lines)->tp_name);
        return false;
    }
    Ref arrow = Ref::steal(PyUnicode_FromString(" -> "));
    if (!arrow) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines); ++i) {
        Ref line = Ref::borrow(PyList_GET_ITEM(lines, i));
        if (!PyUnicode_Check(line.get())) {
            PyErr_Format(PyExc_TypeError, "a LIST line must be str, not %.200s", Py_TYPE(line.get())->tp_name);
            return false;
        }
        const Parsed p = parse_line(line.get(), arrow.get(), now);
        if (PyErr_Occurred()) return false;
        if (p.what == What::entry) {
            Ref entry = entry_tuple(line.get(), p, timed);
            if (!entry || PyList_Append(entries, entry.get()) < 0) return false;
        } else if (p.what == What::unknown && unknown && PyList_Append(unknown, line.get()) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* list_entries(PyObject*, PyObject* lines) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries || !split_lines(lines, static_cast<long long>(std::time(nullptr)), false, entries.get(), nullptr))
        return nullptr;
    return entries.release();
}

PyObject* parse_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 && nargs != 2) {
        PyErr_Format(PyExc_TypeError, "parse_list() takes 1 or 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    long long now = static_cast<long long>(std::time(nullptr));
    if (nargs == 2 && args[1] != Py_None) {
        const double given = PyFloat_AsDouble(args[1]);
        if (given == -1 && PyErr_Occurred()) return nullptr;
        now = static_cast<long long>(given);
    }
    Ref entries = Ref::steal(PyList_New(0));
    Ref unknown = Ref::steal(PyList_New(0));
    if (!entries || !unknown || !split_lines(args[0], now, true, entries.get(), unknown.get())) return nullptr;
    return PyTuple_Pack(2, entries.get(), unknown.get());
}
