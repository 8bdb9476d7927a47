"""The cftp file system end to end: pandas, dask on two worker processes, xarray, UPath,
random reads, transfers cut short, aborted writes, FTPS."""

import contextlib
import ftplib
import os
import pickle
import random
import subprocess
import sys
import threading
from urllib.parse import quote

import fsspec
import pytest

from corvane.ftp.filesystem import CorvaneFTPFileSystem

pytestmark = pytest.mark.group("filesystem")


def make_fs(server, **options):
    return fsspec.filesystem("cftp", host=server.host, port=server.port, username=server.user,
                             password=server.password, **{"timeout": 20, **options})


@pytest.fixture
def where(server, remote):
    """(file system, remote directory, its local twin) for one test."""
    fs = make_fs(server)
    fs.invalidate_cache()
    return fs, str(remote[0]), remote[1]


def test_pandas_reads_and_writes_a_url_with_an_escaped_password(server, where):
    pd = pytest.importorskip("pandas")
    fs, top, local = where
    url = f"cftp://{server.user}:{quote(server.password, safe='')}@{server.host}:{server.port}{top}/t.csv"
    frame = pd.DataFrame({"a": range(1000), "b": [f"x{i}" for i in range(1000)]})
    frame.to_csv(url, index=False)
    assert pd.read_csv(os.path.join(local, "t.csv")).equals(frame)
    assert pd.read_csv(url).equals(frame)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    from dask.distributed import Client, LocalCluster
    config = tmp_path_factory.mktemp("dask") / "corvane.ini"
    config.write_text("")
    saved = os.environ.get("CORVANE_CONFIG")
    os.environ["CORVANE_CONFIG"] = str(config)  # the workers inherit it, and read their logins there
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as running, Client(running) as client:
            yield config, client
    finally:
        os.environ.pop("CORVANE_CONFIG") if saved is None else os.environ.__setitem__("CORVANE_CONFIG", saved)


def test_dask_reads_parts_on_two_workers_that_log_in_from_a_section(server, where, cluster, monkeypatch):
    dd = pytest.importorskip("dask.dataframe")
    config, client = cluster
    monkeypatch.setenv("CORVANE_CONFIG", str(config))
    fs, top, local = where
    config.write_text(f"[data]\nhost = {server.host}\nuser = {server.user}\npasswd = {server.password}\n")
    for n in range(4):
        with open(os.path.join(local, f"part-{n}.csv"), "w") as f:
            f.write("n,v\n" + "".join(f"{n},{i}\n" for i in range(500)))
    frame = dd.read_csv(f"cftp://{server.host}{top}/part-*.csv", storage_options={"section": "data"})
    assert frame.npartitions == 4
    assert frame.v.sum().compute() == 4 * sum(range(500))
    assert len(set(client.run(os.getpid).values())) == 2


def test_the_pickle_of_a_sectioned_file_system_holds_no_password(server, where, monkeypatch, tmp_path):
    # A section of its own per server: fsspec caches file systems by their arguments.
    section = f"s-{server.name}"
    (tmp_path / "c.ini").write_text(f"[{section}]\nhost = {server.host}\nuser = {server.user}\n"
                                    f"passwd = {server.password}\n")
    monkeypatch.setenv("CORVANE_CONFIG", str(tmp_path / "c.ini"))
    fs = fsspec.filesystem("cftp", section=section)
    assert server.password.encode() not in pickle.dumps(fs)
    assert pickle.loads(pickle.dumps(fs)).ls(where[1], detail=False) == []


def test_xarray_opens_netcdf_by_random_access(where):
    xr = pytest.importorskip("xarray")
    np = pytest.importorskip("numpy")
    fs, top, local = where
    data = xr.Dataset({"t": (("x", "y"), np.arange(200_000.0).reshape(400, 500))}, attrs={"title": "grid"})
    data.to_netcdf(os.path.join(local, "g.nc"), engine="h5netcdf")
    with fs.open(f"{top}/g.nc", block_size=1 << 16) as f, xr.open_dataset(f, engine="h5netcdf") as opened:
        assert opened.attrs["title"] == "grid" and float(opened.t[399, 499]) == 199_999.0
        assert opened.t.sum().item() == data.t.sum().item()


