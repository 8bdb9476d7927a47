"""glob on the fake server: traffic, listing rules, and the generator protocol."""

import collections.abc
import ftplib
import gc
import weakref

import pytest

from corvane.base import Local

import fakes
from fakes import QUIRKS


def entry(name, mode="-rw-r--r--"):
    return f"{mode}   1 user     group           0 Dec 08 19:59 {name}"


@pytest.fixture
def listed(fake, fake_path):
    """Globs a directory whose LIST gives exactly `lines`; returns what was delivered."""

    def run(lines, *pattern, path="/d"):
        fake.add_dir(path)
        fake.listing_extra[path] = lines
        return list(fake_path(path).glob(*pattern))

    return run


def probes_of_is_dir(fake, path):
    """The commands that is_dir() alone sends for `path`."""
    fake.log.clear()
    assert path.is_dir() is True
    probes = fake.commands()
    fake.log.clear()
    return probes


# ---- traffic ---------------------------------------------------------------

# Pure-FTPd cannot LIST a path with white space: see the tests of listing from inside.
@pytest.mark.parametrize("quirks, where", [(q, w) for q in QUIRKS for w in ("/d", "/d x")
                                           if QUIRKS[q]["list_spaces"] or " " not in w])
def test_traffic_is_is_dir_then_one_list(fake, fake_path, quirks, where):
    fake.quirks = QUIRKS[quirks]
    fake.add_file(where + "/a.txt", b"1").add_file(where + "/b.txt", b"22")
    directory = fake_path(where)
    probes = probes_of_is_dir(fake, directory)

    entries = directory.glob()
    assert fake.commands() == []
    assert sorted(str(e) for e in entries) == [where + "/a.txt", where + "/b.txt"]
    assert fake.commands() == probes + ["LIST " + where]


def test_calling_glob_sends_nothing_and_reads_no_client(fake, fake_path):
    fake.add_dir("/d")
    fake_path("/d").glob("*.txt")
    assert fake.sessions == [] and fake.log == []


def test_an_early_stop_causes_no_more_traffic_or_paths(fake, fake_path):
    joined = []

    class Counting(fake_path):
        def join(self, name):
            joined.append(name)
            return super().join(name)

    fake.add_dir("/d")
    fake.listing_extra["/d"] = [entry(f"f{i}") for i in range(5)]
    entries = Counting("/d").glob()
    assert next(entries) == Counting("/d/f0")
    sent = fake.commands()
    entries.close()
    del entries
    assert fake.commands() == sent and sent[-1] == "LIST /d"
    assert joined == ["f0"]


def test_consumer_may_use_the_client_between_entries(fake, fake_path):
    """The fake fails any command sent while a transfer is open."""
    fake.add_file("/d/a", b"1").add_file("/d/b", b"2")
    assert [(e.path.name, e.is_dir()) for e in fake_path("/d").glob()] == [("a", False), ("b", False)]
    assert fake.commands()[-2:] == ["NLST /d/b", "RETR /d/b"]


# ---- which lines become entries ---------------------------------------------

@pytest.mark.parametrize("lines, pattern, names", [
    pytest.param([entry(".hidden"), entry("."), entry(".."), entry("a")], (), [".hidden", "a"],
                 id="default pattern: dot-files too, never . or .."),
    pytest.param(["total 12", entry("a")], ("*",), ["a"], id="total header"),
    pytest.param(["-rw 1 u g 0 Dec 08 19:59 nine", "-rw 1 u g 0 Dec 08 19:59"], ("*",), ["nine"],
                 id="nine fields, not eight"),
    pytest.param(["-rw  1 u g 0 Dec 08 19:59  \t inner  space \t "], ("*",), ["inner  space \t "],
                 id="inner and trailing white space"),
    pytest.param([entry("ln -> target", mode="lrwxrwxrwx")], ("ln",), [], id="link: bare name does not match"),
    pytest.param([entry("ln -> target", mode="lrwxrwxrwx")], ("ln *",), ["ln -> target"], id="link: whole text"),
    pytest.param(["12-08-26  07:59PM       <DIR>          sub", "12-08-26  07:59PM            6 a.txt"], ("*",), [],
                 id="MS-DOS listing"),
    pytest.param([entry("a.txt"), entry("A.TXT")], ("*.TXT",), ["A.TXT"], id="case-sensitive"),
    pytest.param([entry("."), entry(".."), entry("a")], (".",), [], id="pattern '.'"),
    pytest.param([entry("."), entry(".."), entry("a")], ("..",), [], id="pattern '..'"),
    pytest.param([entry("b"), entry("a"), entry("b")], ("?",), ["b", "a", "b"], id="server order, duplicates"),
    pytest.param([entry("sub", mode="drwxr-xr-x"), entry("f")], ("*",), ["sub", "f"], id="directories too"),
    pytest.param([entry("w[1].txt"), entry("w1.txt"), entry("x*.txt")], ("w[[]1].txt",), ["w[1].txt"],
                 id="bracket as a member"),
    pytest.param([entry("a\\b"), entry("ab")], ("a\\b",), ["a\\b"], id="backslash is literal"),
    pytest.param([], ("*",), [], id="no lines at all"),
    pytest.param(["total 0"], ("*",), [], id="only the header"),
])
def test_listing_rules(listed, fake_path, lines, pattern, names):
    assert listed(lines, *pattern) == [fake_path("/d").join(n) for n in names]


