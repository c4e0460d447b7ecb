"""The string commands beyond GET/SET (SETNX, PSETEX, SET's GET/KEEPTTL/EXAT/PXAT, GETDEL,
GETEX, GETSET, STRLEN, MSETNX, INCRBYFLOAT) through the wire and the native Cache: replies,
error texts, memory accounting, and the state the log rebuilds after a reopen."""

import time

import pytest

redis = pytest.importorskip("redis")

from vellum import Cache as WrappedCache  # noqa: E402
from vellum._vellum import Cache, Server  # noqa: E402
from wire_session import WRONGTYPE, segment_ops  # noqa: E402

SYNTAX = "syntax error"
NOT_INT = "value is not an integer or out of range"


class Err:
    def __init__(self, text):
        self.text = text


def dump(cache):
    """Every key with its string value (or its kind) and whether it has an expiry."""
    out = {}
    for k in cache.keys():
        try:
            v = cache.get(k)
        except TypeError:
            v = "collection"
        out[k] = (v, cache.pttl(k) > 0)
    return out


@pytest.fixture
def served(tmp_path):
    """A persistent cache behind a server, a raw client (no reply callbacks), and a reopen."""
    state = {}

    def start():
        cache = Cache(shards=4, persist_dir=tmp_path / "data", snapshot_interval=0)
        server = Server(cache, port=0)
        server.start()
        client = redis.Redis(host="127.0.0.1", port=server.port, protocol=2)
        client.response_callbacks.clear()
        state.update(cache=cache, server=server, client=client)
        return cache, client

    def reopen():
        state["client"].close()
        state["server"].stop()
        state["cache"].close()
        return start()

    cache, client = start()
    yield cache, client, reopen
    state["client"].close()
    state["server"].stop()
    state["cache"].close()


# A whole number of seconds a month ahead, so absolute expiries stay in the future however
# long the suite runs before these cases.
NOW_S = int(time.time()) + 30 * 86400