def test_upath_iterdir_read_write_stat_rename_unlink(where):
    upath = pytest.importorskip("upath")
    fs, top, local = where
    url = fs.unstrip_protocol(top)
    base = upath.UPath(url, **fs.storage_options)
    (base / "w.txt").write_text("hello")
    assert sorted(p.name for p in base.iterdir()) == ["w.txt"]
    assert (base / "w.txt").read_bytes() == b"hello" and (base / "w.txt").stat().st_size == 5
    assert abs((base / "w.txt").stat().st_mtime - os.stat(os.path.join(local, "w.txt")).st_mtime) < 2
    (base / "w.txt").rename(base / "v.txt")
    assert os.listdir(local) == ["v.txt"]
    (base / "v.txt").unlink()
    assert os.listdir(local) == []


def test_random_reads_of_a_big_file_equal_the_local_bytes(where):
    fs, top, local = where
    content = random.randbytes(100 << 20)
    with open(os.path.join(local, "big.bin"), "wb") as f:
        f.write(content)
    rng = random.Random(7)
    with fs.open(f"{top}/big.bin", block_size=1 << 16) as f:
        for _ in range(500):
            start, length = rng.randrange(len(content)), rng.randrange(1, 200_000)
            f.seek(start)
            assert f.read(length) == content[start:start + length]
    for _ in range(500):
        start = rng.randrange(len(content))
        assert fs.cat_file(f"{top}/big.bin", start, start + 70_000) == content[start:start + 70_000]


def test_listing_and_info_give_sizes_kinds_and_utc_times(where):
    fs, top, local = where
    os.makedirs(os.path.join(local, "d"))
    with open(os.path.join(local, "f.bin"), "wb") as f:
        f.write(b"x" * 1234)
    os.utime(os.path.join(local, "f.bin"), (1700000000, 1700000000))
    entries = {e["name"]: e for e in fs.ls(top)}
    assert {(e["type"], e["size"]) for e in entries.values()} == {("directory", 0), ("file", 1234)}
    assert fs.info(f"{top}/f.bin", refresh=True)["mtime"].timestamp() == 1700000000
    assert fs.modified(f"{top}/f.bin").utcoffset().total_seconds() == 0
    assert fs.ukey(f"{top}/f.bin") == make_fs_like(fs).ukey(f"{top}/f.bin")
    assert fs.find(top, withdirs=True) == [top, *sorted(entries)]


def make_fs_like(fs, **options):
    return CorvaneFTPFileSystem(**{**fs.storage_options, **options}, skip_instance_cache=True)


def test_a_write_waits_in_tempdir_until_it_is_committed(where):
    fs, top, local = where
    os.makedirs(os.path.join(local, "spool"))
    with (fs := make_fs_like(fs, tempdir=f"{top}/spool")).transaction:
        fs.pipe_file(f"{top}/out.csv", b"a,b\n")
        assert os.listdir(local) == ["spool"] and len(os.listdir(os.path.join(local, "spool"))) == 1
    assert sorted(os.listdir(local)) == ["out.csv", "spool"] and os.listdir(os.path.join(local, "spool")) == []


def test_a_forked_child_says_nothing_on_the_sessions_of_a_cached_instance(server):
    fs = make_fs(server, jobs=3)  # a cache token of its own
    fs.ls("/", refresh=True)
    idle = list(fs.pool.idle)
    del fs  # held by fsspec's cache alone, which fsspec's fork hook empties in the child
    subprocess.run(["true"], preexec_fn=os.getpid, check=True)  # with preexec_fn, fork hooks run
    assert idle and [session.client.sendcmd("NOOP")[:3] for session in idle] == ["200"] * len(idle)


