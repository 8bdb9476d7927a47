"""The corvane-ftp command line, run as a user runs it, against its own `serve` on a free port."""

import os
import re
import socket
import subprocess
import sysconfig

import pytest
import servers

CLI = [os.path.join(sysconfig.get_path("scripts"), "corvane-ftp")]
PASSWORD_VAR = "CORVANE_TEST_PASSWORD"
PASSWORD = "pass word%1"


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


def run(options, *args, password=PASSWORD):
    return subprocess.run(CLI + options + list(args), capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL, env={**os.environ, PASSWORD_VAR: password})


def test_tree_round_trip(served, tmp_path):
    root, options = served
    files = {"a.txt": b"alpha\n", "sub/b.bin": os.urandom(70_000), "sub/deeper/c.txt": b""}
    for name, data in files.items():
        (tmp_path / "tree" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "tree" / name).write_bytes(data)
    steps = [
        (["put", "-j", "4", str(tmp_path / "tree"), "/up"], r"put: 3 files \(68\.4 KiB\) moved, 0 up to date.*\n"),
        (["put", "-j", "4", "--update", str(tmp_path / "tree"), "/up"], r"put: 0 files .*, 3 up to date.*\n"),
        (["ls", "/up"], r"a\.txt\nsub\n"),
        (["ls", "-l", "/up/sub"], r"- +70000  \d{4}-\d\d-\d\d \d\d:\d\d:\d\d  b\.bin\nd +-  +-  +deeper/\n"),
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