def test_pattern_by_keyword(listed, fake_path):
    assert listed([entry("a.txt"), entry("b.dat")], path="/d") == [fake_path("/d/a.txt"), fake_path("/d/b.dat")]
    assert list(fake_path("/d").glob(pattern="*.dat")) == [fake_path("/d/b.dat")]


def test_a_line_that_is_not_text_names_the_directory(listed):
    with pytest.raises(TypeError, match=r"^LIST of '/d' delivered a line of type bytes, not str$"):
        listed([b"-rw 1 u g 0 Dec 08 19:59 a"])


# ---- refusals ------------------------------------------------------------------

@pytest.mark.parametrize("pattern, got", [(None, "NoneType"), (b"*", "bytes"), (1, "int"),
                                          (type("Text", (str,), {})("*"), "Text")])
def test_pattern_of_the_wrong_type_is_refused_at_the_call(fake, fake_path, pattern, got):
    with pytest.raises(TypeError) as caught:
        fake_path("/d").glob(pattern)
    assert str(caught.value) == f"Argument 'pattern' has incorrect type (expected str, got {got})"
    assert fake.sessions == []


def test_a_file_is_refused_at_the_first_request(fake, fake_path):
    fake.add_file("/f.txt", b"x")
    entries = fake_path("/f.txt").glob()
    with pytest.raises(TypeError, match=r"^'/f\.txt' is not a directory\.$"):
        next(entries)
    assert not any(c.startswith("LIST") for c in fake.commands())


def test_a_missing_path_raises_the_error_of_is_dir(fake, fake_path):
    entries = fake_path("/nope").glob()
    with pytest.raises(FileNotFoundError, match=r"^'/nope' does not exist\.$"):
        next(entries)
    assert not any(c.startswith("LIST") for c in fake.commands())


@pytest.mark.parametrize("bad", ["\0", "\r", "\n"], ids=["NUL", "CR", "LF"])
def test_nul_cr_lf_in_the_path_raise_at_the_first_request(fake, fake_path, bad):
    entries = fake_path(f"/d{bad}x").glob()
    with pytest.raises(ValueError) as caught:
        next(entries)
    assert str(caught.value) == f"'/d{bad}x' contains NUL, CR or LF, which FTP cannot carry."
    assert fake.log == []


def test_errors_of_the_listing_pass_out_unchanged(fake, fake_path):
    fake.add_file("/d/a", b"1")
    refusal = ftplib.error_temp("425 Can't open data connection.")
    fake.fail("LIST /d", refusal)
    entries = fake_path("/d").glob()
    with pytest.raises(ftplib.error_temp) as caught:
        next(entries)
    assert caught.value is refusal


@pytest.mark.parametrize("where", ["/d", "/d x"], ids=["walk", "look for an entry before listing from inside"])
def test_a_line_outlives_python_code_that_empties_the_listing(fake, fake_path, monkeypatch, where):
    listings, retrlines = [], fakes.FakeFTP.retrlines
    monkeypatch.setattr(fakes.FakeFTP, "retrlines", lambda s, c, f: retrlines(s, c, listings.append(f.__self__) or f))

    class Emptying(fake_path):
        def __getattribute__(self, name):
            if name == "path" and listings:
                listings.pop().clear()  # frees the line, unless it is held
                self.reuse = [(i,) * 24 for i in range(10**4)]  # objects of its size, to take its memory
            return super().__getattribute__(name)

    fake.add_dir(where)
    fake.listing_extra[where] = (bytes(200) for _ in "1")  # a line that only the listing holds
    with pytest.raises(TypeError, match=f"^LIST of '{where}' delivered a line of type bytes, not str$"):
        next(Emptying(where).glob())