@pytest.mark.parametrize("how", ["error inside", "discarded transaction"])
def test_an_abandoned_write_leaves_the_old_copy_and_nothing_else(where, how):
    fs, top, local = where
    fs.pipe_file(f"{top}/keep.txt", b"old")
    with pytest.raises(RuntimeError):
        if how == "error inside":
            with fs.open(f"{top}/keep.txt", "wb", block_size=1 << 20) as f:
                f.write(b"new" * 1_000_000)
                raise RuntimeError("stop")
        with fs.transaction:
            fs.pipe_file(f"{top}/keep.txt", b"new")
            raise RuntimeError("stop")
    assert os.listdir(local) == ["keep.txt"] and fs.cat_file(f"{top}/keep.txt") == b"old"


def test_a_tree_goes_up_and_down_by_the_engine_with_progress(where, tmp_path):
    from fsspec.callbacks import Callback
    fs, top, local = where
    for n in range(30):
        (tmp_path / "up" / f"d{n % 3}").mkdir(parents=True, exist_ok=True)
        (tmp_path / "up" / f"d{n % 3}" / f"{n}.bin").write_bytes(os.urandom(n * 100))
    seen = Callback()
    fs.put(str(tmp_path / "up"), f"{top}/tree", recursive=True, callback=seen)
    fs.get(f"{top}/tree", str(tmp_path / "down"), recursive=True)
    assert (seen.value, seen.size) == (30, 30)
    assert sorted(fs.find(f"{top}/tree")) == sorted(f"{top}/tree/d{n % 3}/{n}.bin" for n in range(30))
    for n in range(30):
        assert (tmp_path / "down" / f"d{n % 3}" / f"{n}.bin").read_bytes() == \
               (tmp_path / "up" / f"d{n % 3}" / f"{n}.bin").read_bytes()


@pytest.mark.group("faults")
@pytest.mark.parametrize("kind", ["cut", "reset", "hangup"])
@pytest.mark.parametrize("how", ["open", "in chunks", "cat_file"])
def test_a_read_cut_short_is_resumed_where_it_stopped(fault_server, kind, how):
    fs = make_fs(fault_server, skip_instance_cache=True)
    content = os.urandom(3 << 20)
    with open(os.path.join(fault_server.root, "resume.bin"), "wb") as f:
        f.write(content)
    fault_server.arm("RETR", kind, times=2, after=200_000)
    if how != "cat_file":
        with fs.open("/resume.bin", block_size=1 << 18) as f:
            got = f.read() if how == "open" else b"".join(iter(lambda: f.read(100_000), b""))
    else:
        got = fs.cat_file("/resume.bin", 10, None)
    assert got == content[10 if how == "cat_file" else 0:]
    assert len(fault_server.fired()) == 2


@pytest.mark.group("faults")
@pytest.mark.parametrize("fault", [dict(kind="hangup", after=300_000), dict(kind="late", delay=3)])
def test_an_upload_whose_session_fails_is_stored_again_whole(fault_server, tmp_path, fault):
    fs = make_fs(fault_server, skip_instance_cache=True, timeout=2)
    (tmp_path / "up.bin").write_bytes(content := os.urandom(1 << 20))
    fault_server.arm("STOR", times=1, **fault)
    fs.put(str(tmp_path / "up.bin"), "/again/up.bin")
    assert os.listdir(os.path.join(fault_server.root, "again")) == ["up.bin"]
    assert open(os.path.join(fault_server.root, "again", "up.bin"), "rb").read() == content


def test_a_server_ending_a_file_early_is_an_error_not_a_short_read(fault_server):
    fs = make_fs(fault_server, skip_instance_cache=True)
    with open(os.path.join(fault_server.root, "short.bin"), "wb") as f:
        f.write(b"y" * 100_000)
    fault_server.arm("RETR", "send", data="y" * 10)
    with pytest.raises(OSError, match="shorter than the 100000 bytes"), fs.open("/short.bin") as f:
        f.read()


