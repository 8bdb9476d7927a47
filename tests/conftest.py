import os
import re
import shutil
import signal
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import faults  # noqa: E402
import servers  # noqa: E402
from fakes import FakeServer  # noqa: E402
from hostile import HostileServer  # noqa: E402

from corvane.base import Local  # noqa: E402
from corvane.ftp.path import FTPPath  # noqa: E402


def _clear_slot():
    Local.delattr(FTPPath("/")._key_on_thread())


@pytest.fixture(autouse=True)
def fresh_client(monkeypatch):
    """Each test starts with no client on its thread and retries without pauses."""
    monkeypatch.setenv("CORVANE_RETRY_DELAY", "0")
    monkeypatch.delenv("CORVANE_RETRY_TIMES", raising=False)
    _clear_slot()
    yield
    _clear_slot()


# ---- fake client ---------------------------------------------------------

@pytest.fixture
def fake():
    """An in-memory server in pyftpdlib's manner; `fake.quirks` may be changed."""
    return FakeServer("pyftpdlib")


@pytest.fixture
def fake_path(fake, monkeypatch):
    """FTPPath objects whose clients are sessions of `fake` (made by the real _reset)."""
    monkeypatch.delenv("CORVANE_CONFIG", raising=False)

    class FakePath(FTPPath):
        _creator = staticmethod(lambda **settings: fake.connect(**settings))

        def _read_config(self, section):
            return {"host": "fake.invalid"}

    return FakePath


@pytest.fixture
def counting(fake_path):
    """Like fake_path, counting the calls of _valid_reset (which still run)."""
    class Counting(fake_path):
        resets = 0

        def _valid_reset(self):
            type(self).resets += 1
            return super()._valid_reset()

    return Counting


# ---- real servers --------------------------------------------------------

# Fixtures that start a server process. A run with --fake-client-only (the debug
# interpreter's, which has no pyftpdlib) leaves out every test that uses one.
SERVER_FIXTURES = {"server", "tls_server", "fault_server", "served", "two_servers", "hostile", "serve", "account_server"}


def pytest_addoption(parser):
    parser.addoption("--fake-client-only", action="store_true", help="leave out the tests that start FTP servers")


def pytest_collection_modifyitems(config, items):
    if config.getoption("fake_client_only"):
        needs_server = [item for item in items if SERVER_FIXTURES & set(getattr(item, "fixturenames", ()))]
        config.hook.pytest_deselected(items=needs_server)
        items[:] = [item for item in items if item not in needs_server]


def pytest_generate_tests(metafunc):
    for fixture, variable, table in [("server", "CORVANE_SERVERS", servers.SERVERS),
                                     ("tls_server", "CORVANE_TLS_SERVERS", servers.TLS_SERVERS)]:
        if fixture in metafunc.fixturenames:
            wanted = os.environ.get(variable)
            names = wanted.split(",") if wanted else list(table)
            metafunc.parametrize(fixture, names, indirect=True, scope="session")


_running = {}

# A terminated run stops like an interrupted one, through the finalizers that stop the servers.
signal.signal(signal.SIGTERM, signal.default_int_handler)


@pytest.fixture(scope="session")
def server(request):
    """A real FTP server, started once per session."""
    return _started(request)


@pytest.fixture(scope="session")
def tls_server(request):
    """A real FTP server that requires TLS, started once per session."""
    return _started(request)


def _started(request):
    name = request.param
    if name not in _running:
        workdir = os.path.join(tempfile.gettempdir(), f"corvane-e2e-{name}-{os.getpid()}")
        _running[name] = servers.start(name, workdir)

        def finish():
            stopped = _running.pop(name)
            stopped.stop()
            shutil.rmtree(stopped.root, ignore_errors=True)  # the test files; the server's log stays

        request.addfinalizer(finish)
    return _running[name]


@pytest.fixture(scope="session")
def fault_server(tmp_path_factory):
    """The FTP server of the fault tests, whose faults a test arms (tests/faults.py)."""
    server = faults.start(str(tmp_path_factory.mktemp("faults")))
    yield server
    server.stop()


@pytest.fixture
def hostile():
    """A server that lists and answers what the test scripts (tests/hostile.py), stopped after it."""
    server = HostileServer()
    yield server
    server.stop()


NOT_APPLICABLE_MARK = "not applicable on this server: "


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A skip that does not come from servers.NOT_APPLICABLE fails the test:
    a missing tool or server must not pass for a green run."""
    report = (yield).get_result()
    if report.skipped and not hasattr(report, "wasxfail"):
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
        if not reason.startswith("Skipped: " + NOT_APPLICABLE_MARK):
            report.outcome = "failed"
            report.longrepr = f"skipped outside the per-server table in tests/servers.py: {reason}"


@pytest.fixture
def remote(server, tmp_path, monkeypatch, request):
    """A fresh remote directory for one test, with CORVANE_CONFIG naming its server:
    yields (FTPPath of it, its local twin)."""
    config = tmp_path / "corvane.ini"
    config.write_text(server.config_text())
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    name, local = fresh_directory(server, request)
    return FTPPath("/" + name), local


@pytest.fixture
def tls_remote(tls_server, request):
    """A fresh directory on an FTPS server: (its remote name, its local twin)."""
    return fresh_directory(tls_server, request)


def fresh_directory(server, request):
    """A new directory in the served root, named for the test: (its remote name, its local path).
    Skips the test if the per-server table says it does not apply."""
    group = request.node.get_closest_marker("group")
    reason = servers.NOT_APPLICABLE.get((server.name, group.args[0] if group else None))
    if reason:
        pytest.skip(NOT_APPLICABLE_MARK + reason)
    # Only plain characters: a test's parameters must not turn up in the path of its
    # directory (Pure-FTPd refuses any path with a backslash, and takes "*" in LIST's
    # argument as a pattern).
    name = re.sub(r"[^A-Za-z0-9_.-]", "_", request.node.name)[:80]
    local = os.path.join(server.root, name)
    if os.path.exists(local):
        shutil.rmtree(local)
    os.makedirs(local)
    if server.extra.get("owner"):
        os.chown(local, *server.extra["owner"])
        # The test makes its files as root; with no umask the server's login may change and
        # remove them too (everything it makes itself it owns anyway).
        umask = os.umask(0)
        request.addfinalizer(lambda: os.umask(umask))
    return name, local


@pytest.fixture
def dots_hidden(server, remote, tmp_path):
    """`remote`, served by a second listener of the server's daemon that hides dot-files from LIST
    as by default (servers.HIDING_DOTS); pyftpdlib cannot hide them and serves it as it is."""
    host = servers.HIDING_DOTS.get(server.name)
    if host:
        workdir = os.path.join(tempfile.gettempdir(), f"corvane-e2e-{server.name}-hiding-{os.getpid()}")
        variant = servers.start(server.name, workdir, host=host, root=server.root, show_dots=False)
        (tmp_path / "corvane.ini").write_text(variant.config_text())  # the file `remote` named
    yield remote
    if host:
        variant.stop()
