"""A pyftpdlib server that misbehaves on request, for the fault-injection tests.

usage: python faulty_ftpd.py HOST ROOT USER PASSWORD FAULT_DIR

It serves ROOT on port 21 of HOST. Faults are armed by writing
FAULT_DIR/faults.json, a list of objects such as

    {"command": "RETR", "kind": "cut", "times": 1, "after": 1000}

The file is read afresh whenever a fault could fire, so a test arms a fault
just before the operation it aims at. A fault fires `times` times (on any
session), then the server behaves normally again; with "skip": N it first
lets N such commands pass. With "chance": P (0 to 1) it fires on that share
of such commands only, drawn from a random generator seeded with "seed"
(default 0), so that a run of thousands of transfers meets a known rate of
faults; the generator lives as long as the server and the fault. Every login, every command and every fault that
fires is appended to FAULT_DIR/events.log, one line each ("login",
"command STOR", "fault cut RETR"), so that a test can tell whether a retry
logged in afresh, and count round trips.

A fault for the command "CONNECT" of kind "limit" makes the server take no
more than `sessions` connections at once from one address (421 beyond), for
as long as it is armed; it never counts as fired.

kinds, for the command named:
  drop   close the control connection instead of answering
  slow   answer as usual, but `delay` seconds late (for a login: a slow one)
  reply  answer with the text `reply` (e.g. "450 Busy."); after a 421 the
         connection is closed too, as real servers do
  cut    data command: move `after` bytes, close the data connection, answer 426
  reset  the same, but the data connection is reset (RST), not closed
         (for both, `reply` may name the final reply instead of the 426: "552 Disk full.")
  hangup data command: move `after` bytes, then close the data connection and
         the control connection, with no reply: the session is dropped mid-file
  stall  data command: open the data connection and move nothing, ever
  late   data command: send the final reply `delay` seconds after the data
         connection has closed
  send   data command: send `data` (text whose characters are bytes 0-255)
         instead of the real content, then answer as usual
  trickle data command: move one byte every `interval` seconds, each soon
         enough for no idle timeout to fire: a file lasts its size times that
"""


import json
import os
import random
import socket
import struct
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.log import logger
from pyftpdlib.servers import FTPServer

CONTROL_KINDS = ("drop", "reply", "slow")
DATA_KINDS = ("cut", "reset", "hangup", "stall", "late", "send", "trickle")


