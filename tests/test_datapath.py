"""The engine's native helpers on their own: LIST splitting, and moving bytes
between a socket and a file (over a socket pair)."""

import contextlib
import os
import random
import socket
import threading
import time

import pytest

from corvane.ftp import _datapath, _jobs

LINES = [
    "drwxr-xr-x    3 999      995          4096 Dec 09 01:12 .",
    "-rw-r--r--   1 ftp  ftp   12 Dec  9  2023  trail ",
    "-rw-r--r--\t1 a b 7 Dec 9 01:12 tab\tinside ünï",
    "lrwxrwxrwx 1 0 0 5 Dec 09 01:12 odd -> name -> target",
    "-rw-r--r-- 1 a b 0x1 Dec 09 01:12 not a size",
    "total 12",
    "-rw-r--r-- 1 a b 3 Dec\u3000 9 01:12 wide space \U0001f600",
]


def python_split(line):
    fields = line.split(maxsplit=8)
    if len(fields) < 9 or not fields[4].isascii() or not fields[4].isdigit():
        return None
    name = fields[8].rpartition(" -> ")[0] if fields[0][0] == "l" and " -> " in fields[8] else fields[8]
    return None if name in (".", "..") else (fields[0][0], int(fields[4]), name)


def test_list_entries_agrees_with_str_split():
    assert _datapath.list_entries(LINES) == [e for e in map(python_split, LINES) if e]
    assert len(_datapath.list_entries(LINES)) == 4


def test_file_crosses_a_socket_pair_byte_for_byte(tmp_path):
    data = random.Random(5).randbytes(9 * 2**20 + 7)
    (tmp_path / "in").write_bytes(data)
    a, b = socket.socketpair()
    with a, b, open(tmp_path / "in", "rb") as source, open(tmp_path / "out", "wb") as sink:
        sender = threading.Thread(target=lambda: (_datapath.send_file(a, source, 5, None, -1), a.close()))
        sender.start()
        assert _datapath.recv_file(b, sink, 5, None) == len(data)
        sender.join()
    assert (tmp_path / "out").read_bytes() == data


def test_sender_reports_the_bytes_moved_while_it_waits(tmp_path):
    (tmp_path / "in").write_bytes(bytes(4 * 2**20))
    moved = []
    a, b = socket.socketpair()
    with a, b, open(tmp_path / "in", "rb") as source:
        def slow_reader():  # so that the transfer lasts several of the pump's 0.1 s checks
            while b.recv(2**16):
                time.sleep(0.005)
        reader = threading.Thread(target=slow_reader)
        reader.start()
        assert _datapath.send_file(a, source, 5, lambda n: moved.append(n) or False, -1) == 4 * 2**20
        a.shutdown(socket.SHUT_WR)
        reader.join()
    assert moved == sorted(moved) and any(0 < n < 4 * 2**20 for n in moved)


@pytest.mark.parametrize("direction", ["send", "recv"])
@pytest.mark.parametrize("timeout, stopped, error", [(0.3, None, TimeoutError), (None, lambda moved: True, InterruptedError)])
def test_stall_ends_with_a_clear_error(tmp_path, direction, timeout, stopped, error):
    (tmp_path / "f").write_bytes(bytes(64 * 2**20))  # more than a socket buffer holds
    a, b = socket.socketpair()
    started = time.monotonic()
    with a, b, open(tmp_path / "f", "r+b") as f:
        with pytest.raises(error, match=r"nothing for 0\.3 s|stopped after"):
            if direction == "send":
                _datapath.send_file(a, f, timeout, stopped, -1)
            else:
                _datapath.recv_file(b, f, timeout, stopped)
        assert time.monotonic() - started < 1
        assert os.get_blocking(a.fileno()) and os.get_blocking(b.fileno())  # as they were


@pytest.mark.parametrize("receive", [lambda sock, f, limit: _datapath.recv_file(sock, f, 5, None, limit),
                                     lambda sock, f, limit: _jobs.recv_python(sock, f, lambda n: False, limit)],
                         ids=["native", "python (TLS)"])
@pytest.mark.parametrize("limit", [0, 1, 11, 3 * 2**20 + 5])
def test_receiving_stops_at_the_limit_with_more_in_flight(tmp_path, receive, limit):
    a, b = socket.socketpair()
    with a, b, open(tmp_path / "out", "wb") as sink:
        def flood():
            with contextlib.suppress(OSError):  # the receiver goes away mid-way
                a.sendall(bytes(8 << 20))
        sender = threading.Thread(target=flood)
        sender.start()
        assert receive(b, sink, limit) == limit
        b.close()
        sender.join()
    assert (tmp_path / "out").stat().st_size == limit


def test_pump_writes_to_its_own_file_when_the_number_is_taken_over(tmp_path):
    a, b = socket.socketpair()
    sink, swapped = open(tmp_path / "mine", "wb"), threading.Event()
    number, stranger = sink.fileno(), os.open(tmp_path / "stranger", os.O_WRONLY | os.O_CREAT)

    def stopped(moved):  # on the pump's thread, between its polls: the file closes, a stranger takes its number
        if not swapped.is_set():
            sink.close(), os.dup2(stranger, number), swapped.set()
        return False

    sender = threading.Thread(target=lambda: (a.sendall(b"x" * 99), swapped.wait(10), a.sendall(b"y"), a.close()))
    sender.start()
    with b:
        assert _datapath.recv_file(b, sink, 10, stopped) == 100
    sender.join()
    os.close(number), os.close(stranger)
    assert ((tmp_path / "mine").read_bytes(), (tmp_path / "stranger").read_bytes()) == (b"x" * 99 + b"y", b"")
