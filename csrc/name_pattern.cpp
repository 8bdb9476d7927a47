// Compiling and matching shell-style name patterns; see name_pattern.hpp.
//
// The bracket rules follow CPython's fnmatch.translate() and what its regex
// parser then makes of the class it writes, because callers compare our
// results with fnmatch.fnmatch: `]` right after `[` or `[!` is a member; a
// `[` without a closing `]` is a literal; `-` between two members makes a
// range, but translate() first drops every range whose ends are reversed
// *together with both ends*, and it decides negation only afterwards, on the
// text that is left ("[b-a!x]" ends up as "[^x]"). Everything else, the
// backslash included, stands for itself.
#include "name_pattern.hpp"

#include <algorithm>
#include <string>

namespace {

// A character of the class text that translate() hands to the regex parser;
// `joins` marks the one unescaped `-` between two chunks, the only kind that
// can make a range.
struct Item {
    Py_UCS4 ch;
    bool joins;
};

// translate()'s chunks of a bracket body pat[begin, end) with a `-` in it: the
// body is cut at each `-` that can make a range. The first chunk is never
// empty; each later one but the last holds at least two characters (a `-`
// found at k resumes the search at k + 3), so the ends compared below exist.
std::vector<std::u32string> chunks_of(const std::u32string& pat, std::size_t begin, std::size_t end) {
    std::vector<std::u32string> chunks;
    std::size_t i = begin;
    for (std::size_t k = pat.find(U'-', pat[begin] == U'!' ? begin + 2 : begin + 1); k < end;
         k = pat.find(U'-', k + 3)) {
        chunks.push_back(pat.substr(i, k - i));
        i = k + 1;
    }
    if (i < end)
        chunks.push_back(pat.substr(i, end - i));
    else
        chunks.back() += U'-';  // a trailing `-` is a member
    // Reversed ranges are invalid in a regex; translate() drops them, ends
    // and all, merging the neighbouring chunks, from the right.
    for (std::size_t c = chunks.size() - 1; c > 0; --c) {
        if (chunks[c - 1].back() > chunks[c].front()) {
            chunks[c - 1].pop_back();
            chunks[c - 1] += chunks[c].substr(1);
            chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(c));
        }
    }
    return chunks;
}

std::vector<Item> class_text(const std::u32string& pat, std::size_t begin, std::size_t end) {
    std::vector<Item> items;
    if (pat.find(U'-', begin) >= end) {
        for (std::size_t i = begin; i < end; ++i) items.push_back({pat[i], false});
        return items;
    }
    const std::vector<std::u32string> chunks = chunks_of(pat, begin, end);
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        if (c > 0) items.push_back({'-', true});
        for (char32_t ch : chunks[c]) items.push_back({ch, false});
    }
    return items;
}

}  // namespace

bool NamePattern::CharSet::contains(Py_UCS4 c) const {
    bool inside = std::any_of(ranges.begin(), ranges.end(), [c](const Range& r) { return r.lo <= c && c <= r.hi; });
    return inside != negated;
}

NamePattern::CharSet NamePattern::compile_set(const std::u32string& pat, std::size_t begin, std::size_t end) {
    std::vector<Item> items = class_text(pat, begin, end);
    // An empty text matches nothing; "!" alone, negating nothing, matches any
    // character.
    CharSet set;
    std::size_t i = 0;
    if (!items.empty() && items[0].ch == '!') {
        set.negated = true;
        i = 1;
    }
    // Read as the regex parser reads a class: a member, then `-` and a
    // member make a range. A leading `-` is a member.
    while (i < items.size()) {
        Py_UCS4 lo = items[i++].ch;
        if (i + 1 < items.size() && items[i].joins) {
            set.ranges.push_back({lo, items[i + 1].ch});
            i += 2;
        } else {
            set.ranges.push_back({lo, lo});
        }
    }
    return set;
}

