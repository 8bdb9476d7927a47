"""An emulated link in front of an FTP server: a userspace TCP proxy that
delays every byte by half the round trip in each direction.

The kernel here has no netem, so the link is a small asyncio proxy. It
forwards the control connection and every passive data connection: the
server lists the proxy's address in its PASV replies (pyftpdlib's
masquerade_address, vsftpd's pasv_address) and the proxy listens on the same
passive port numbers, forwarding each to the server's port of that number.

Each direction is one FIFO of (due time, chunk), so byte order holds, and an
end of stream travels through it as a chunk, so a half-close arrives after
the bytes before it, half a round trip late like them.

A real link charges each new connection a TCP handshake: one round trip
before its first byte can go either way. With `handshake` on, nothing a
connection carries, in either direction, is delivered before one round trip
after the proxy accepted it (the connect itself still completes at once, so a
command a client sends on another connection right after it is not held).
With `rate` (bytes per second, per connection and direction) a chunk leaves
only once the one before it has, plus its own length at that rate, and the
queue holds a bounded number of chunks, so that a fast sender meets TCP's
back pressure as on a slow line. Loss, jitter and slow start are not emulated.

The proxy also counts, exactly, what passes: the command lines the client
sends on control connections and the data connections it opens.
"""

import asyncio
import multiprocessing
import os
import signal
import socket


class Counts:
    def __init__(self):
        self.commands = []
        self.data_connections = 0

    def take(self):
        taken = {"commands": self.commands, "data_connections": self.data_connections}
        self.__init__()
        return taken


class CommandLines:
    """Splits the client's control stream into command lines as they pass."""

    def __init__(self, counts):
        self.counts, self.pending = counts, b""

    def feed(self, chunk):
        self.pending += chunk
        *lines, self.pending = self.pending.split(b"\r\n")
        for line in lines:
            text = line.decode("utf-8", "replace")
            self.counts.commands.append("PASS ****" if text[:5].upper() == "PASS " else text)


CHUNK = 1 << 16  # paced chunks: small enough that a limited rate flows evenly


async def pump(reader, writer, delay, watch=None, opened=None, rate=None):
    """Copies reader to writer, each chunk `delay` seconds after it arrived, then the end of stream.

    opened: the loop time the connection was accepted, when a handshake is charged: nothing
    is delivered before `2 * delay` after it. rate: bytes per second this direction may carry."""
    if not delay and not rate:  # plain loopback: no queue, no extra task
        while chunk := await reader.read(1 << 18):
            if watch:
                watch(chunk)
            writer.write(chunk)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()
        return
    loop = asyncio.get_running_loop()
    # Unpaced, the queue holds what the peer sends, as a long fat link would; paced, it holds
    # a line's worth (half a second at the rate, or a round trip's), so that the sender waits.
    bound = 0 if not rate else max(8, int(rate * max(0.5, 2 * delay) / CHUNK) + 1)
    queue = asyncio.Queue(bound)
    earliest = opened + 2 * delay if opened is not None else None

    async def deliver():
        free = 0.0  # when the line has sent the chunk before
        while True:
            due, chunk = await queue.get()
            if rate and chunk:
                free = max(free, due) + len(chunk) / rate
                due = free
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not chunk:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(chunk)
            await writer.drain()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            chunk = await reader.read(CHUNK if rate else 1 << 18)
            if watch and chunk:
                watch(chunk)
            now = loop.time()
            if earliest is not None and now < earliest:
                now = earliest
            if not bound:
                queue.put_nowait((now + delay, chunk))
            else:
                # A writer that failed takes no more chunks: its error, not a full queue, ends this.
                put = asyncio.ensure_future(queue.put((now + delay, chunk)))
                await asyncio.wait({put, sender}, return_when=asyncio.FIRST_COMPLETED)
                if not put.done():
                    put.cancel()
                    break
            if not chunk:
                break
        await sender
    finally:
        sender.cancel()