class Faults:
    """The armed faults, kept in a JSON file that the tests write."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "faults.json")
        self.log = os.path.join(directory, "events.log")
        self.draws = {}  # a fault with a chance, as armed -> its random generator

    def _drawn(self, fault):
        """Whether a fault with a chance fires this time; one with none always does."""
        if "chance" not in fault:
            return True
        key = json.dumps({k: v for k, v in fault.items() if k not in ("times", "skip")}, sort_keys=True)
        draw = self.draws.setdefault(key, random.Random(fault.get("seed", 0)))
        return draw.random() < fault["chance"]

    def take(self, command, kinds):
        """The first armed fault for `command` among `kinds`, now counted as fired."""
        try:
            with open(self.path, encoding="utf-8") as f:
                armed = json.load(f)
        except FileNotFoundError:
            return None
        for fault in armed:
            if fault["command"] == command and fault["kind"] in kinds and fault["times"] > 0:
                if fault.get("skip", 0) > 0:
                    fault["skip"] -= 1
                    self._save(armed)
                    return None
                if not self._drawn(fault):
                    return None
                fault["times"] -= 1
                self._save(armed)
                self.record(f"fault {fault['kind']} {command}")
                return fault
        return None

    def limit(self):
        """The sessions one address may hold at once, while a CONNECT limit is armed; 0: no limit."""
        try:
            with open(self.path, encoding="utf-8") as f:
                armed = json.load(f)
        except (FileNotFoundError, ValueError):
            return 0
        return next((fault["sessions"] for fault in armed
                     if fault["command"] == "CONNECT" and fault["kind"] == "limit"), 0)

    def _save(self, armed):
        # Replaced whole, so that a reader never sees half a file.
        temporary = self.path + ".server"
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(armed, f)
        os.replace(temporary, self.path)

    def record(self, event):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write(event + "\n")


def first_bytes(producer, count):
    data = b""
    while len(data) < count:
        chunk = producer.more()
        if not chunk:
            break
        data += chunk
    return data[:count]


class FaultyDTP(DTPHandler):
    """A data connection that may be cut, reset, stalled or answered late."""

    fault = None

    def _arm(self):
        channel = self.cmd_channel
        self.fault = channel.faults.take(channel.command, DATA_KINDS)
        return self.fault["kind"] if self.fault else None

    def _cuts(self):
        return self.fault is not None and self.fault["kind"] in ("cut", "reset", "hangup")

    def _stall(self):
        # Out of the event loop, the socket stays open and nothing moves on it.
        self.del_channel()

    def _replaced(self):
        """Arms this transfer's fault; True when a stall or substitute bytes take the content's place."""
        kind = self._arm()
        if kind == "stall":
            self._stall()
        elif kind == "send":
            super().push(self.fault["data"].encode("latin-1"))
        return kind in ("stall", "send")

    def push(self, data):
        if not self._replaced():
            super().push(data[:self.fault["after"]] if self._cuts() else data)

    def push_with_producer(self, producer):
        if self._replaced():
            return
        if self.fault and self.fault["kind"] == "trickle":
            data = b"".join(iter(producer.more, b""))
            self._initialized = True
            return self._drip(data)
        if self._cuts():
            return super().push(first_bytes(producer, self.fault["after"]))
        super().push_with_producer(producer)

    def enable_receiving(self, type, cmd):
        if self._arm() == "stall":
            return self._stall()
        super().enable_receiving(type, cmd)

    def _drip(self, data):
        """One byte now, the rest later; the data connection closes after the last."""
        if self._closed:
            return
        if not data:
            self._trickled = True
            return DTPHandler.close_when_done(self)
        DTPHandler.push(self, data[:1])
        self.call_later(self.fault["interval"], self._drip, data[1:])

    def close_when_done(self):
        if self.fault and self.fault["kind"] == "trickle" and not getattr(self, "_trickled", False):
            return  # _drip closes it after the last byte
        super().close_when_done()

    def _sip(self):
        """Upload side: reads one byte, then looks away for `interval` seconds."""
        if self._closed:
            return
        try:
            chunk = self.socket.recv(1)
        except BlockingIOError:
            chunk = None
        if chunk == b"":
            return super().handle_read()  # the end of the upload, as usual
        if chunk:
            self.file_obj.write(chunk)
            self.tot_bytes_received += 1
        self.del_channel()
        self.call_later(self.fault["interval"], self._resume)

    def _resume(self):
        if not self._closed:
            self.add_channel(events=self.ioloop.READ)

    def handle_read(self):
        if self.fault and self.fault["kind"] == "trickle":
            return self._sip()
        if not self._cuts():
            return super().handle_read()
        try:
            chunk = self.socket.recv(self.ac_in_buffer_size)
        except BlockingIOError:
            return
        if not chunk:  # the whole upload was shorter than the cut
            return super().handle_close()
        keep = max(self.fault["after"] - self.tot_bytes_received, 0)
        self.file_obj.write(chunk[:keep])
        self.tot_bytes_received += len(chunk)
        if self.tot_bytes_received >= self.fault["after"]:
            self._abort()

    handle_read_event = handle_read  # the event loop calls this name, bound in DTPHandler

    def handle_close(self):
        if self._cuts() and not self._closed:
            return self._abort()
        super().handle_close()

    def _abort(self):
        if self.fault["kind"] == "hangup":
            channel = self.cmd_channel
            self.close()
            return channel.close()
        if self.fault["kind"] == "reset":
            self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        reply = self.fault.get("reply") or f"426 Connection closed; transfer aborted after " \
                                               f"{self.get_transmitted_bytes()} bytes."
        self._resp = (reply, logger.info)
        self.close()

    def close(self):
        if self.fault and self.fault["kind"] == "late" and self._resp and not self._closed:
            reply, self._resp = self._resp[0], ()
            self.cmd_channel.call_later(self.fault["delay"], self.cmd_channel.respond, reply)
        super().close()


class FaultyHandler(FTPHandler):
    dtp_handler = FaultyDTP
    faults = None  # a Faults, set by serve()
    command = None  # the command being served, for the data connection
    held = None  # commands sent behind a slow one: they wait for it, as a server answers in order

    def pre_process_command(self, line, cmd, arg):
        if self.held is not None:
            return self.held.append((line, cmd, arg))
        self.faults.record(f"command {cmd}")
        fault = self.faults.take(cmd, CONTROL_KINDS)
        if fault is None:
            self.command = cmd
            return super().pre_process_command(line, cmd, arg)
        if fault["kind"] == "drop":
            return self.close()
        if fault["kind"] == "slow":
            self.command, self.held = cmd, []
            return self.call_later(fault["delay"], self._answer_late, line, cmd, arg)
        self.respond(fault["reply"])
        if fault["reply"].startswith("421"):
            self.close_when_done()

    def _answer_late(self, line, cmd, arg):
        held, self.held = self.held, None
        FTPHandler.pre_process_command(self, line, cmd, arg)
        for at, command in enumerate(held):
            if self.held is not None:  # another slow one: the rest waits behind it too
                self.held.extend(held[at:])
                return
            self.pre_process_command(*command)

    def on_login(self, username):
        self.faults.record("login")


class FaultyServer(FTPServer):
    faults = None  # a Faults, set by serve()

    @property
    def max_cons_per_ip(self):  # read at each new connection
        return self.faults.limit()


def serve(host, root, user, password, fault_dir):
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    faults = Faults(fault_dir)
    handler = type("Handler", (FaultyHandler,), {
        "authorizer": authorizer, "banner": "corvane fault server", "faults": faults})
    server = FaultyServer((host, 21), handler)
    server.faults = faults
    server.serve_forever()


if __name__ == "__main__":
    serve(*sys.argv[1:6])