CASES = [
    # (setup, command, reply, state of "k" afterwards: value or None, has-expiry)
    ([], ["SETNX", "k", "v"], 1, (b"v", False)),
    ([["SET", "k", "a"]], ["SETNX", "k", "v"], 0, (b"a", False)),
    ([], ["PSETEX", "k", "100000", "v"], b"OK", (b"v", True)),
    ([], ["PSETEX", "k", "0", "v"], Err("invalid expire time in 'psetex' command"), None),
    ([], ["PSETEX", "k", "x", "v"], Err(NOT_INT), None),
    ([["SET", "k", "a"]], ["SET", "k", "b", "GET"], b"a", (b"b", False)),
    ([], ["SET", "k", "b", "GET"], None, (b"b", False)),
    ([["RPUSH", "k", "a"]], ["SET", "k", "b", "GET"], Err(WRONGTYPE), ("collection", False)),
    ([["SET", "k", "a"]], ["SET", "k", "b", "NX", "GET"], b"a", (b"a", False)),
    ([], ["SET", "k", "b", "XX", "GET"], None, None),
    ([["SET", "k", "a", "EX", "100"]], ["SET", "k", "b", "KEEPTTL"], b"OK", (b"b", True)),
    ([["SET", "k", "a", "EX", "100"]], ["SET", "k", "b"], b"OK", (b"b", False)),
    ([], ["SET", "k", "v", "EXAT", str(NOW_S + 1000)], b"OK", (b"v", True)),
    ([], ["SET", "k", "v", "PXAT", str(NOW_S * 1000 + 100000)], b"OK", (b"v", True)),
    ([], ["SET", "k", "v", "EXAT", "1"], b"OK", None),  # already in the past
    ([], ["SET", "k", "v", "EX", "10", "PX", "100"], Err(SYNTAX), None),
    ([], ["SET", "k", "v", "KEEPTTL", "EX", "10"], Err(SYNTAX), None),
    ([], ["SET", "k", "v", "EXAT", "10", "KEEPTTL"], Err(SYNTAX), None),
    ([], ["SET", "k", "v", "NX", "XX"], Err(SYNTAX), None),
    ([], ["SET", "k", "v", "EX"], Err(SYNTAX), None),
    ([], ["SET", "k", "v", "EX", "abc", "FOO"], Err(NOT_INT), None),  # checked where it stands
    ([], ["SET", "k", "v", "EXAT", "0"], Err("invalid expire time in 'set' command"), None),
    ([], ["SET", "k", "v", "PXAT", "-5"], Err("invalid expire time in 'set' command"), None),
    ([], ["SET", "k", "v", "EXAT", "9223372036854775807"], Err("invalid expire time in 'set' command"), None),
    ([], ["SET", "k", "v", "EX", "abc"], Err(NOT_INT), None),
    ([["SET", "k", "a"]], ["GETDEL", "k"], b"a", None),
    ([], ["GETDEL", "k"], None, None),
    ([["SADD", "k", "m"]], ["GETDEL", "k"], Err(WRONGTYPE), ("collection", False)),
    ([["SET", "k", "a", "EX", "100"]], ["GETEX", "k"], b"a", (b"a", True)),
    ([["SET", "k", "a"]], ["GETEX", "k", "EX", "100"], b"a", (b"a", True)),
    ([["SET", "k", "a"]], ["GETEX", "k", "PXAT", str(NOW_S * 1000 + 100000)], b"a", (b"a", True)),
    ([["SET", "k", "a", "EX", "100"]], ["GETEX", "k", "PERSIST"], b"a", (b"a", False)),
    ([["SET", "k", "a"]], ["GETEX", "k", "EX", "1", "PX", "5"], Err(SYNTAX), (b"a", False)),
    ([["SET", "k", "a"]], ["GETEX", "k", "KEEPTTL"], Err(SYNTAX), (b"a", False)),
    ([["SET", "k", "a"]], ["GETEX", "k", "EX", "0"], Err("invalid expire time in 'getex' command"), (b"a", False)),
    ([], ["GETEX", "k", "EX", "10"], None, None),
    ([["HSET", "k", "f", "v"]], ["GETEX", "k"], Err(WRONGTYPE), ("collection", False)),
    ([["SET", "k", "a", "EX", "100"]], ["GETSET", "k", "b"], b"a", (b"b", False)),
    ([], ["GETSET", "k", "b"], None, (b"b", False)),
    ([["LPUSH", "k", "x"]], ["GETSET", "k", "b"], Err(WRONGTYPE), ("collection", False)),
    ([["SET", "k", "hello"]], ["STRLEN", "k"], 5, (b"hello", False)),
    ([], ["STRLEN", "k"], 0, None),
    ([["SADD", "k", "m"]], ["STRLEN", "k"], Err(WRONGTYPE), ("collection", False)),
    ([], ["MSETNX", "k", "1", "j", "2"], 1, (b"1", False)),
    ([["SET", "j", "x"]], ["MSETNX", "k", "1", "j", "2"], 0, None),
    ([], ["MSETNX", "k", "1", "j"], Err("wrong number of arguments for 'msetnx' command"), None),
    ([["SET", "k", "10.50"]], ["INCRBYFLOAT", "k", "0.1"], b"10.6", (b"10.6", False)),
    ([["SET", "k", "1", "EX", "100"]], ["INCRBYFLOAT", "k", "2"], b"3", (b"3", True)),
    ([], ["INCRBYFLOAT", "k", "-2.5e1"], b"-25", (b"-25", False)),
    ([["SET", "k", "abc"]], ["INCRBYFLOAT", "k", "1"], Err("value is not a valid float"), (b"abc", False)),
    ([], ["INCRBYFLOAT", "k", "x"], Err("value is not a valid float"), None),
    ([["SET", "k", "1"]], ["INCRBYFLOAT", "k", "inf"], Err("increment would produce NaN or Infinity"), (b"1", False)),
    ([["LPUSH", "k", "x"]], ["INCRBYFLOAT", "k", "1"], Err(WRONGTYPE), ("collection", False)),
]


def run_and_replay(served, setup, command, reply):
    """Runs the setup and the command, checks its reply and the memory accounting, and
    returns the keys as `dump` sees them after checking that a reopen rebuilds them."""
    cache, r, reopen = served
    for s in setup:
        r.execute_command(*s)
    if isinstance(reply, Err):
        with pytest.raises(redis.ResponseError) as info:
            r.execute_command(*command)
        assert str(info.value) == reply.text
    else:
        assert r.execute_command(*command) == reply
    state = dump(cache)
    audit = cache._audit()
    assert audit["charge_sum"] == audit["used_memory"]
    cache, r = reopen()
    assert dump(cache) == state
    return state


@pytest.mark.parametrize("setup,command,reply,after", CASES, ids=[" ".join(c[1][:4]) for c in CASES])
def test_reply_accounting_and_replay(served, setup, command, reply, after):
    assert run_and_replay(served, setup, command, reply).get(b"k") == after


