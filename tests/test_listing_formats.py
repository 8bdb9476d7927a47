"""LIST in every server's format: Unix `ls -l`, Windows/IIS and EPLF, read line by line,
and the lines no format reads reported by the engine rather than dropped."""

import calendar
import os

import pytest
from test_engine_listed import Scripted

from corvane.ftp import _datapath, connect
from corvane.ftp.transfer import get

NOW = calendar.timegm((2026, 12, 9, 0, 0, 0))  # what "now" is for the dates Unix lists without a year


def utc(*fields):
    return calendar.timegm(fields + (0,) * (6 - len(fields)))


@pytest.mark.parametrize("line, entry", [
    ("12-09-26  01:23PM       <DIR>          name", ("d", None, "name", utc(2026, 12, 9, 13, 23), 60)),
    ("12-09-26  12:05AM             1234 a  b ", ("-", 1234, "a  b ", utc(2026, 12, 9, 0, 5), 60)),
    ("12-09-26  12:05PM  7 noon", ("-", 7, "noon", utc(2026, 12, 9, 12, 5), 60)),
    ("01-02-1999  11:59pm  0 four digits", ("-", 0, "four digits", utc(1999, 1, 2, 23, 59), 60)),
    ("02-30-26  10:00  5 no such day", ("-", 5, "no such day", None, None)),
    ("+i8388621.29609,m824255902,/,\tdev", ("d", None, "dev", 824255902, 1)),
    ("+i8388621.44468,m839956783,r,s10376,\tRFC EPLF", ("-", 10376, "RFC EPLF", 839956783, 1)),
    ("+up644,\tneither", ("?", None, "neither", None, None)),
    ("-rw-r--r-- 1 a b 12 Dec 10 01:12 soon", ("-", 12, "soon", utc(2026, 12, 10, 1, 12), 60)),
    ("-rw-r--r-- 1 a b 12 dec 12 01:12 last year", ("-", 12, "last year", utc(2025, 12, 12, 1, 12), 60)),
    ("drwxr-xr-x+ 3 a b 4096 Feb 29  2024 leap", ("d", 4096, "leap", utc(2024, 2, 29), 86400)),
    ("lrwxrwxrwx 1 0 0 5 Jan  1 00:00 odd -> name -> target", ("l", 5, "odd -> name", utc(2026, 1, 1), 60)),
    ("crw-rw-rw- 1 0 0 1,   3 Dec  9 01:12 null", ("c", None, "null", utc(2026, 12, 9, 1, 12), 60)),
    ("brw-rw---- 1 0 6 8,0 Jan  1  2020 sda", ("b", None, "sda", utc(2020, 1, 1), 86400)),
    ("crw-rw-rw- 1 0 0 1, x Dec  9 01:12 odd", None),
    ("total 12", "nothing"), ("   ", "nothing"), ("drwxr-xr-x 2 a b 4096 Dec  9 01:12 ..", "nothing"),
    ("12-09-26  01:23PM  <DIR>  .", "nothing"), ("+/,\t.", "nothing"), ("13-09-26  01:23PM  1 no month", None),
    ("12-09-26  13:23PM  1 no hour", None), ("12-09-26  01:23PM  1,234 comma", None),
    ("12-09-26  01:23PM  <DIR>", None),
    ("+/,r,\tboth", None), ("+i1.2,m3\tno comma", None), ("+s12,r,", None),
    ("-rw-r--r-- 1 a b 7 2024-01-01 12:00 iso time", None), ("-rw-r--r-- 1 owner 7 Jan  1 12:00 no group", None),
    ("?rw-r--r-- 1 a b 7 Jan  1 12:00 mode", None), ("-rw-r--r-- 1 a b 7 Jan  1 24:00 hour", None),
    ("-rw-r--r-- 1 a b 7 Jan  1 12:00", None), ("Total 12", None), ("what is this?", None),
])
def test_each_format_and_what_is_none(line, entry):
    entries, unknown = _datapath.parse_list([line], NOW)
    if entry is None:
        assert (entries, unknown) == ([], [line])
    else:
        assert (entries, unknown) == ([] if entry == "nothing" else [entry], [])
    assert _datapath.list_entries([line]) == [e[:3] for e in entries]


def test_a_mixed_listing_keeps_its_order():
    lines = ["+r,s1,\tb", "junk", "-rw-r--r-- 1 a b 2 Jan  1  2020 c", "01-01-20  01:00AM  3 a"]
    entries, unknown = _datapath.parse_list(lines, NOW)
    assert [(e[2], e[1]) for e in entries] == [("b", 1), ("c", 2), ("a", 3)] and unknown == ["junk"]


class Windows(Scripted):  # LIST as IIS speaks it, its names in `encoding`
    def __init__(self, encoding):
        super().__init__(mlsd=False)
        self.path = connect("127.0.0.1", port=self.listener.getsockname()[1], user="u", password="p",
                            encoding=encoding)

    def line(self, kind, name, size):
        if kind == "raw":
            return name
        size = "      <DIR>         " if kind == "dir" else f"{size:>20}"
        return f"12-09-26  01:23PM {size} {name}"


@pytest.mark.parametrize("encoding, listed, local", [("utf-8", "ünï €", "ünï €"),
                                                      ("latin-1", "caf\udce9", "café")])
def test_get_from_a_windows_server(tmp_path, encoding, listed, local):
    server = Windows(encoding)
    try:
        server.listings = {"/t": [("dir", "sub", 0), ("file", "a b.txt", 3), ("raw", "What is this?", 0),
                                  ("raw", "+i1.2,m824255902,r,s2,\tep.txt", 0)],
                           "/t/sub": [("file", listed, 4)]}
        server.files = {"/t/a b.txt": b"abc", "/t/ep.txt": b"ep", f"/t/sub/{listed}": b"wxyz"}
        with pytest.raises(ExceptionGroup) as caught:
            get(server.path("/t"), tmp_path / "out", jobs=1)
    finally:
        server.stop()
    [error] = caught.value.exceptions
    assert "127.0.0.1:/t lists a line" in str(error) and "'What is this?'" in str(error)
    assert caught.value.report.files_moved == 3 and caught.value.report.files_failed == 1
    out = tmp_path / "out"
    assert [(out / name).read_bytes() for name in ("a b.txt", "ep.txt", f"sub/{local}")] == [b"abc", b"ep", b"wxyz"]
    assert os.stat(out / "ep.txt").st_mtime == 824255902  # EPLF's time is exact: it is kept
    assert (("OPTS", "UTF8 ON") in server.commands) == (encoding == "utf-8")