# ---- the generator protocol -------------------------------------------------------

@pytest.fixture
def two_entries(fake, fake_path):
    fake.add_file("/d/a", b"1").add_file("/d/b", b"2")
    return fake_path("/d").glob()


def test_it_is_a_generator(two_entries):
    assert isinstance(two_entries, collections.abc.Generator)
    assert iter(two_entries) is two_entries


def test_send(two_entries, fake_path):
    with pytest.raises(TypeError, match=r"^can't send non-None value to a just-started generator$"):
        two_entries.send("x")
    assert two_entries.send(None) == fake_path("/d/a")
    assert two_entries.send("ignored") == fake_path("/d/b")
    with pytest.raises(StopIteration):
        two_entries.send(None)


@pytest.mark.parametrize("started", [False, True])
@pytest.mark.parametrize("thrown, kind, args", [
    ((KeyError,), KeyError, ()),
    ((KeyError, "k"), KeyError, ("k",)),
    ((KeyError("k"),), KeyError, ("k",)),
    ((KeyError("k"), None, None), KeyError, ("k",)),
    ((GeneratorExit,), GeneratorExit, ()),
    ((StopIteration("x"),), RuntimeError, ("generator raised StopIteration",)),  # as a generator: it is the cause
])
def test_throw_raises_it_and_ends_the_listing(fake, two_entries, started, thrown, kind, args):
    if started:
        next(two_entries)
    sent = fake.commands()
    with pytest.raises(kind) as caught:
        two_entries.throw(*thrown)
    assert caught.value.args == args and isinstance(caught.value.__cause__, StopIteration) == (kind is RuntimeError)
    with pytest.raises(StopIteration):
        next(two_entries)
    assert fake.commands() == sent


@pytest.mark.parametrize("args, message", [
    ((), "throw expected at least 1 argument, got 0"),
    ((KeyError, None, None, None), "throw expected at most 3 arguments, got 4"),
    ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((KeyError("k"), "v"), "instance exception may not have a separate value"),
    ((KeyError, None, "tb"), "throw() third argument must be a traceback object"),
])
def test_throw_refuses_what_cannot_be_raised_and_goes_on(two_entries, fake_path, args, message):
    with pytest.raises(TypeError) as caught:
        two_entries.throw(*args)
    assert str(caught.value) == message
    assert list(two_entries) == [fake_path("/d/a"), fake_path("/d/b")]


@pytest.mark.parametrize("started", [False, True])
def test_close_ends_the_listing_quietly(fake, two_entries, started):
    if started:
        next(two_entries)
    sent = fake.commands()
    assert two_entries.close() is None
    assert two_entries.close() is None
    assert list(two_entries) == []
    assert fake.commands() == sent


def test_an_error_ends_the_listing(fake, fake_path):
    entries = fake_path("/nope").glob()
    with pytest.raises(FileNotFoundError):
        next(entries)
    sent = fake.commands()
    with pytest.raises(StopIteration):
        next(entries)
    assert fake.commands() == sent


def test_a_request_from_inside_a_request_is_refused(fake, fake_path):
    running = []

    class Reentrant(fake_path):
        def join(self, name):
            return next(running[0])

    fake.add_file("/d/a", b"1")
    running.append(Reentrant("/d").glob())
    with pytest.raises(ValueError, match=r"^generator already executing$"):
        next(running[0])
    assert list(running[0]) == []


def test_a_cycle_through_the_listing_is_collected(fake, fake_path):
    directory = fake_path("/d")
    directory.entries = directory.glob()
    gone = weakref.ref(directory)
    del directory
    gc.collect()
    assert gone() is None


# ---- listing from inside, for servers that cannot LIST a path with white space ---------

@pytest.fixture
def pure(fake, fake_path):
    """A Pure-FTPd-like server holding '/d x' with two files; returns the directory's path."""
    fake.quirks = QUIRKS["pureftpd"]
    fake.add_file("/d x/a b.txt", b"1").add_file("/d x/c", b"2")
    return fake_path("/d x")


