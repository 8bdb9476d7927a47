"""The native line splitter and name matcher of glob agree with Python's own.

The reference is what glob is defined by: `line.split(maxsplit=8)`, the ninth
field as the name if `is_entry_name` takes it, and `fnmatch.fnmatch(name, pattern)`.
Lines reach glob through a client that answers like a server would, and `join`
hands back the bare name, so that the comparison sees exactly what glob chose.
"""

import fnmatch
import ftplib
import itertools
import random
import sys
import warnings

import pytest

from corvane.base import Local
from corvane.ftp._names import is_entry_name
from corvane.ftp.path import FTPPath

# Every character str.isspace() accepts, from the running interpreter itself.
WHITE = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]
# Characters near white space that are not white space to str.split.
NOT_WHITE = ["\u200b", "\u180e", "\ufeff", "\x00", "\x1b", "\x7f"]

# Name characters, by the storage width of the str they force.
POOLS = [
    "abcZ09._-",
    "abc.-\xe9\xff\xa1\xd7",
    "ab.\u03a9\u3042\u2010\uff3d",
    "a.\U0001d518\U0001f600\U0010fffd",
]
SPECIAL = "[]!^-*?\\&~|"


class NamePath(FTPPath):
    def join(self, name):
        return name


class ListingClient:
    """A client for a directory whose LIST gives `lines`."""

    def __init__(self):
        self.lines = []

    def nlst(self, path):
        return ["entry"]

    def retrbinary(self, command, callback, blocksize=8192):
        raise ftplib.error_perm("550 Is a directory.")

    def retrlines(self, command, callback):
        for line in self.lines:
            callback(line)
        return "226 Transfer complete."


@pytest.fixture
def native():
    directory = NamePath("/d")
    client = ListingClient()
    Local.setattr(directory._key_on_thread(), client)

    def run(lines, pattern):
        client.lines = lines
        return list(directory.glob(pattern))

    return run


def reference(lines, pattern):
    names = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # re's "possible nested set" on some brackets
        for line in lines:
            parts = line.split(maxsplit=8)
            if len(parts) == 9 and is_entry_name(parts[8]) and fnmatch.fnmatch(parts[8], pattern) and (
                    not parts[0].startswith("l") or is_entry_name(parts[8].rpartition(" -> ")[0] or parts[8])):
                names.append(parts[8])
    return names


def assert_agree(native, lines, pattern):
    got, want = native(lines, pattern), reference(lines, pattern)
    if got != want:
        bad = next(line for line in lines if native([line], pattern) != reference([line], pattern))
        pytest.fail(f"pattern {pattern!r}, line {bad!r}: native {native([bad], pattern)!r}, "
                    f"reference {reference([bad], pattern)!r}")
    return len(want)


# ---- generated cases ---------------------------------------------------------

FIELD_COUNTS = [9] * 6 + list(range(13))


class Material:
    """Words and white-space runs of one name pool, drawn once per seed."""

    def __init__(self, rng, pool):
        chars = pool + SPECIAL + "".join(NOT_WHITE)
        self.pool = pool
        self.words = ["".join(rng.choices(chars, k=rng.randint(1, 4))) for _ in range(300)]
        self.runs = ["".join(rng.choices(WHITE, k=rng.randint(1, 3))) for _ in range(100)]
        self.edges = [""] * 400 + self.runs  # white space at an end of one line in five


def bracket(rng, pool):
    body = "".join(rng.choices(pool[:4] + "-!^]\\[", k=rng.randint(0, 5)))
    return "[" + rng.choice(["", "!"]) + rng.choice(["", "]"]) + body + rng.choice(["]", "]", ""])


def make_pattern(rng, pool):
    pieces = []
    for _ in range(rng.randint(0, 7)):
        pieces.append(rng.choice([
            lambda: rng.choice(pool),
            lambda: "*" * rng.randint(1, 3),
            lambda: "?" * rng.randint(1, 2),
            lambda: bracket(rng, pool),
            lambda: rng.choice(SPECIAL),
            lambda: rng.choice(WHITE),
        ])())
    return "".join(pieces)


