"""serve on the address given, config sections with comments at the ends of lines, and hints
in the command line's own words."""

import re
import subprocess

import pytest
import servers
from test_cli import CLI, PASSWORD, PASSWORD_VAR, run

from corvane.config import ENV_VAR, EnvConfig


@pytest.fixture
def serve(tmp_path):  # starts `corvane-ftp serve` with the options given: (root, host, port)
    started = []

    def start(*options):
        root = tmp_path / "served"
        root.mkdir(exist_ok=True)
        env = {**servers.clean_env(), PASSWORD_VAR: PASSWORD}
        env.pop("PYTHONPATH", None)
        proc = subprocess.Popen(CLI + ["serve", str(root), "--password-env", PASSWORD_VAR, *options],
                                stdout=subprocess.PIPE, text=True, env=env)
        started.append(proc)
        host, port = re.search(r"@\[?([0-9a-f.:]+?)\]?:(\d+)/", proc.stdout.readline()).groups()
        if "--tls" not in options:
            return root, host, port
        ca_file = next(line for line in proc.stdout if line.startswith("  ca_file = ")).split(" = ")[1].strip()
        return root, host, port, "--tls", options[1], "--ca-file", ca_file

    yield start
    for proc in started:
        proc.terminate()
        assert proc.wait(10) == 0


@pytest.mark.parametrize("host", ["::1", "127.0.0.9"])
def test_serve_listens_where_told_and_the_engine_reaches_it(serve, tmp_path, host):
    root, shown, port, *_ = serve("--host", host)
    (root / "d" / "e").mkdir(parents=True)
    (root / "d" / "e" / "f.bin").write_bytes(b"x" * 70_000)
    options = ["--host", host, "--port", port, "--user", "corvane", "--password-env", PASSWORD_VAR]
    # PASV on [::1] gets "227 ... (::1,149,193)", which no client can read: only EPSV works.
    result = run(options, "get", "-j", "2", "/d", str(tmp_path / "back"))
    assert (shown, result.returncode, result.stderr) == (host, 0, "")
    assert (tmp_path / "back" / "e" / "f.bin").read_bytes() == b"x" * 70_000


@pytest.mark.parametrize("mode", ["explicit", "implicit"])
def test_serve_over_tls_with_a_certificate_of_its_own(serve, tmp_path, mode):
    pytest.importorskip("OpenSSL")
    root, host, port, *tls = serve("--tls", mode)
    (root / "f.txt").write_bytes(b"secret")
    options = ["--host", host, "--port", port, "--user", "corvane", "--password-env", PASSWORD_VAR, *tls]
    result = run(options, "get", "/f.txt", str(tmp_path / "f.txt"))
    assert (result.returncode, result.stderr, (tmp_path / "f.txt").read_bytes()) == (0, "", b"secret")
    assert run(options[:-2], "ls", "/").returncode == 1  # nothing trusts it without its certificate


@pytest.mark.parametrize("options", [["--ca-file", "x.pem"], ["--no-verify"], ["--config", "x.ini"]])
def test_serve_lists_only_what_it_takes(options):
    assert not set(options) & set(re.findall(r"--[a-z-]+", run([], "serve", "--help").stdout))
    result = run(options, "serve", "/nonexistent")
    assert result.returncode == 2 and f"not {options[0]}" in result.stderr


@pytest.mark.parametrize("comment", ["; why", "# why"])
def test_a_section_takes_comments_at_line_ends(serve, tmp_path, monkeypatch, comment):
    root, host, port, *_ = serve()
    (root / "seen.txt").write_bytes(b"")
    (tmp_path / "c.ini").write_text(f"[box]\nhost = {host} {comment}\nport = {port}\t{comment}\n"
                                    f"user = corvane {comment}\npasswd = {PASSWORD}  {comment}\n"
                                    f"timeout = 30 {comment}\npasv = yes {comment}\n"
                                    f"[ftp]\nhost = {host}\npasswd = a {comment}\n")
    result = run(["--config", str(tmp_path / "c.ini"), "--section", "box"], "ls", "/")
    assert (result.returncode, result.stdout, result.stderr) == (0, "seen.txt\n", "")
    monkeypatch.setenv(ENV_VAR, str(tmp_path / "c.ini"))
    assert EnvConfig.section("ftp")["passwd"] == f"a {comment}"  # FTPPath's own: as written


@pytest.mark.parametrize("how, words", [
    ("host", "connect without --tls, or with --tls implicit to its TLS port"),
    ("section", "connect without tls, or with tls = implicit to its TLS port"),
    ("no-verify", "--ca-file and --no-verify apply to TLS sessions: give --tls explicit or implicit too"),
])
def test_hints_name_what_the_user_typed(serve, tmp_path, how, words):
    _, host, port, *_ = serve()
    (tmp_path / "c.ini").write_text(f"[box]\nhost = {host}\nport = {port}\ntls = explicit\n")
    options = {"host": ["--host", host, "--port", port, "--tls", "explicit"],
               "section": ["--config", str(tmp_path / "c.ini"), "--section", "box"],
               "no-verify": ["--host", host, "--no-verify"]}[how]
    result = run(options, "ls", "/")
    assert words in result.stderr and "tls='" not in result.stderr and "verify=False" not in result.stderr
    assert result.returncode == (2 if how == "no-verify" else 1)
