#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that adds a fixed delay to every chunk, in each
direction, so that loopback behaves like a link with a round trip of twice
the delay. The kernel here has no netem; this stands in for it.

Every connection accepted is forwarded to one target (the loopback nginx).
A chunk read from one side at time t is written to the other at t + delay:
each direction is a delay line, a queue of (due time, bytes) drained by one
timer, so the order within a direction is kept and a chunk never waits for
anything but its own due time. Bandwidth is not limited beyond that, except
that a direction holds at most WINDOW_BYTES in its delay line (then it stops
reading that side until the line drains), as a TCP receive window would; at
25 ms that allows one connection 8 MiB / 25 ms = 320 MiB/s.

Not emulated: the connection handshake. A client's connect() completes on
loopback at once (the kernel accepts it), so a new connection costs no round
trip before its first request; its first request and answer cost one, as
on any link.

End of stream and resets travel through the delay line too: a side that
sends EOF has it passed on (half-close) after the delay; a side that goes
away closes the other after the delay, and meanwhile nothing more is read
from the other (a receiver that is gone opens no window).

Counters (bytes read from the target, bytes written to clients, bytes read
from clients, connections) let a benchmark count what the server sent, and
cut_after() calls a function once the clients were sent a given number of
bytes: the benchmark uses it to kill a download half-way.

Use from Python (the proxy runs on its own thread and asyncio loop):
    proxy = LatencyProxy(target_port, delay_s=0.025).start()
    ... http://127.0.0.1:<proxy.port>/ ...
    proxy.stop()
or standalone, until Ctrl-C:
    bench/latency_proxy.py TARGET_PORT [--delay-ms 25] [--port 0]
"""
import argparse
import asyncio
import collections
import sys
import threading

WINDOW_BYTES = 8 * 1024 * 1024  # most bytes one direction holds in its delay line
WRITE_HIGH, WRITE_LOW = 1024 * 1024, 256 * 1024  # a side's transport buffer limits

_EOF = object()    # marker in a delay line: pass the end of stream on
_CLOSE = object()  # marker: the sending side went away; close the other


class _Line:
    """One direction of one connection: what src sends reaches dst delay
    seconds later, in order."""

    def __init__(self, link, delay_s, to_client):
        self.link = link
        self.loop = link.loop
        self.delay_s = delay_s
        self.to_client = to_client
        self.src = None  # transports, set by _Link
        self.dst = None
        self.queue = collections.deque()  # (due, bytes | _EOF | _CLOSE)
        self.queued = 0                   # bytes in the queue
        self.timer = None
        self.src_paused = False  # we paused reading src
        self.dst_full = False    # dst's transport asked us to stop writing
        self.done = False        # EOF or close passed on
        self.dst_gone = False    # dst went away: nothing more is read from src

    def push(self, item):
        due = self.loop.time() + self.delay_s
        self.queue.append((due, item))
        if isinstance(item, bytes):
            self.queued += len(item)
        if self.timer is None:
            self.timer = self.loop.call_at(due, self._drain)
        self._regulate()

    def _drain(self):
        self.timer = None
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now:
            _, item = self.queue.popleft()
            if item is _EOF:
                self._pass_eof()
            elif item is _CLOSE:
                self.done = True
                self.link.close()
            else:
                self.queued -= len(item)
                self._write(item)
        if self.queue:
            self.timer = self.loop.call_at(self.queue[0][0], self._drain)
        self._regulate()

    def _write(self, data):
        if self.dst is None or self.dst.is_closing():
            return
        if self.to_client:  # counted first: whoever sees the data sees the count
            self.link.proxy._sent_to_client(len(data))
        self.dst.write(data)

    def _pass_eof(self):
        self.done = True
        if self.dst is not None and not self.dst.is_closing():
            try:
                if self.dst.can_write_eof():
                    self.dst.write_eof()
                else:
                    self.dst.close()
            except OSError:  # the other side is gone already
                self.dst.close()
        self.link.maybe_finished()

    def _regulate(self):
        """Stops reading src while the line is full or dst cannot take more."""
        if self.src is None or self.src.is_closing():
            return
        want_pause = self.queued > WINDOW_BYTES or self.dst_full or self.dst_gone
        if want_pause and not self.src_paused:
            self.src.pause_reading()
            self.src_paused = True
        elif not want_pause and self.src_paused and self.queued <= WINDOW_BYTES // 2:
            self.src.resume_reading()
            self.src_paused = False

    def set_dst_full(self, full):
        self.dst_full = full
        self._regulate()

    def set_dst_gone(self):
        """A receiver that went away acknowledges nothing more, so its
        window never opens again: src is not read any further (the close
        itself reaches src after the delay)."""
        self.dst_gone = True
        self._regulate()

    def cancel(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.queue.clear()
        self.queued = 0


class _Side(asyncio.Protocol):
    """One socket of a connection, the client's or the target's."""

    def __init__(self, link, is_client):
        self.link = link
        self.is_client = is_client
        self.transport = None

    def _out(self):
        """The line this side feeds."""
        return self.link.up if self.is_client else self.link.down

    def _in(self):
        """The line that writes to this side."""
        return self.link.down if self.is_client else self.link.up

    def connection_made(self, transport):
        self.transport = transport
        transport.set_write_buffer_limits(high=WRITE_HIGH, low=WRITE_LOW)
        if self.is_client:
            self.link.client_connected(transport)

    def data_received(self, data):
        counters = self.link.proxy
        if self.is_client:
            counters.bytes_from_clients += len(data)
        else:
            counters.bytes_from_target += len(data)
        self._out().push(data)

    def eof_received(self):
        self._out().push(_EOF)
        return True  # keep the other direction open

    def connection_lost(self, exc):
        if self.link.closed:
            return
        self._in().set_dst_gone()
        if not self._out().done:
            self._out().push(_CLOSE)

    def pause_writing(self):
        self._in().set_dst_full(True)

    def resume_writing(self):
        self._in().set_dst_full(False)


class _Link:
    """A client's connection and its connection to the target."""

    def __init__(self, proxy):
        self.proxy = proxy
        self.loop = proxy.loop
        self.up = _Line(self, proxy.delay_s, to_client=False)
        self.down = _Line(self, proxy.delay_s, to_client=True)
        self.client = None
        self.target = None
        self.closed = False

    def client_connected(self, transport):
        self.client = transport
        self.up.src = transport
        self.down.dst = transport
        self.proxy.connections += 1
        # Nothing is read from the client until the target is connected.
        transport.pause_reading()
        self.loop.create_task(self._connect())

    async def _connect(self):
        try:
            transport, _ = await self.loop.create_connection(
                lambda: _Side(self, is_client=False), "127.0.0.1", self.proxy.target_port)
        except OSError:
            self.close()
            return
        if self.closed:
            transport.close()
            return
        self.target = transport
        self.up.dst = transport
        self.down.src = transport
        if not self.client.is_closing():
            self.client.resume_reading()

    def maybe_finished(self):
        if self.up.done and self.down.done:
            self.close()

    def close(self):
        if self.closed:
            return
        self.closed = True
        self.up.cancel()
        self.down.cancel()
        for transport in (self.client, self.target):
            if transport is not None and not transport.is_closing():
                transport.close()


