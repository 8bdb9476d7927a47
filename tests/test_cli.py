"""The corvane-ftp command line, run as a user runs it, against its own `serve` on a free port."""

import os
import re
import socket
import subprocess
import sysconfig
import warnings
from pathlib import Path

import pytest
import servers

from corvane.config import ConfigError
from corvane.ftp import FTPPath, cli, commands, from_config

CLI = [os.path.join(sysconfig.get_path("scripts"), "corvane-ftp")]
PASSWORD_VAR = "CORVANE_TEST_PASSWORD"
PASSWORD = "pass word%1"
SECRET = "hunter2-secret"


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """(served root, the options that reach it)."""
    root = tmp_path_factory.mktemp("served")
    # The server, as the other test servers, runs without the sanitizer runtime, and so on the
    # package's ordinary build rather than a sanitized one that PYTHONPATH may name.
    env = {**servers.clean_env(), PASSWORD_VAR: PASSWORD}
    env.pop("PYTHONPATH", None)
    proc = subprocess.Popen(CLI + ["serve", str(root), "--user", "tester", "--password-env", PASSWORD_VAR],
                            stdout=subprocess.PIPE, text=True, env=env)
    port = re.search(r"@127\.0\.0\.1:(\d+)/", proc.stdout.readline()).group(1)
    yield root, ["--host", "127.0.0.1", "--port", port, "--user", "tester", "--password-env", PASSWORD_VAR]
    proc.terminate()
    assert proc.wait(10) == 0


def run(options, *args, password=PASSWORD, text=True):
    return subprocess.run(CLI + options + list(args), capture_output=True, text=text, timeout=60,
                          stdin=subprocess.DEVNULL, env={**os.environ, PASSWORD_VAR: password})


def test_tree_round_trip(served, tmp_path):
    root, options = served
    files = {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(70_000), "sub/deeper/c.txt": b""}
    for name, data in files.items():
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / name).write_bytes(data)
    os.mkfifo(tmp_path / "tree" / "sub" / "pipe")
    steps = [
        (["put", "-j", "4", str(tmp_path / "tree"), "/up"],
         r"put: 3 files \(68\.4 KiB\) moved, 0 up to date.*; 1 special file left out\n"),
        (["put", "-j", "4", "--update", str(tmp_path / "tree"), "/up"], r"put: 0 files .*, 3 up to date.*\n"),
        (["ls", "/up"], r"a\.txt\nsub\n"),
        (["ls", "-l", "/up/sub"], r"- +70000  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  b\.bin\nd +-  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  deeper/\n"),
        (["cat", "/up/a.txt"], r"alpha\n"),
        (["stat", "/up/sub/b.bin"], r"path:   /up/sub/b\.bin\nexists: yes\nkind:   file\nsize:   70000\n"
                                    r"mtime:  \d{4}-.* \(server's UTC \+ 8 h\)\n"),
        (["get", "-j", "4", "/up", str(tmp_path / "back")], r"get: 3 files \(68\.4 KiB\) moved.*\n"),
        # A single file into an existing directory lands there under its own name, both ways.
        (["put", str(tmp_path / "tree" / "a.txt"), "/up/sub"], r"put: 1 file \(6 B\) moved.*\n"),
        (["get", "/up/sub/a.txt", str(tmp_path / "back")], r"get: 1 file \(6 B\) moved.*\n"),
        (["cat", "/up/sub/a.txt"], r"alpha\n"),
        (["rm", "-r", "--yes", "/up"], r""),
    ]
    for args, output in steps:
        result = run(options, *args)
        assert (result.returncode, result.stderr) == (0, ""), args
        assert re.fullmatch(output, result.stdout), args
    assert {name: (tmp_path / "back" / name).read_bytes() for name in files} == files
    assert not (root / "up").exists()


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return str(s.getsockname()[1])


@pytest.mark.parametrize("args, password, line", [
    (["ls", "/"], "wrong", r"ls / on {}: login refused \(530 .*\): check --user and the password"),
    (["cat", "/nowhere"], PASSWORD, r"cat /nowhere on {}: '/nowhere' does not exist\."),
    (["stat", "/no/deeper"], PASSWORD, r"stat /no/deeper on {}: '/no/deeper' does not exist\."),
    (["--port", "CLOSED", "ls", "/"], PASSWORD, r"ls / on {}: connection refused: no FTP server listens there .*"),
    (["rm", "-r", "/kept"], PASSWORD, r"rm /kept on {}: '/kept' is a directory tree and there is no terminal .*"),
])
def test_expected_failure_is_one_line(served, args, password, line):
    root, options = served
    (root / "kept").mkdir(exist_ok=True)
    port = closed_port() if "CLOSED" in args else options[options.index("--port") + 1]
    result = run(options, *[port if a == "CLOSED" else a for a in args], password=password)
    assert result.returncode == 1
    assert re.fullmatch("corvane-ftp: " + line.format(rf"tester@127\.0\.0\.1:{port}") + "\n", result.stderr)
    assert (root / "kept").is_dir()