async def splice(client_reader, client_writer, server_address, delay, watch=None, handshake=False, rate=None):
    """Both directions of one connection; closes both sides when both ends have closed, or on an error."""
    opened = asyncio.get_running_loop().time() if handshake and delay else None
    try:
        server_reader, server_writer = await asyncio.open_connection(*server_address)
    except OSError:
        client_writer.close()
        return
    pumps = [asyncio.ensure_future(pump(client_reader, server_writer, delay, watch, opened, rate)),
             asyncio.ensure_future(pump(server_reader, client_writer, delay, None, opened, rate))]
    try:
        await asyncio.wait(pumps, return_when=asyncio.FIRST_EXCEPTION)
    finally:
        # A reset in one direction ends the other: nothing more can reach that
        # peer. So does the proxy's stop, which cancels this wait.
        for task in pumps:
            task.cancel()
        for writer in (client_writer, server_writer):
            writer.close()
        for task in pumps:
            if task.done() and not task.cancelled():
                task.exception()  # retrieved: a reset is the peers' business, not the proxy's


async def serve(listen_host, control_port, server_host, server_port, passive_ports, delay, handshake, rate,
                counts, requests):
    loop = asyncio.get_running_loop()

    # The loop holds its tasks weakly: a connection whose both ends are idle
    # would be collected mid-wait. Held here, they end with the proxy.
    connections = set()

    async def forward(reader, writer, port, watch=None):
        connections.add(asyncio.current_task())
        try:
            await splice(reader, writer, (server_host, port), delay, watch, handshake, rate)
        except asyncio.CancelledError:
            pass  # the proxy stops
        finally:
            connections.discard(asyncio.current_task())

    async def control(reader, writer):
        await forward(reader, writer, server_port, CommandLines(counts).feed)

    def data_handler(port):
        async def data(reader, writer):
            counts.data_connections += 1
            await forward(reader, writer, port)
        return data

    listeners = [await asyncio.start_server(control, listen_host, control_port)]
    for port in passive_ports:
        listeners.append(await asyncio.start_server(data_handler(port), listen_host, port))

    stop = loop.create_future()

    def answer():
        try:
            requests.recv()
        except EOFError:  # the benchmark is gone
            stop.done() or stop.set_result(None)
            return
        requests.send(counts.take())

    loop.add_reader(requests.fileno(), answer)
    loop.add_signal_handler(signal.SIGTERM, lambda: stop.done() or stop.set_result(None))
    requests.send("ready")
    await stop
    for listener in listeners:
        listener.close()
    for task in list(connections):
        task.cancel()
    await asyncio.gather(*connections, return_exceptions=True)


def _run(requests, *args):
    asyncio.run(serve(*args, Counts(), requests))


class Proxy:
    """The proxy in a process of its own, so that its work is not counted as the client's CPU time."""

    def __init__(self, listen_host, control_port, server_host, server_port, passive_ports, rtt_ms,
                 handshake=True, rate_mibps=None):
        """handshake: charge each new connection one round trip (at rtt_ms > 0 only);
        rate_mibps: MiB/s each connection may carry in each direction (None: no limit)."""
        self.host, self.port, self.rtt_ms = listen_host, control_port, rtt_ms
        self.handshake, self.rate_mibps = bool(handshake and rtt_ms), rate_mibps
        rate = rate_mibps * 2**20 if rate_mibps else None
        ours, theirs = multiprocessing.Pipe()
        self.requests = ours
        self.process = multiprocessing.get_context("fork").Process(
            target=_run, daemon=True,
            args=(theirs, listen_host, control_port, server_host, server_port, passive_ports, rtt_ms / 2000,
                  self.handshake, rate))
        self.process.start()
        theirs.close()
        if not ours.poll(15) or ours.recv() != "ready":
            self.stop()
            raise RuntimeError(f"the link proxy on {listen_host}:{control_port} did not start")

    def take(self):
        """Commands and data connections seen since the last take."""
        self.requests.send("take")
        return self.requests.recv()

    def stop(self):
        if self.process.is_alive():
            os.kill(self.process.pid, signal.SIGTERM)
        self.process.join(10)


def free_port(host, passive):
    """A port free on `host` for a control connection, outside the `passive` ports: those
    lie within the kernel's ephemeral range, where it picks, and are listened on at `host` too."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind((host, 0))
            port = s.getsockname()[1]
        if port not in passive:
            return port
    raise RuntimeError(f"no free port on {host} outside {passive}")