def instance_of(rng, pattern, m):
    """A name made to fit the pattern often, though not always."""
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == "*":
            out.append(rng.choice(["", rng.choice(m.words)]))
        elif c == "?":
            out.append(rng.choice(m.pool))
        elif c == "[" and "]" in pattern[i + 2:]:
            end = pattern.index("]", i + 2)
            out.append(rng.choice(pattern[i + 1:end]))
            i = end
        else:
            out.append(c)
        i += 1
    return "".join(out)


def make_name(rng, pattern, m):
    if rng.random() < 0.6:
        return instance_of(rng, pattern, m)
    return rng.choice([".", "..", rng.choice(m.words), rng.choice(m.words) + rng.choice(m.runs) + rng.choice(m.words)])


def make_line(rng, pattern, m):
    count = rng.choice(FIELD_COUNTS)
    parts = rng.choices(m.words, k=min(count, 8)) + ([make_name(rng, pattern, m)] if count >= 9 else [])
    line, *rest = parts or [""]
    for part, run in zip(rest, rng.choices(m.runs, k=len(rest))):
        line += run + part
    lead, trail = rng.choices(m.edges, k=2)
    return lead + line + trail


@pytest.mark.parametrize("seed", range(4))
def test_generated_lines_and_patterns(native, seed):
    rng = random.Random(seed)
    materials = [Material(rng, pool) for pool in POOLS]
    matched = 0
    for _ in range(1500):
        m = rng.choice(materials)
        pattern = make_pattern(rng, m.pool)
        lines = [make_line(rng, pattern, m) for _ in range(30)]
        matched += assert_agree(native, lines, pattern)
    assert matched > 5000  # the generator must keep producing names that match


def test_every_short_bracket_pattern(native):
    """Every pattern of up to five characters from the bracket alphabet, on every short name."""
    names = ["".join(p) for n in (1, 2) for p in itertools.product("ab-!]c[", repeat=n)]
    names += ["".join(p) for p in itertools.product("ab]", repeat=3)]
    lines = [f"-rw-r--r-- 1 u g 0 Dec 08 19:59 {name}" for name in names]
    for n in range(6):
        for chars in itertools.product("[]!-ab", repeat=n):
            assert_agree(native, lines, "".join(chars))


@pytest.mark.parametrize("pattern", ["[b-a!]", "[b-a!x]", "[b-a!-z]", "[]-A]", "[!]-A]", "[a--z]", "[z-a]",
                                     "[!z-a]", "[a-c-e]", "[+--]", "[\\-z]", "[[:alpha:]]", "a\\*b", "[]", "[!]",
                                     "[^a]", "[!^]", "[a-^]", "[&&]", "[~|]"])
def test_bracket_quirks_of_translate(native, pattern):
    """Brackets where fnmatch.translate rewrites the set before the regex sees it."""
    names = [chr(c) for c in range(0x20, 0x80)] + ["a*b", "a\\b", "a\\*b", "[]", "[!]", "[:]"]
    lines = [f"-rw-r--r-- 1 u g 0 Dec 08 19:59 {name}" for name in names if not name.isspace()]
    assert_agree(native, lines, pattern)


@pytest.mark.parametrize("white", WHITE + NOT_WHITE, ids=lambda c: f"U+{ord(c):04X}")
def test_each_white_space_character_separates_fields(native, white):
    fields = ["-rw-r--r--", "1", "u", "g", "0", "Dec", "08", "19:59", f"a{white}b{white}"]
    line = white.join(fields)
    assert_agree(native, [line, white + line], "*")


def test_every_one_byte_character_splits_as_str_split_does(native):
    """One-byte lines are classified in blocks of 16: every byte, at several places in a block."""
    lines = []
    for code in range(256):
        c = chr(code)
        lines.append(c.join(["abc"] * 8 + [f"name{c}x{c}"]))
        lines.append("x" * (code % 16) + c + " ".join(["de" + c + "f"] * 9))
    assert_agree(native, lines, "*")
