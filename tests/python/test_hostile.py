"""Hostile clients over the wire: many idle connections, headers that announce huge
requests and then go silent, byte-at-a-time requests, and clients that never read.

The server runs in this process, so its threads and memory show in /proc/self.
"""

import os
import resource
import socket
import threading
import time

import pytest
import redis

from vellum._vellum import Cache, Server

STOP_BUDGET_S = 5.0


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def wait_until(pred, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.02)
    return pred()


def connect(port: int) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_exactly(s: socket.socket, n: int) -> bytes:
    out = b""
    while len(out) < n:
        chunk = s.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return out


def assert_serves(port: int) -> None:
    r = redis.Redis(host="127.0.0.1", port=port, protocol=2, socket_timeout=10)
    try:
        assert r.ping() is True
        assert r.set(b"probe", b"value") is True
        assert r.get(b"probe") == b"value"
    finally:
        r.close()


def assert_prompt_stop(server: Server) -> None:
    started = time.monotonic()
    server.stop()
    took = time.monotonic() - started
    assert took < STOP_BUDGET_S, f"stop() took {took:.1f} s"
    assert not server.running


@pytest.fixture
def served():
    """A cache served on a fresh loopback port; yields (server, port)."""
    # Sweepers of caches dropped by earlier tests end at their next wake-up; wait for
    # them, so the thread counts taken by the tests change only with this server.
    wait_until(lambda: thread_count() == threading.active_count(), 5)
    base = thread_count()
    cache = Cache()
    server = Server(cache, port=0)
    server.start()
    yield server, server.port
    server.stop()
    cache.close()
    # Every connection thread is joined by stop(); the sweeper ends at its next wake-up.
    assert wait_until(lambda: thread_count() <= base, 5), "threads outlived stop() and close()"