def test_set_get_reply_through_the_client_api(served):
    _, r, _ = served
    r2 = redis.Redis(connection_pool=r.connection_pool)  # with the client's reply callbacks
    assert r2.set("k", "a") is True
    assert r2.set("k", "b", get=True) == b"a"
    assert r2.set("k", "c", keepttl=True) is True
    assert r2.setnx("k", "x") is False and r2.setnx("n", "x") is True
    assert r2.psetex("p", 5000, "v") is True and 0 < r2.pttl("p") <= 5000
    assert r2.getex("k", ex=50) == b"c" and 0 < r2.ttl("k") <= 50
    assert r2.getex("k", persist=True) == b"c" and r2.ttl("k") == -1
    assert r2.getset("k", "d") == b"c" and r2.getdel("k") == b"d" and r2.get("k") is None
    assert r2.strlen("n") == 1
    assert r2.msetnx({"a": "1", "b": "2"}) is True and r2.msetnx({"b": "3", "c": "4"}) is False
    assert r2.incrbyfloat("f", 1.5) == 1.5 and r2.incrbyfloat("f", 0.25) == 1.75


def test_native_methods(tmp_path):
    path = tmp_path / "data"
    c = Cache(shards=4, persist_dir=path, snapshot_interval=0)
    try:
        assert c.setnx("k", b"v") is True and c.setnx("k", b"w") is False
        assert c.getset("k", b"w") == b"v" and c.getset("new", b"x") is None
        assert c.strlen("k") == 1 and c.strlen("nope") == 0
        assert c.getex("k", ex=100) == b"w" and 99_000 < c.pttl("k") <= 100_000
        assert c.getex("k", pxat=int(time.time() * 1000) + 50_000) == b"w" and 0 < c.pttl("k") <= 50_000
        assert c.getex("k", persist=True) == b"w" and c.pttl("k") == -1
        assert c.getex("nope", px=5) is None
        assert c.msetnx({"a": b"1", "b": b"2"}) is True and c.msetnx({"b": b"x", "z": b"y"}) is False
        assert c.get("z") is None
        assert c.incrbyfloat("f", 0.5) == 0.5 and c.incrbyfloat("f", 2) == 2.5
        assert c.getdel("a") == b"1" and c.getdel("a") is None
        c.sadd("s", b"m")
        for call in (c.getdel, c.strlen, c.getex, lambda k: c.getset(k, b"v"), lambda k: c.incrbyfloat(k, 1.0)):
            with pytest.raises(TypeError, match="WRONGTYPE"):
                call("s")
        audit = c._audit()
        assert audit["charge_sum"] == audit["used_memory"]
        state = dump(c)
    finally:
        c.close()
    c = Cache(shards=4, persist_dir=path, snapshot_interval=0)
    assert dump(c) == state
    c.close()


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda c: c.getex("k", ex=1, px=1), ValueError, "mutually exclusive"),
        (lambda c: c.getex("k", ex=1, persist=True), ValueError, "mutually exclusive"),
        (lambda c: c.getex("k", exat=0), ValueError, "exat must be a positive integer"),
        (lambda c: c.getex("k", px=-1), ValueError, "px must be a positive integer"),
        (lambda c: c.incrbyfloat("k", float("nan")), ValueError, "finite"),
        (lambda c: c.incrbyfloat("k", "1"), TypeError, "float or an int"),
        (lambda c: c.msetnx([1, 2]), TypeError, "mapping"),
        (lambda c: c.incrbyfloat("t", 1.0), ValueError, "not a valid float"),
    ],
)
def test_native_argument_errors(call, error, message):
    c = Cache()
    c.set("t", b"text")
    with pytest.raises(error, match=message):
        call(c)
    assert c.get("k") is None
    c.close()


def test_wrapper_methods_decode():
    with WrappedCache(codec="json") as c:
        c.set("k", {"a": 1})
        assert c.getset("k", [1, 2]) == {"a": 1}
        assert c.getex("k", ttl=100) == [1, 2] and 99 < c.ttl("k") <= 100
        assert c.getex("k", persist=True) == [1, 2] and c.ttl("k") is None
        assert c.strlen("k") == len(c.native.get("k"))
        assert c.getdel("k") == [1, 2] and c.getdel("k") is None
        assert c.incrbyfloat("f", 1.25) == 1.25