def test_white_space_path_is_listed_from_inside(fake, fake_path, pure):
    probes = probes_of_is_dir(fake, pure)
    assert list(pure.glob()) == [fake_path("/d x/a b.txt"), fake_path("/d x/c")]
    assert fake.commands() == probes + ["LIST /d x", "PWD", "CWD /d x", "LIST", "CWD /"]
    assert fake.sessions[-1].cwd == "/"


def test_no_second_listing_without_white_space(fake, fake_path):
    fake.quirks = QUIRKS["pureftpd"]
    fake.add_dir("/d")
    assert list(fake_path("/d").glob()) == []
    assert "PWD" not in fake.commands()


def test_no_second_listing_when_the_first_had_an_entry(fake, pure):
    fake.listing_extra["/d x"] = [entry("only")]
    assert [e.path.name for e in pure.glob()] == ["only"]
    assert "PWD" not in fake.commands()


@pytest.mark.parametrize("failure", [ftplib.error_perm("550 No."), ftplib.error_temp("421 Closing."),
                                     ConnectionResetError(104, "Connection reset by peer")],
                         ids=["550", "421", "reset"])
def test_failing_to_come_back_drops_the_client_and_still_delivers(fake, fake_path, pure, failure):
    fake.fail("CWD /", failure)
    entries = pure.glob()
    assert next(entries) == fake_path("/d x/a b.txt")
    assert Local.getattr(pure._key_on_thread()) is None
    assert list(entries) == [fake_path("/d x/c")]
    assert fake.sessions[0].cwd == "/d x"  # where the dropped session was left
    assert pure.exists is True
    assert len(fake.sessions) == 2


@pytest.mark.parametrize("failures, drop_fails, raised, context", [
    ({"CWD /": KeyboardInterrupt()}, False, KeyboardInterrupt, type(None)),
    ({"CWD /": KeyboardInterrupt()}, True, ZeroDivisionError, KeyboardInterrupt),
    ({"CWD /": ftplib.error_perm("550 Gone.")}, True, ZeroDivisionError, ftplib.error_perm),
    ({"LIST": ftplib.error_temp("425 No."), "CWD /": KeyboardInterrupt()}, False, KeyboardInterrupt, ftplib.error_temp),
])
def test_an_error_on_the_way_back_keeps_the_one_before(fake, pure, monkeypatch, failures, drop_fails, raised, context):
    for command, error in failures.items():
        fake.fail(command, error)
    pure.client  # made before the drop can break
    delattr, broken = Local.delattr, [1] * drop_fails
    monkeypatch.setattr(Local, "delattr", lambda key: broken.pop() / 0 if broken else delattr(key))
    with pytest.raises(raised) as caught:
        next(pure.glob())
    assert isinstance(caught.value.__context__, context) and Local.getattr(pure._key_on_thread()) is None


@pytest.mark.parametrize("refused, sent", [("PWD", ["PWD"]), ("CWD /d x", ["PWD", "CWD /d x"])])
def test_a_refused_pwd_or_cwd_gives_up_quietly(fake, pure, refused, sent):
    probes = probes_of_is_dir(fake, pure)
    fake.fail(refused, ftplib.error_perm("550 Permission denied."))
    assert list(pure.glob()) == []
    assert fake.commands() == probes + ["LIST /d x"] + sent


def test_a_failed_listing_inside_still_goes_back(fake, pure):
    refusal = ftplib.error_temp("425 Can't open data connection.")
    fake.fail("LIST", refusal)
    with pytest.raises(ftplib.error_temp) as caught:
        next(pure.glob())
    assert caught.value is refusal
    assert fake.commands()[-2:] == ["LIST", "CWD /"]
    assert fake.sessions[-1].cwd == "/"


# ---- delete walks the tree through glob ------------------------------------------------

def test_delete_removes_a_tree_depth_first(fake, fake_path):
    fake.add_file("/t/a", b"1").add_file("/t/s/b", b"2").add_dir("/t/s/e")
    fake_path("/t").delete()
    removals = [c for c in fake.commands() if c.split()[0] in ("DELE", "RMD")]
    assert removals == ["DELE /t/a", "DELE /t/s/b", "RMD /t/s/e", "RMD /t/s", "RMD /t"]
    assert fake.fs == {"/": None}
