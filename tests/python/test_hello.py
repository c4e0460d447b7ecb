"""The `redis` client with its default settings: HELLO picks the protocol (3 unless told
otherwise), authenticates in the same step, and nothing falls back or warns. Both of its
reply parsers, the pure-Python one and hiredis, see the same replies."""

import datetime
import logging
import warnings

import pytest

redis = pytest.importorskip("redis")
from redis._parsers import _HiredisParser, _RESP2Parser  # noqa: E402
from redis.utils import HIREDIS_AVAILABLE  # noqa: E402

from vellum._vellum import Cache, Server  # noqa: E402

PARSERS = [
    pytest.param(_RESP2Parser, id="python"),
    pytest.param(
        _HiredisParser,
        id="hiredis",
        marks=pytest.mark.skipif(not HIREDIS_AVAILABLE, reason="hiredis is not installed"),
    ),
]


def connect(port, parser, **kwargs):
    return redis.Redis(connection_pool=redis.ConnectionPool(port=port, parser_class=parser, **kwargs))


@pytest.fixture
def serve():
    started = []

    def start(password=None):
        cache = Cache(shards=4)
        server = Server(cache, port=0, password=password) if password else Server(cache, port=0)
        server.start()
        started.append((server, cache))
        return server

    yield start
    for server, cache in started:
        server.stop()
        cache.close()


@pytest.fixture
def no_warnings(caplog):
    """Turns warnings into errors and fails on any warning the client logs (its fallback
    to the older protocol is logged, not warned)."""
    caplog.set_level(logging.WARNING)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING] == []


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize("password", [None, "pw"])
@pytest.mark.parametrize("protocol", [None, 2, 3])
def test_default_and_explicit_protocols_connect_without_warning(serve, no_warnings, parser, password, protocol):
    server = serve(password)
    kwargs = {}
    if password:
        kwargs["password"] = password
    if protocol:
        kwargs["protocol"] = protocol
    client = connect(server.port, parser, **kwargs)
    try:
        assert client.ping() is True
        assert client.set("k", "v") is True and client.get("k") == b"v"
        conn = client.connection_pool.get_connection()
        try:
            assert int(conn.protocol) == (protocol or 3)
        finally:
            client.connection_pool.release(conn)
    finally:
        client.close()


@pytest.mark.parametrize("parser", PARSERS)
def test_authentication_errors_are_authentication_errors(serve, parser):
    server = serve("pw")
    refused = ({}, {"password": "wrong"}, {"username": "alice", "password": "pw"}, {"protocol": 2, "password": "no"})
    for kwargs in refused:
        with pytest.raises(redis.AuthenticationError):
            connect(server.port, parser, **kwargs).ping()
    # Without a password the default user needs none: naming it with any password
    # succeeds, a bare password is refused with the text the client recognises.
    plain = serve()
    with pytest.raises(redis.AuthenticationError):
        connect(plain.port, parser, password="pw", protocol=2).ping()
    assert connect(plain.port, parser, password="pw").ping() is True
    with pytest.raises(redis.AuthenticationError):
        connect(plain.port, parser, username="alice", password="pw").ping()