KEY_CASES = [
    # (setup, command, reply, {key: (value, has-expiry)} for every key afterwards)
    ([["SET", "k", "v"], ["LPUSH", "l", "a"]], ["TYPE", "l"], b"list", None),
    ([["HSET", "h", "f", "v"]], ["TYPE", "h"], b"hash", None),
    ([], ["TYPE", "nope"], b"none", {}),
    ([["SET", "k", "v"], ["SET", "j", "v"]], ["UNLINK", "k", "j", "nope"], 2, {}),
    ([["SET", "k", "v"]], ["TOUCH", "k", "k", "nope"], 2, {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["EXPIREAT", "k", str(NOW_S + 1000)], 1, {b"k": (b"v", True)}),
    ([["SET", "k", "v"]], ["EXPIREAT", "k", "1"], 1, {}),
    ([["SET", "k", "v"]], ["PEXPIREAT", "k", str(NOW_S * 1000 + 100000)], 1, {b"k": (b"v", True)}),
    ([], ["PEXPIREAT", "k", str(NOW_S * 1000 + 100000)], 0, {}),
    ([["SET", "k", "v"]], ["EXPIREAT", "k", "x"], Err(NOT_INT), {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["EXPIREAT", "k", "9223372036854775807"],
     Err("invalid expire time in 'expireat' command"), {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "NX"], 1, {b"k": (b"v", True)}),
    ([["SET", "k", "v", "EX", "50"]], ["EXPIRE", "k", "100", "NX"], 0, {b"k": (b"v", True)}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "XX"], 0, {b"k": (b"v", False)}),
    ([["SET", "k", "v", "EX", "50"]], ["EXPIRE", "k", "100", "GT"], 1, {b"k": (b"v", True)}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "GT"], 0, {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["PEXPIRE", "k", "100000", "LT"], 1, {b"k": (b"v", True)}),
    ([["SET", "k", "v"]], ["PEXPIRE", "k", "100000", "XX", "LT"], 0, {b"k": (b"v", False)}),
    ([["SET", "k", "v", "EX", "50"]], ["EXPIRE", "k", "-1", "LT"], 1, {}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "NX", "XX"],
     Err("NX and XX, GT or LT options at the same time are not compatible"), {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "GT", "LT"],
     Err("GT and LT options at the same time are not compatible"), {b"k": (b"v", False)}),
    ([["SET", "k", "v"]], ["EXPIRE", "k", "100", "FOO"], Err("Unsupported option FOO"), {b"k": (b"v", False)}),
    ([["SET", "k", "v", "PXAT", str(NOW_S * 1000 + 100000)]], ["PEXPIRETIME", "k"], NOW_S * 1000 + 100000, None),
    ([["SET", "k", "v", "PXAT", str(NOW_S * 1000 + 100400)]], ["EXPIRETIME", "k"], NOW_S + 100, None),
    ([["SET", "k", "v"]], ["EXPIRETIME", "k"], -1, None),
    ([], ["PEXPIRETIME", "k"], -2, None),
    ([["SET", "a", "v", "EX", "100"]], ["RENAME", "a", "b"], b"OK", {b"b": (b"v", True)}),
    ([["SADD", "a", "m"], ["SET", "b", "x"]], ["RENAME", "a", "b"], b"OK", {b"b": ("collection", False)}),
    ([["SET", "a", "v"]], ["RENAME", "a", "a"], b"OK", {b"a": (b"v", False)}),
    ([], ["RENAME", "a", "b"], Err("no such key"), {}),
    ([["SET", "a", "v"], ["SET", "b", "x"]], ["RENAMENX", "a", "b"], 0, {b"a": (b"v", False), b"b": (b"x", False)}),
    ([["RPUSH", "a", "1", "2"]], ["RENAMENX", "a", "b"], 1, {b"b": ("collection", False)}),
    ([], ["RENAMENX", "a", "b"], Err("no such key"), {}),
]


@pytest.mark.parametrize("setup,command,reply,after", KEY_CASES, ids=[" ".join(c[1][:4]) for c in KEY_CASES])
def test_key_commands_reply_accounting_and_replay(served, setup, command, reply, after):
    state = run_and_replay(served, setup, command, reply)
    if after is not None:
        assert state == after


def test_renamed_collection_replays_with_its_elements(served):
    cache, r, reopen = served
    r.execute_command("RPUSH", "l", "1", "2", "3")
    r.execute_command("HSET", "h", "f", "v", "g", "w")
    r.execute_command("PEXPIRE", "h", "100000")
    r.execute_command("RENAME", "l", "l2")
    r.execute_command("RENAME", "h", "l")
    r.execute_command("RPUSH", "l2", "4")
    cache, r = reopen()
    assert cache.lrange("l2", 0, -1) == [b"1", b"2", b"3", b"4"]
    assert cache.hgetall("l") == {b"f": b"v", b"g": b"w"} and cache.pttl("l") > 0
    assert cache.type("h") == "none"
    audit = cache._audit()
    assert audit["charge_sum"] == audit["used_memory"]