@pytest.mark.parametrize("mode", ["explicit", pytest.param("implicit", marks=pytest.mark.group("implicit TLS"))])
def test_ftps_lists_writes_and_reads(tls_server, tls_remote, mode):
    fs = fsspec.filesystem("cftp" if mode == "explicit" else "cftps", host=tls_server.host,
                           port=tls_server.tls_ports[mode], username=tls_server.user, password=tls_server.password,
                           tls=mode, ca_file=tls_server.extra["ca_file"], timeout=20)
    top, content = "/" + tls_remote[0], os.urandom(300_000)
    fs.pipe_file(f"{top}/s/f.bin", content)
    assert fs.ls(f"{top}/s", detail=False) == [f"{top}/s/f.bin"]
    assert fs.cat_file(f"{top}/s/f.bin", 1000, 2000) == content[1000:2000]
    with fs.open(f"{top}/s/f.bin") as f:
        assert f.read() == content
    fs.rm(f"{top}/s", recursive=True)
    assert os.listdir(tls_remote[1]) == []


def test_urls_are_percent_decoded_and_register_serves_ftp():
    from upath.registry import get_upath_class, register_implementation

    from corvane.ftp.filesystem import CorvaneFTPSFileSystem, register
    assert CorvaneFTPFileSystem._get_kwargs_from_urls("cftp://a%40b:p%25w%3A@h:2121/x") == \
        {"host": "h", "port": 2121, "username": "a@b", "password": "p%w:"}
    try:
        register()
        assert (fsspec.get_filesystem_class("ftp"), fsspec.get_filesystem_class("ftps")) == \
            (CorvaneFTPFileSystem, CorvaneFTPSFileSystem)
        assert get_upath_class("ftp").__module__ == "corvane.ftp._upath"
    finally:
        fsspec.register_implementation("ftp", "fsspec.implementations.ftp.FTPFileSystem", clobber=True)
        sys.modules["fsspec.registry"]._registry.pop("ftps", None)  # fsspec has no public way to take one back
        register_implementation("ftp", "upath.implementations.ftp.FTPPath", clobber=True)


@pytest.fixture
def account_server(tmp_path):
    """An in-process pyftpdlib that answers the password with 332 and takes the account "ledger-7"."""
    from pyftpdlib import authorizers, handlers, servers

    class AsksForAnAccount(handlers.FTPHandler):
        proto_cmds = {**handlers.FTPHandler.proto_cmds, "ACCT": dict(perm=None, auth=False, arg=True, help="")}
        authorizer = authorizers.DummyAuthorizer()

        def ftp_PASS(self, line):
            self.given = line
            self.respond("332 Need account for login.")

        def ftp_ACCT(self, line):
            handlers.FTPHandler.ftp_PASS(self, self.given) if line == "ledger-7" else self.respond("530 No such account.")

    AsksForAnAccount.authorizer.add_user("u", "pw", str(tmp_path), perm="elr")
    (tmp_path / "f.txt").write_bytes(b"counted")
    server, stop = servers.FTPServer(("127.0.0.1", 0), AsksForAnAccount), threading.Event()
    thread = threading.Thread(target=lambda: [server.serve_forever(0.01, blocking=False) for _ in iter(stop.is_set, True)])
    thread.start()
    try:
        yield server.address[1]
    finally:
        stop.set()
        thread.join()
        server.close_all()


@pytest.mark.parametrize("acct, refusal", [("ledger-7", None), ("other", "530 No such account"), (None, "501")])
def test_acct_is_sent_when_the_server_asks_for_an_account(account_server, acct, refusal):
    fs = CorvaneFTPFileSystem("127.0.0.1", account_server, "u", "pw", acct=acct, skip_instance_cache=True)
    with pytest.raises(ftplib.error_perm, match=refusal) if refusal else contextlib.nullcontext():
        assert fs.cat_file("/f.txt") == b"counted"