@pytest.fixture
def many_fds():
    """Raises the descriptor soft limit to the hard limit for the test, then restores it."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = hard if hard != resource.RLIM_INFINITY else 65536
    resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    yield target
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_thousand_idle_connections_do_not_starve_other_clients(served, many_fds):
    server, port = served
    clients = 1000
    # Each connection costs this process one client descriptor and three server ones
    # (the socket, its sending duplicate and the registry's duplicate).
    if many_fds < clients * 4 + 256:
        pytest.skip(f"descriptor limit {many_fds} is too low for {clients} connections")
    base_threads = thread_count()
    base_rss = rss_bytes()
    idle = []
    try:
        for _ in range(clients):
            idle.append(connect(port))
        assert wait_until(lambda: thread_count() >= base_threads + clients, 30), (
            f"{thread_count() - base_threads} of {clients} clients got a thread"
        )
        assert_serves(port)
        growth = rss_bytes() - base_rss
        # One thread per connection, each with two 8 KiB buffers and a little stack.
        assert growth < 256 << 20, f"{clients} idle connections cost {growth >> 20} MiB"
        assert_prompt_stop(server)
        for s in idle[:: clients // 20]:
            s.settimeout(5)
            assert s.recv(1) == b"", "a connection stayed open after stop()"
    finally:
        for s in idle:
            s.close()


@pytest.mark.parametrize(
    "header",
    [
        pytest.param(b"*1048576\r\n", id="max-multibulk-count"),
        pytest.param(b"*1\r\n$536870912\r\n", id="max-bulk-length"),
        pytest.param(b"*1048576\r\n$536870912\r\n", id="both-maxima"),
        pytest.param(b"*2\r\n$536870912\r\n" + b"x" * 1000, id="max-bulk-then-a-trickle"),
    ],
)
def test_huge_announcements_then_silence_cost_no_large_allocation(served, header):
    server, port = served
    clients = 200
    base_threads = thread_count()
    base_rss = rss_bytes()
    hostile = []
    try:
        for _ in range(clients):
            s = connect(port)
            s.sendall(header)
            hostile.append(s)
        assert wait_until(lambda: thread_count() >= base_threads + clients, 30), (
            f"{thread_count() - base_threads} of {clients} clients got a thread"
        )
        # Give every connection thread time to read its header and size its buffers.
        time.sleep(0.5)
        assert_serves(port)
        growth = rss_bytes() - base_rss
        assert growth < 64 << 20, f"{clients} clients announcing {header[:24]!r} cost {growth >> 20} MiB"
        assert_prompt_stop(server)
    finally:
        for s in hostile:
            s.close()


SLOW_REQUESTS = [
    pytest.param(b"*3\r\n$3\r\nSET\r\n$4\r\nslow\r\n$5\r\nhello\r\n", b"+OK\r\n", id="multibulk-set"),
    pytest.param(b"*2\r\n$3\r\nGET\r\n$4\r\nslow\r\n", b"$5\r\nhello\r\n", id="multibulk-get"),
    pytest.param(b"PING\r\n", b"+PONG\r\n", id="inline-ping"),
    pytest.param(b'ECHO "a b"\n', b"$3\r\na b\r\n", id="inline-quoted-bare-lf"),
    pytest.param(b"*1\n$4\nPING\r\n", b"+PONG\r\n", id="multibulk-bare-lf-headers"),
]


@pytest.mark.parametrize("request_bytes, reply", SLOW_REQUESTS)
def test_byte_at_a_time_requests_get_exact_replies(served, request_bytes, reply):
    server, port = served
    r = redis.Redis(host="127.0.0.1", port=port, protocol=2, socket_timeout=10)
    r.set(b"slow", b"hello")
    r.close()
    s = connect(port)
    try:
        for i in range(len(request_bytes)):
            s.sendall(request_bytes[i : i + 1])
            time.sleep(0.002)
        assert recv_exactly(s, len(reply)) == reply
        # Nothing more may follow: one request, one reply.
        s.settimeout(0.2)
        with pytest.raises(TimeoutError):
            s.recv(1)
    finally:
        s.close()


def test_slow_clients_do_not_hold_up_fast_ones(served):
    server, port = served
    request = b"*3\r\n$3\r\nSET\r\n$2\r\nsk\r\n$2\r\nsv\r\n"
    slow = [connect(port) for _ in range(20)]
    replies: list[bytes] = []
    lock = threading.Lock()

    def trickle(s: socket.socket) -> None:
        for i in range(len(request)):
            s.sendall(request[i : i + 1])
            time.sleep(0.02)
        got = recv_exactly(s, 5)
        with lock:
            replies.append(got)

    threads = [threading.Thread(target=trickle, args=(s,)) for s in slow]
    try:
        for t in threads:
            t.start()
        # While every slow client is mid-request, a normal client is served at full speed.
        started = time.monotonic()
        r = redis.Redis(host="127.0.0.1", port=port, protocol=2, socket_timeout=10)
        for i in range(200):
            assert r.set(b"fast", i) is True
        assert r.get(b"fast") == b"199"
        r.close()
        assert time.monotonic() - started < 5
        for t in threads:
            t.join(timeout=30)
        assert replies == [b"+OK\r\n"] * len(slow)
    finally:
        for s in slow:
            s.close()


def test_client_that_never_reads_does_not_block_stop(served):
    server, port = served
    s = connect(port)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    try:
        # Far more replies than the socket buffers hold, so the connection thread ends up
        # blocked in send while this client reads nothing.
        s.settimeout(2)
        try:
            for _ in range(200):
                s.sendall(b"PING\r\n" * 5000)
        except (TimeoutError, BlockingIOError):
            pass  # our own send side is full too: the server has stopped reading
        assert_serves(port)
        assert_prompt_stop(server)
    finally:
        s.close()


def read_to_close(s: socket.socket) -> bytes:
    out = b""
    while chunk := s.recv(4096):
        out += chunk
    return out


@pytest.mark.parametrize(
    "request_bytes",
    [
        pytest.param(b"*2\r\n$4\r\nAUTH\r\n$536870912\r\n", id="huge-bulk"),
        pytest.param(b"*2\r\n$4\r\nAUTH\r\n$4097\r\n", id="bulk-just-over"),
        pytest.param(b"*1048576\r\n", id="huge-count"),
        pytest.param(b"*6\r\n", id="six-arguments"),
        pytest.param(b"AUTH a b c d e\r\n", id="six-inline-words"),
    ],
)
def test_unauthenticated_client_cannot_make_the_server_buffer(request_bytes):
    cache = Cache()
    server = Server(cache, port=0, password="pw")
    server.start()
    try:
        clients = [connect(server.port) for _ in range(32)]
        try:
            for s in clients:
                s.sendall(request_bytes)
            for s in clients:
                assert read_to_close(s) == b"-ERR Protocol error: request too large before authentication\r\n"
        finally:
            for s in clients:
                s.close()
        r = redis.Redis(host="127.0.0.1", port=server.port, password="pw", protocol=2, socket_timeout=10)
        try:
            assert r.set(b"k", b"v" * 100_000) is True  # after AUTH, requests may be large
        finally:
            r.close()
    finally:
        server.stop()
        cache.close()


def test_request_budget_bounds_what_partial_requests_hold():
    cache = Cache()
    budget = 32 << 20
    server = Server(cache, port=0, request_budget=budget)
    server.start()
    port = server.port
    clients = [connect(port) for _ in range(8)]
    chunk = b"x" * (1 << 20)

    def send_part(s: socket.socket) -> None:
        # 16 MiB of an announced 512 MiB bulk: 128 MiB in all, four times the budget.
        try:
            s.sendall(b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$536870912\r\n")
            for _ in range(16):
                s.sendall(chunk)
        except OSError:
            pass  # closed by the server mid-request

    base_rss = rss_bytes()
    try:
        threads = [threading.Thread(target=send_part, args=(s,)) for s in clients]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        # A 16 MiB buffer and its argument slots are over half the budget, so at most one
        # client can hold all it sent; the server closes the others (with a reply, or with
        # a reset when it left bytes unread) once it has read up to their refusal.
        still_open = set(clients)
        deadline = time.monotonic() + 20
        while len(still_open) > 1 and time.monotonic() < deadline:
            for s in list(still_open):
                s.settimeout(0.05)
                try:
                    s.recv(4096)
                    still_open.discard(s)
                except TimeoutError:
                    pass
                except OSError:
                    still_open.discard(s)
        assert len(still_open) <= 1
        growth = rss_bytes() - base_rss
        assert growth < budget + (48 << 20), f"partial requests cost {growth >> 20} MiB"
        assert_serves(port)
    finally:
        for s in clients:
            s.close()
        server.stop()
        cache.close()