NamePattern::NamePattern(PyObject* pattern) {
    std::u32string pat;
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(pattern); i < n; ++i)
        pat += static_cast<char32_t>(PyUnicode_READ_CHAR(pattern, i));

    const std::size_t size = pat.size();
    std::size_t i = 0;
    while (i < size) {
        Py_UCS4 c = pat[i++];
        if (c == '*') {
            if (steps_.empty() || steps_.back().kind != Step::star) steps_.push_back({Step::star, 0, 0});
        } else if (c == '?') {
            steps_.push_back({Step::any, 0, 0});
        } else if (c == '[') {
            std::size_t j = i;
            if (j < size && pat[j] == '!') ++j;
            if (j < size && pat[j] == ']') ++j;
            while (j < size && pat[j] != ']') ++j;
            if (j >= size) {
                steps_.push_back({Step::literal, '[', 0});
            } else {
                sets_.push_back(compile_set(pat, i, j));
                steps_.push_back({Step::set, 0, sets_.size() - 1});
                i = j + 1;
            }
        } else {
            steps_.push_back({Step::literal, c, 0});
        }
    }
    const auto is_star = [](const Step& step) { return step.kind == Step::star; };
    auto first_star = std::find_if(steps_.begin(), steps_.end(), is_star);
    has_star_ = first_star != steps_.end();
    head_ = first_star - steps_.begin();
    tail_ = has_star_ ? std::find_if(steps_.rbegin(), steps_.rend(), is_star) - steps_.rbegin() : 0;
}

bool NamePattern::accepts(const Step& step, Py_UCS4 c) const {
    switch (step.kind) {
        case Step::literal:
            return step.ch == c;
        case Step::any:
            return true;
        case Step::set:
            return sets_[step.set_at].contains(c);
        case Step::star:
            break;
    }
    return false;
}

// Steps [first, last), none a star, against as many characters of `name`.
template <typename Char>
bool NamePattern::fits(Py_ssize_t first, Py_ssize_t last, const Char* name) const {
    for (Py_ssize_t p = first; p < last; ++p)
        if (!accepts(steps_[static_cast<std::size_t>(p)], name[p - first])) return false;
    return true;
}

// Steps [first, last), which begin and end with a star, against the whole of
// `name`. Every other step takes exactly one character, so trying each piece
// between stars at its earliest place and moving only the last star on
// failure finds a match whenever one exists, in O(name x pattern) at worst.
template <typename Char>
bool NamePattern::search(Py_ssize_t first, Py_ssize_t last, const Char* name, Py_ssize_t n) const {
    Py_ssize_t p = first, s = 0;
    Py_ssize_t after_star = -1, resume = 0;
    while (s < n) {
        if (steps_[static_cast<std::size_t>(p)].kind == Step::star) {
            if (++p == last) return true;  // the closing star takes the rest
            after_star = p;
            resume = s;
        } else if (accepts(steps_[static_cast<std::size_t>(p)], name[s])) {
            ++p;
            ++s;
        } else {  // a star has been seen: the span opens with one
            p = after_star;
            s = ++resume;
        }
    }
    while (p < last && steps_[static_cast<std::size_t>(p)].kind == Step::star) ++p;
    return p == last;
}

// The fixed head and tail are tried first: most names fail there, in a few
// comparisons, before any star is tried.
template <typename Char>
bool NamePattern::match(const Char* name, Py_ssize_t n) const {
    const auto count = static_cast<Py_ssize_t>(steps_.size());
    if (!has_star_) return n == count && fits(0, count, name);
    if (n < head_ + tail_ || !fits(count - tail_, count, name + n - tail_) || !fits(0, head_, name)) return false;
    return search(head_, count - tail_, name + head_, n - head_ - tail_);
}

bool NamePattern::matches(int kind, const void* data, Py_ssize_t start, Py_ssize_t end) const {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return match(static_cast<const Py_UCS1*>(data) + start, end - start);
        case PyUnicode_2BYTE_KIND:
            return match(static_cast<const Py_UCS2*>(data) + start, end - start);
        default:
            return match(static_cast<const Py_UCS4*>(data) + start, end - start);
    }
}