def fault_options(server):
    return ["--host", server.host, "--user", server.user, "--password-env", PASSWORD_VAR]


HOSTILE = "esc\x1b]0;pwned\x07", "csi\x9b2J", "tab\tx", "del\x7fx", "f"


@pytest.mark.parametrize("fault, args, shown", [
    (None, ["ls", "/h"], "csi?2J\ndel?x\nesc?]0;pwned?\nf\ntab?x\n"),
    (None, ["ls", "-l", "/h"], "  esc?]0;pwned?\n"),
    (None, ["stat", "/h/" + HOSTILE[0]], "path:   /h/esc?]0;pwned?\n"),
    (None, ["get", "/h-cr", "LOCAL"], ""),  # the engine's own listing keeps a CR, which ftplib's would split at
    (None, ["cat", "/a\nb"], "argument PATH: '/a\\nb' holds NUL, CR or LF, which no FTP command can carry\n"),
    (("DELE", "reply", "450-one\r\n450 \x1b]0;pwned\x07\x9b2J\tno"), ["rm", "/h/f"], "450-one?450 ?]0;pwned??2J?no\n"),
    (("MLSD", "send", "type=file;size=x; f\r\n"), ["ls", "-l", "/h/f"], "-            ?  "),
    (("SIZE", "reply", "213 abc"), ["stat", "/h/f"], "size:   ?\n"),
    (("MDTM", "reply", "213 abc"), ["stat", "/h/f"], "mtime:  ? "),
    (("MLSD", "send", "\x1b\xff\r\n"), ["ls", "/h"], ": the server sent text that is not utf-8: "),
])
def test_what_a_server_sends_reaches_the_terminal_printable(fault_server, tmp_path, fault, args, shown):
    for name in (*("h/" + name for name in HOSTILE), "h-cr/cr\rx"):
        os.makedirs(os.path.dirname(os.path.join(fault_server.root, name)), exist_ok=True)
        open(os.path.join(fault_server.root, name), "w").close()
    if fault:
        fault_server.arm(fault[0], fault[1], times=10, **{"reply" if fault[1] == "reply" else "data": fault[2]})
    args = [str(tmp_path) if a == "LOCAL" else a for a in args]
    result = run(fault_options(fault_server), *args, password=fault_server.password, text=False)
    fault_server.disarm()
    output = result.stdout + result.stderr
    assert shown.encode() in output and not re.search(rb"[\x00-\x09\x0b-\x1f\x7f-\x9f]|Traceback", output)


@pytest.mark.parametrize("text, where", [
    (f"[ftp]\nhost = h\npasswd {SECRET}\n", "line 3: neither a [section] header nor a name = value option"),
    (f"passwd = {SECRET}\n[ftp]\n", "line 1: an option before the first [section] header"),
    (f"[ftp]\npasswd = {SECRET}\n[ftp]\n", "line 3: section [ftp] written twice"),
    (f"[ftp]\npasswd = {SECRET}\npasswd = {SECRET}\n", "line 3: option 'passwd' written twice in section [ftp]"),
])
@pytest.mark.parametrize("reader", ["FTPPath", "from_config", "--config", "--host"])
def test_a_config_line_that_cannot_be_parsed_is_named_by_number(fake, fault_server, tmp_path, monkeypatch, text,
                                                                where, reader):
    (tmp_path / "c.ini").write_text(text)
    monkeypatch.setenv("CORVANE_CONFIG", str(tmp_path / "c.ini"))
    message = f"config file {str(tmp_path / 'c.ini')!r}, {where}"
    if reader in ("FTPPath", "from_config"):
        configured = type("Configured", (FTPPath,), {"_creator": fake.connect})
        with pytest.raises(ConfigError) as info:
            from_config("ftp") if reader == "from_config" else configured("/").exists
        assert str(info.value) == message and SECRET not in f"{info.value.__context__} {info.value.__cause__}"
    else:  # with --host the sessions read the file too, at each login
        options = ["--config", str(tmp_path / "c.ini")] if reader == "--config" else fault_options(fault_server)
        result = run(options, "ls", "/", password=fault_server.password)
        assert (result.returncode, result.stderr.endswith(f": {message}\n")) == ({"--config": 2}.get(reader, 1), True)
        assert SECRET not in result.stderr + result.stdout


