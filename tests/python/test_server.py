"""The Server class: constructor checks, lifecycle and a real client."""

import signal
import socket
import subprocess
import sys

import pytest

from vellum._vellum import Cache, Server


@pytest.fixture
def server(cache):
    s = Server(cache, port=0)
    yield s
    s.stop()


@pytest.mark.parametrize("port", [-1, 65536, 2**40])
def test_port_out_of_range(cache, port):
    with pytest.raises(ValueError) as err:
        Server(cache, port=port)
    assert str(err.value) == "port must be between 0 and 65535"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"password": b"secret"}, TypeError, "password must be a str"),
        ({"password": 123}, TypeError, "password must be a str"),
        ({"password": ""}, ValueError, "password must not be empty"),
        ({"port": 2**64}, OverflowError, None),
        ({"port": "6380"}, TypeError, "argument 'port': "),
        ({"host": b"127.0.0.1"}, TypeError, "argument 'host': "),
    ],
)
def test_constructor_checks(cache, kwargs, exc, message):
    with pytest.raises(exc) as err:
        Server(cache, **kwargs)
    if message is not None:
        assert str(err.value).startswith(message)


def test_cache_argument_must_be_a_cache():
    with pytest.raises(TypeError, match="^argument 'cache': "):
        Server(object())


def test_port_zero_lifecycle(server):
    assert server.port == 0 and server.running is False
    assert server.start() is None
    bound = server.port
    assert bound != 0 and server.running is True
    assert server.start() is None
    assert server.port == bound
    server.stop()
    assert server.running is False and server.port == bound
    assert server.stop() is None


def test_binding_a_port_in_use_names_host_and_port(cache):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        s = Server(cache, host="127.0.0.1", port=port)
        with pytest.raises(OSError) as err:
            s.start()
        assert str(err.value).startswith(f"cannot bind 127.0.0.1:{port}: ")
        assert str(err.value).endswith(")")  # "... (os error N)"
        assert s.running is False


def test_redis_client_shares_the_cache(cache, server):
    redis = pytest.importorskip("redis")
    server.start()
    client = redis.Redis(host="127.0.0.1", port=server.port, protocol=2)
    try:
        assert client.set("k", "v") is True
        assert cache.get(b"k") == b"v"
        cache.rpush(b"l", b"a", b"b")
        assert client.lrange("l", 0, -1) == [b"a", b"b"]
        assert client.incr("n", 5) == 5
    finally:
        client.close()


def test_password_is_required_when_set(cache):
    redis = pytest.importorskip("redis")
    s = Server(cache, port=0, password="pw")
    s.start()
    try:
        with pytest.raises(redis.exceptions.AuthenticationError):
            redis.Redis(port=s.port, protocol=2).get("k")
        assert redis.Redis(port=s.port, password="pw", protocol=2).ping() is True
    finally:
        s.stop()


def test_stop_closes_connected_clients(cache, server):
    server.start()
    client = socket.create_connection(("127.0.0.1", server.port), timeout=5)
    client.sendall(b"PING\r\n")
    assert client.recv(64) == b"+PONG\r\n"
    server.stop()
    assert client.recv(64) == b""
    client.close()


def test_dropping_a_running_server_closes_its_listener(cache):
    s = Server(cache, port=0)
    s.start()
    port = s.port
    del s
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5)


def test_server_outlives_its_cache():
    redis = pytest.importorskip("redis")
    cache = Cache()
    cache.set(b"k", b"v")
    s = Server(cache, port=0)
    del cache
    s.start()
    try:
        assert redis.Redis(port=s.port, protocol=2).get("k") == b"v"
    finally:
        s.stop()


@pytest.mark.parametrize("budget", [0, -1, True, 1.5, "1MiB", 2**63])
def test_request_budget_must_be_a_positive_int(cache, budget):
    with pytest.raises(ValueError, match="^request_budget "):
        Server(cache, request_budget=budget)


@pytest.mark.parametrize(
    "max_memory, budget, expected",
    [
        (0, None, 1 << 30),
        (100 << 20, None, 100 << 20),
        (8 << 30, None, 1 << 30),
        (100 << 20, 1 << 40, 1 << 40),
        (0, 12345, 12345),
    ],
)
def test_request_budget_default_and_explicit(max_memory, budget, expected):
    c = Cache(max_memory=max_memory)
    try:
        assert Server(c, port=0, request_budget=budget).request_budget == expected
    finally:
        c.close()


def test_serve_cli_applies_request_budget(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-m", "vellum", "serve", "--no-persist", "--port", "0", "--request-budget", "32KiB"],
        stderr=subprocess.PIPE, text=True, cwd=tmp_path,
    )
    try:
        line = proc.stderr.readline()
        assert "listening on 127.0.0.1:" in line, line
        port = int(line.split("listening on 127.0.0.1:")[1].split()[0])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            # The value's first 16 bytes need a 64 KiB buffer, more than the whole budget;
            # nothing follows them, so the server has read every byte when it closes.
            s.sendall(b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$100000\r\n" + b"v" * 16)
            reply = b""
            while chunk := s.recv(4096):
                reply += chunk
        assert reply == b"-OOM request exceeds the server's request memory budget\r\n"
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"PING\r\n")
            assert s.recv(64) == b"+PONG\r\n"
    finally:
        # serve installs its handlers before it logs the listening line, so even a signal
        # this early ends it in order.
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=60) == 0
        proc.stderr.close()