@pytest.mark.parametrize("parser", PARSERS)
@pytest.mark.parametrize("protocol", [2, 3])
def test_connection_and_introspection_commands(serve, parser, protocol):
    server = serve()
    r = connect(server.port, parser, protocol=protocol, client_name="web-1")
    other = connect(server.port, parser, protocol=protocol)
    try:
        r.hset("h", mapping={"a": "1", "b": "2"})
        r.sadd("s", "x", "y")
        assert r.hgetall("h") == {b"a": b"1", b"b": b"2"}
        assert r.smembers("s") == {b"x", b"y"}
        assert r.get("missing") is None
        assert r.client_getname() in ("web-1", b"web-1")
        my_id = r.client_id()
        assert other.ping() and other.client_id() > my_id
        listed = {int(c["id"]): c for c in r.client_list()}
        assert listed[my_id]["name"] == "web-1" and other.client_id() in listed
        assert r.client_info()["id"] == my_id
        assert r.client_setname("renamed") is True and r.client_getname() in ("renamed", b"renamed")
        with pytest.raises(redis.ResponseError, match="cannot contain spaces"):
            r.client_setname("two words")

        seconds, micros = r.time()
        assert abs(seconds - datetime.datetime.now().timestamp()) < 60 and 0 <= micros < 1_000_000
        assert r.command_count() == len(r.command_list()) > 30
        assert r.command_getkeys("MSET", "a", "1", "b", "2") in (["a", "b"], [b"a", b"b"])
        assert r.config_get("maxmemory*") in (
            {"maxmemory": "0", "maxmemory-policy": "noeviction"},
            {b"maxmemory": b"0", b"maxmemory-policy": b"noeviction"},
        )
        with pytest.raises(redis.ResponseError, match="CONFIG SET is not supported"):
            r.config_set("maxmemory", "10")
        info = r.info("server", "clients")
        assert "uptime_in_seconds" in info and info["connected_clients"] == 2
        assert "used_memory" in r.info() and "keyspace_hits" in r.info("stats")
        assert r.lastsave() is None  # an in-memory server never saved
        with pytest.raises(redis.ResponseError, match="only database 0 exists"):
            r.select(1)
    finally:
        r.close()
        other.close()


@pytest.mark.parametrize("how", ["id", "addr", "old form", "itself"])
def test_client_kill_closes_the_connection_it_names(serve, how):
    # The victim waits in a read on an idle connection: the kill must end that read.
    server = serve()
    r = redis.Redis(port=server.port, protocol=2)
    victim = redis.Connection(port=server.port, protocol=2, socket_timeout=60)
    try:
        victim.send_command("CLIENT", "ID")
        victim_id = victim.read_response()
        (listed,) = r.client_list(client_id=[victim_id])
        if how == "id":
            assert r.client_kill_filter(_id=victim_id) == 1
        elif how == "addr":
            assert r.client_kill_filter(addr=listed["addr"], skipme=True) == 1
        elif how == "old form":
            assert r.client_kill(listed["addr"]) is True
        else:
            victim.send_command("CLIENT", "KILL", "ID", victim_id, "SKIPME", "no")
            assert victim.read_response() == 1
        assert victim_id not in {int(c["id"]) for c in r.client_list()}
        with pytest.raises(redis.ConnectionError):
            victim.send_command("PING")
            victim.read_response()
        assert r.ping() is True and r.client_kill_filter(_id=victim_id) == 0
    finally:
        victim.disconnect()
        r.close()


def test_hello_over_a_raw_connection_refuses_other_versions(serve):
    server = serve()
    conn = redis.Connection(port=server.port, protocol=2)
    try:
        conn.send_command("HELLO", "4")
        with pytest.raises(redis.ResponseError, match="^NOPROTO unsupported protocol version$"):
            conn.read_response()
        conn.send_command("HELLO", "2", "SETNAME", "raw")
        props = conn.read_response()
        props = dict(zip(props[::2], props[1::2]))
        assert props[b"server"] == b"vellum" and props[b"proto"] == 2 and props[b"mode"] == b"standalone"
        assert props[b"id"] > 0 and props[b"modules"] == []
    finally:
        conn.disconnect()


@pytest.mark.parametrize("password", [None, "pw"])
def test_asyncio_client_defaults_connect(serve, no_warnings, password):
    import asyncio

    import redis.asyncio as aredis

    server = serve(password)

    async def main():
        client = aredis.Redis(port=server.port, password=password)
        try:
            assert await client.set("k", "v") is True
            assert await client.hset("h", "f", "v") == 1
            return await client.get("k"), await client.hgetall("h"), await client.client_id()
        finally:
            await client.aclose()

    assert asyncio.run(main()) == (b"v", {b"f": b"v"}, 1)