def test_an_unexpected_failure_shows_a_printable_traceback(monkeypatch, capsys):
    def hostile(target, args):
        raise RuntimeError("\x1b]0;pwned\x07")

    monkeypatch.setattr(commands, "ls", hostile)
    monkeypatch.setattr(warnings, "formatwarning", warnings.formatwarning)  # main() sets its own
    assert cli.main(["--host", "127.0.0.1", "ls"]) == 1
    assert capsys.readouterr().err.endswith("\nRuntimeError: ?]0;pwned?\n")


@pytest.fixture
def faulty(fault_server, tmp_path):
    """The options that reach the fault server, and a directory of this test's on it."""
    name = os.path.basename(tmp_path)  # pytest's own: plain characters, and new in each run
    os.makedirs(os.path.join(fault_server.root, name))
    return fault_options(fault_server), name


@pytest.mark.parametrize("inplace", [False, True], ids=["default", "inplace"])
def test_failed_put_over_a_file_keeps_the_old_copy_unless_inplace(fault_server, faulty, tmp_path, inplace):
    options, name = faulty
    Path(fault_server.root, name, "keep.bin").write_bytes(b"the good copy\n")
    (tmp_path / "new.bin").write_bytes(os.urandom(100_000))
    fault_server.arm("STOR", "cut", times=3, after=1000)  # every try
    result = run(options, "put", *["--inplace"] * inplace, str(tmp_path / "new.bin"), f"/{name}/keep.bin",
                 password=servers.USER_PASSWORD)
    assert (result.returncode, result.stderr.count("\n"), "1 failed" in result.stderr) == (cli.PARTIAL, 1, True)
    assert {p.name: p.read_bytes() for p in Path(fault_server.root, name).iterdir()} == \
        ({} if inplace else {"keep.bin": b"the good copy\n"})


@pytest.mark.parametrize("args, command", [(["ls", "{dir}"], "MLSD"), (["cat", "{dir}/f"], "RETR"),
                                           (["get", "{dir}/f", "{back}"], "RETR"),
                                           (["put", "{new}", "{dir}/f"], "STOR")])
def test_timeout_ends_a_command_that_trickles_in_one_line(fault_server, faulty, tmp_path, args, command):
    options, name = faulty
    Path(fault_server.root, name, "f").write_bytes(b"old" * 1000)
    (tmp_path / "new").write_bytes(b"new" * 1000)
    fault_server.arm(command, "trickle", interval=0.05)
    args = [a.format(dir=f"/{name}", back=tmp_path / "back", new=tmp_path / "new") for a in args]
    result = run(options + ["--timeout", "1"], *args, password=servers.USER_PASSWORD)
    remote = args[2] if args[0] == "put" else args[1]
    shown = result.stdout if args[0] == "cat" and ("old" * 1000).startswith(result.stdout) else None
    assert (result.returncode, result.stdout, result.stderr) == (1, shown or "", f"corvane-ftp: {args[0]} {remote} on "
                                                                 f"{fault_server.user}@{fault_server.host}:21: "
                                                                 "did not finish within 1 s\n")
    assert sorted(os.listdir(os.path.join(fault_server.root, name))) == ["f"] and not (tmp_path / "back").exists()


def _peak_kib(argv, **streams):
    """The peak resident memory of one run of the command line, in KiB (its own, not its siblings')."""
    proc = subprocess.Popen(CLI + argv, env={**os.environ, PASSWORD_VAR: PASSWORD}, **streams)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == 0
    return usage.ru_maxrss


@pytest.mark.parametrize("command", ["cat", "get"])
def test_a_big_file_streams_to_standard_output_in_flat_memory(served, tmp_path, command):
    root, options = served
    (root / "small.bin").write_bytes(b"s")
    (root / "big.bin").write_bytes(os.urandom(1 << 20) * 160)
    tail = ["-"] if command == "get" else []
    with open(tmp_path / "small", "wb") as small, open(tmp_path / "big", "wb") as big:
        baseline = _peak_kib(options + [command, "/small.bin", *tail], stdout=small, stdin=subprocess.DEVNULL)
        peak = _peak_kib(options + [command, "/big.bin", *tail], stdout=big, stdin=subprocess.DEVNULL)
    assert (tmp_path / "big").read_bytes() == (root / "big.bin").read_bytes()
    assert peak - baseline < 40 << 10  # KiB: the 160 MiB file is never held whole


def test_put_dash_stores_standard_input_under_a_temporary_name(served):
    root, options = served
    data = os.urandom(3 << 20)
    done = subprocess.run(CLI + options + ["put", "-", "/from-stdin.bin"], input=data, capture_output=True,
                          timeout=60, env={**os.environ, PASSWORD_VAR: PASSWORD})
    assert done.returncode == 0 and (root / "from-stdin.bin").read_bytes() == data
    assert not [name for name in os.listdir(root) if name.endswith(".part")]
