"""Modification times with their precision: comparing them, asking MDTM where a
listing cannot tell, and setting them after a transfer.

A time is exact (MLSD's modify fact, MDTM, EPLF, a local file) or as LIST gives
it: to the minute ("Dec  9 01:23") or to the day ("Dec  9 2025", and Windows
listings to the minute), read as UTC. Some servers (Pure-FTPd, IIS) list their
local time, so until an exact answer for a listed file shows how far the
server's listing clock is from UTC, a listed time may be off by any zone's
offset, and decides only beyond that.

Nothing here costs a round trip of its own: MDTM questions go out together (a
batch per directory), MDTM before a download goes with its PASV, and the time
set after an upload (MFMT, or vsftpd's MDTM with a time) is sent after the
STOR's final reply without waiting: its reply is read before the session's
next reply, which the next command's travel hides.
"""

import calendar
import ftplib
import re
import threading
import time

from corvane.ftp.client import owe

# The furthest a zone's clock is from UTC (UTC+14, UTC-12), and the step they come in.
ZONE_SLACK = 14 * 3600
ZONE_STEP = 15 * 60

# MDTM questions sent at once: the replies of a batch must fit the socket buffers of both ends.
BATCH = 100

_TIME = re.compile(r"([0-9]{4})([0-9]{2})([0-9]{2})([0-9]{2})([0-9]{2})([0-9]{2})(\.[0-9]{1,9})?")


def parse_time(text):
    """RFC 3659's time-val (YYYYMMDDHHMMSS[.fff], UTC) as seconds since the epoch; None for
    anything else, a date that does not exist included."""
    match = _TIME.fullmatch(text)
    if match is None:
        return None
    year, month, day, hour, minute, second = (int(part) for part in match.groups()[:6])
    if not (1970 <= year and 1 <= month <= 12 and 1 <= day <= calendar.monthrange(year, month)[1]
            and hour < 24 and minute < 60 and second < 60):
        return None
    return calendar.timegm((year, month, day, hour, minute, second)) + float(match[7] or 0)


def mdtm_reply(reply):
    """The time of a reply that is exactly "213 <time-val>"; None for any other."""
    code, space, text = reply.partition(" ")
    return parse_time(text) if code == "213" and space else None


def time_text(seconds):
    """Whole seconds as a time-val: the servers we set times on take no fraction."""
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(int(seconds)))


class Clock:
    """How far a server's listing clock is from UTC, once an exact time shows it.

    Learnt from MDTM answers for files listed to the minute: the listed minute, less
    the minute of the exact time, is the offset of the server's zone, a multiple of
    15 minutes. Until then (and for an offset that is none, a file changed between
    the listing and the question) a listed time decides only beyond any zone's."""

    def __init__(self):
        self.offset = None
        self.lock = threading.Lock()

    def learn(self, listed_time, exact):
        if listed_time is None or exact is None or listed_time[1] != 60 or self.offset is not None:
            return
        offset = listed_time[0] - int(exact) // 60 * 60
        if offset % ZONE_STEP == 0 and abs(offset) <= ZONE_SLACK:
            with self.lock:
                self.offset = offset

    def span(self, listed_time):
        """[earliest, latest) of the exact times that a listed (seconds, precision) may stand for."""
        seconds, precision = listed_time
        if self.offset is None:
            return seconds - ZONE_SLACK, seconds + precision + ZONE_SLACK
        return seconds - self.offset, seconds - self.offset + precision


def compare(entry, local_mtime, clock):
    """How the remote `entry`'s time stands to `local_mtime`: "older", "same" or "newer"; None
    where its listed time cannot tell. Exact times within a second are the same: a server keeps
    whole seconds, and some round where others cut."""
    if entry.mtime is not None:
        difference = entry.mtime - local_mtime
        return "same" if abs(difference) < 1 else "older" if difference < 0 else "newer"
    if entry.listed_time is None:
        return None
    earliest, latest = clock.span(entry.listed_time)
    if latest <= local_mtime - 1:
        return "older"
    if earliest >= local_mtime + 1:
        return "newer"
    return None


def ask_exact(client, paths):
    """MDTM of each of `paths` on `client`, BATCH at a time sent together: {path: seconds since
    the epoch}, leaving out each path whose answer is no time."""
    found = {}
    for start in range(0, len(paths), BATCH):
        batch = paths[start:start + BATCH]
        for path in batch:
            client.putcmd(f"MDTM {path}")
        for path in batch:
            reply = client.getmultiline()
            if reply[:1] == "4":
                raise ftplib.error_temp(reply)  # the session's fault, maybe: another try on a fresh one
            if (seconds := mdtm_reply(reply)) is not None:
                found[path] = seconds
    return found


def settle(client, entries, local_mtime, path_of, clock):
    """Gives the entries whose listed time cannot tell them from their local twin the exact time
    MDTM answers. local_mtime(entry) is the twin's, or None where no twin of the entry's size
    is there to compare with; path_of(entry) is the entry's remote path."""
    unsure = [entry for entry in entries
              if (mtime := local_mtime(entry)) is not None and compare(entry, mtime, clock) is None]
    if not unsure:
        return
    exact = ask_exact(client, [path_of(entry) for entry in unsure])
    for entry in unsure:
        seconds = exact.get(path_of(entry))
        if seconds is not None:
            clock.learn(entry.listed_time, seconds)
            entry.mtime = seconds


def ask_time(client, path):
    """Sends MDTM for `path` without waiting: the returned list holds its time (or None) once the
    client's next reply has been read."""
    answer = []
    client.putcmd(f"MDTM {path}")
    owe(client, lambda reply: answer.append(mdtm_reply(reply)))
    return answer


# ---- setting a remote time ----------------------------------------------------

def time_setter(features, welcome):
    """How to set a file's time on this server: "MFMT" where its `features` (_features.Features)
    offer it, "MDTM" for vsftpd (known by its greeting), whose MDTM takes a time before the path;
    None where neither."""
    if "MFMT" in features:
        return "MFMT"
    if "vsftpd" in (welcome or "").lower():
        return "MDTM"
    return None


def set_time(client, setter, path, seconds):
    """Sets the remote file's time, reading the reply later (see owe). A refusal changes nothing
    but the next update's comparison, which then asks again."""
    client.putcmd(time_command(setter, path, seconds))
    owe(client, lambda reply: None)


def time_command(setter, path, seconds):
    return f"{setter} {time_text(seconds)} {path}"