def test_native_key_methods(tmp_path):
    c = Cache(shards=4, persist_dir=tmp_path / "data", snapshot_interval=0)
    c.set("k", b"v")
    c.sadd("s", b"m")
    assert [c.type(k) for k in ("k", "s", "nope")] == ["string", "set", "none"]
    assert c.touch("k", "s", "nope") == 2
    at = int(time.time() * 1000) + 100_000
    assert c.pexpireat("k", at, gt=True) is False and c.pexpiretime("k") == -1
    assert c.pexpireat("k", at, nx=True) is True and c.pexpiretime("k") == at
    assert c.pexpireat("k", at - 10, lt=True, xx=True) is True and c.pexpiretime("k") == at - 10
    with pytest.raises(ValueError, match="nx excludes"):
        c.pexpireat("k", at, nx=True, gt=True)
    assert c.rename("k", "k2") is True and c.pexpiretime("k2") == at - 10
    assert c.renamenx("s", "k2") is False
    with pytest.raises(KeyError, match="no such key"):
        c.rename("nope", "x")
    assert c.pexpireat("s", 1) is True and c.type("s") == "none"
    c.close()
    c = Cache(shards=4, persist_dir=tmp_path / "data", snapshot_interval=0)
    assert c.get("k2") == b"v" and c.pexpiretime("k2") == at - 10 and c.type("s") == "none"
    c.close()


def test_wrapper_key_methods():
    with WrappedCache(codec="json") as c:
        c.set("a", [1])
        assert c.type("a") == "string" and c.type("b") == "none"
        c.rename("a", "b")
        assert c.get("b") == [1] and c.renamenx("b", "b") is False
        with pytest.raises(KeyError):
            c.rename("a", "c")


def test_log_tools_read_rename_records(tmp_path):
    native = Cache(persist_dir=str(tmp_path), fsync="always", snapshot_interval=0)
    native.set("a", b"1")
    native.rename("a", "b")
    native.getdel("b")
    del native  # as a crash leaves it: the records in the log, no final snapshot
    assert segment_ops(tmp_path) == {"SET": 1, "RENAME": 1, "DEL": 1}


def test_scan_over_the_wire(served):
    cache, r, _ = served
    for i in range(500):
        cache.set(f"user:{i}", b"v")
    cache.sadd("user:set", b"m")
    cache.set("other", b"v")
    client = redis.Redis(connection_pool=r.connection_pool)
    assert set(client.scan_iter(match="user:*", count=7)) == {f"user:{i}".encode() for i in range(500)} | {b"user:set"}
    assert set(client.scan_iter(_type="set")) == {b"user:set"}
    cursor, keys = client.scan(0, count=3)
    assert cursor != 0 and 1 <= len(keys) <= 64
    for bad, text in [
        (["SCAN", "x"], "invalid cursor"),
        (["SCAN", "-1"], "invalid cursor"),
        (["SCAN", "0", "COUNT", "0"], SYNTAX),
        (["SCAN", "0", "COUNT", "x"], NOT_INT),
        (["SCAN", "0", "MATCH"], SYNTAX),
        (["SCAN", "0", "FOO", "1"], SYNTAX),
    ]:
        with pytest.raises(redis.ResponseError) as info:
            r.execute_command(*bad)
        assert str(info.value) == text


def test_scan_while_keys_come_and_go():
    import threading

    c = Cache(shards=8)
    stable = {f"s{i}".encode() for i in range(3000)}
    for k in stable:
        c.set(k, b"v")
    stop = threading.Event()

    def churn():
        n = 0
        while not stop.is_set():
            key = f"c{n % 5000}"
            if (n // 5000) % 2 == 0:
                c.set(key, b"x")
            else:
                c.delete(key)
            n += 1

    t = threading.Thread(target=churn)
    t.start()
    try:
        for count in (1, 10, 100):
            seen = set()
            cursor = 0
            while True:
                cursor, keys = c.scan(cursor, count=count)
                seen.update(keys)
                if cursor == 0:
                    break
            assert stable <= seen
    finally:
        stop.set()
        t.join()
    c.close()


def test_wrapper_scan_iter():
    with WrappedCache() as c:
        for i in range(50):
            c.set(f"a{i}", b"v")
        c.set("b", b"v")
        assert sorted(c.scan_iter("a*", count=3)) == sorted(f"a{i}".encode() for i in range(50))