class LatencyProxy:
    """Listens on 127.0.0.1:port (0: any free port) and forwards every
    connection to 127.0.0.1:target_port with delay_s added per direction."""

    def __init__(self, target_port, delay_s=0.025, port=0):
        self.target_port = target_port
        self.delay_s = delay_s
        self.requested_port = port
        self.port = None
        self.loop = None
        self._server = None
        self._thread = None
        self._cut = None  # (threshold, function), see cut_after
        self.reset_counters()

    # Counters are written on the proxy's thread only; reading them from
    # another one gives a value that was true a moment ago.
    def reset_counters(self):
        self.bytes_from_target = 0   # what the server sent (as far as it reached us)
        self.bytes_to_clients = 0    # what was passed on to clients
        self.bytes_from_clients = 0
        self.connections = 0

    def cut_after(self, threshold, function):
        """Calls function (on the proxy's thread) once, as soon as the
        clients were sent threshold bytes more than now; None clears it."""
        self._cut = None if function is None else (self.bytes_to_clients + threshold, function)

    def _sent_to_client(self, count):
        self.bytes_to_clients += count
        cut = self._cut
        if cut is not None and self.bytes_to_clients >= cut[0]:
            self._cut = None
            cut[1]()

    def start(self):
        ready = threading.Event()
        failure = []

        def run():
            self.loop = asyncio.new_event_loop()
            try:
                self._server = self.loop.run_until_complete(self.loop.create_server(
                    lambda: _Side(_Link(self), is_client=True), "127.0.0.1", self.requested_port,
                    reuse_address=True, backlog=128))
                self.port = self._server.sockets[0].getsockname()[1]
            except OSError as problem:
                failure.append(problem)
                ready.set()
                return
            ready.set()
            self.loop.run_forever()
            self._server.close()
            self.loop.run_until_complete(self._server.wait_closed())
            self.loop.close()

        self._thread = threading.Thread(target=run, name="latency-proxy", daemon=True)
        self._thread.start()
        ready.wait()
        if failure:
            raise failure[0]
        return self

    def url(self, path=""):
        return "http://127.0.0.1:%d/%s" % (self.port, path.lstrip("/"))

    def stop(self):
        if self._thread is not None and self.loop is not None and self.loop.is_running():
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(timeout=10)
        self._thread = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("target_port", type=int, help="the port on 127.0.0.1 to forward to")
    parser.add_argument("--delay-ms", type=float, default=25.0, help="delay per direction (default 25)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    args = parser.parse_args()
    proxy = LatencyProxy(args.target_port, args.delay_ms / 1000.0, args.port).start()
    print("listening on 127.0.0.1:%d, forwarding to 127.0.0.1:%d with %.1f ms each way"
          % (proxy.port, args.target_port, args.delay_ms), flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    proxy.stop()
    print("from target %d bytes, to clients %d bytes, %d connections"
          % (proxy.bytes_from_target, proxy.bytes_to_clients, proxy.connections))
    return 0


if __name__ == "__main__":
    sys.exit(main())
