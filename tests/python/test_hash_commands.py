"""Hash reads and field writes beyond the basics, through the redis client and the native
Cache: replies, error texts, accounting, and the state a reopen replays."""

import math

import pytest

pytest.importorskip("redis")

from vellum._vellum import Cache  # noqa: E402
from wire_session import WRONGTYPE, assert_refused, audit_ok, reopen, serve  # noqa: E402


@pytest.fixture
def served(tmp_path):
    yield from serve(tmp_path, shards=4)


def test_replies_over_the_wire_and_replay(served):
    cache, r, box = served
    assert r.hmset("h", {"a": "1", "b": "xyz"}) is True
    assert r.hmget("h", ["a", "zz", "b"]) == [b"1", None, b"xyz"]
    assert r.hmget("none", ["a"]) == [None]
    assert sorted(r.hkeys("h")) == [b"a", b"b"] and sorted(r.hvals("h")) == [b"1", b"xyz"]
    assert r.hkeys("none") == [] and r.hvals("none") == []
    assert r.hexists("h", "a") is True and r.hexists("h", "q") is False and r.hexists("none", "a") is False
    assert r.hstrlen("h", "b") == 3 and r.hstrlen("h", "q") == 0 and r.hstrlen("none", "q") == 0
    assert r.hsetnx("h", "a", "other") == 0 and r.hget("h", "a") == b"1"
    assert r.hsetnx("h", "c", "new") == 1 and r.hsetnx("fresh", "f", "v") == 1
    assert r.hincrby("h", "a", 41) == 42
    assert r.hincrby("h", "n", -5) == -5
    assert r.hincrby("newhash", "n") == 1
    assert r.hincrbyfloat("h", "f", 1.5) == 1.5
    assert r.hincrbyfloat("h", "f", "0.1") == pytest.approx(1.6)
    assert r.hget("h", "f") == b"1.6"
    assert r.hincrbyfloat("h", "a", "-2.5") == 39.5
    audit_ok(cache)
    before = {k: cache.hgetall(k) for k in ("h", "fresh", "newhash")}
    cache = reopen(box)
    assert {k: cache.hgetall(k) for k in ("h", "fresh", "newhash")} == before
    audit_ok(cache)


@pytest.mark.parametrize(
    "args, message",
    [
        (("HMSET", "h", "a"), "ERR wrong number of arguments for 'hmset' command"),
        (("HMSET", "h", "a", "1", "b"), "ERR wrong number of arguments for 'hmset' command"),
        (("HMGET", "h"), "ERR wrong number of arguments for 'hmget' command"),
        (("HINCRBY", "h", "s", "1"), "ERR hash value is not an integer"),
        (("HINCRBY", "h", "a", "x"), "ERR value is not an integer or out of range"),
        (("HINCRBY", "h", "big", "1"), "ERR increment or decrement would overflow"),
        (("HINCRBYFLOAT", "h", "s", "1"), "ERR hash value is not a float, or the increment would produce NaN or Infinity"),
        (("HINCRBYFLOAT", "h", "a", "x"), "ERR value is not a valid float"),
        (("HINCRBYFLOAT", "h", "a", "inf"), "ERR value is not a valid float"),
        (("HINCRBYFLOAT", "h", "huge", "1e308"), "ERR hash value is not a float, or the increment would produce NaN or Infinity"),
        (("HSETNX", "str", "a", "1"), WRONGTYPE),
        (("HINCRBY", "str", "a", "1"), WRONGTYPE),
        (("HINCRBYFLOAT", "str", "a", "1"), WRONGTYPE),
        (("HMGET", "str", "a"), WRONGTYPE),
        (("HKEYS", "str"), WRONGTYPE),
        (("HVALS", "str"), WRONGTYPE),
        (("HEXISTS", "str", "a"), WRONGTYPE),
        (("HSTRLEN", "str", "a"), WRONGTYPE),
        (("HMSET", "str", "a", "1"), WRONGTYPE),
        (("HSCAN", "h", "x"), "ERR invalid cursor"),
        (("HSCAN", "h", "0", "COUNT", "-2"), "ERR syntax error"),
        (("HSCAN", "h", "0", "MATCH"), "ERR syntax error"),
        (("HSCAN", "h", "0", "NOVALUES", "COUNT"), "ERR syntax error"),
        (("HSCAN", "h", "0", "TYPE", "hash"), "ERR syntax error"),
        (("HSCAN", "str", "0"), WRONGTYPE),
    ],
)
def test_error_texts_change_nothing(served, args, message):
    cache, r, _ = served
    r.hset("h", mapping={"a": "1", "s": "text", "big": str(2**63 - 1), "huge": "1e308"})
    r.set("str", "v")
    before = r.hgetall("h")
    assert_refused(cache, r, args, message)
    assert r.hgetall("h") == before and r.get("str") == b"v"


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda c: c.hmget("h", "a", "x"), [b"1", None]),
        (lambda c: sorted(c.hkeys("h")), [b"a", b"b"]),
        (lambda c: sorted(c.hvals("h")), [b"1", b"22"]),
        (lambda c: (c.hexists("h", "b"), c.hexists("h", "x")), (True, False)),
        (lambda c: (c.hstrlen("h", "b"), c.hstrlen("none", "b")), (2, 0)),
        (lambda c: (c.hsetnx("h", "a", "9"), c.hsetnx("h", "n", "9"), c.hget("h", "n")), (False, True, b"9")),
        (lambda c: (c.hincrby("h", "a"), c.hincrby("h", "a", amount=-11)), (2, -9)),
        (lambda c: (c.hincrbyfloat("h", "b", 0.5), c.hget("h", "b")), (22.5, b"22.5")),
        (lambda c: c.hincrbyfloat("h", "z"), 1.0),
    ],
)
def test_native_methods(call, expected):
    c = Cache(shards=2)
    c.hset("h", "a", "1")
    c.hset("h", "b", "22")
    assert call(c) == expected
    audit_ok(c)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.hincrby("h", "s"), ValueError),
        (lambda c: c.hincrby("h", "a", 2**63 - 1), ValueError),
        (lambda c: c.hincrbyfloat("h", "s", 1.0), ValueError),
        (lambda c: c.hincrbyfloat("h", "a", math.inf), ValueError),
        (lambda c: c.hincrbyfloat("h", "a", "1"), TypeError),
        (lambda c: c.hsetnx("str", "a", "1"), TypeError),
        (lambda c: c.hkeys("str"), TypeError),
        (lambda c: c.hmget("str", "a"), TypeError),
    ],
)
def test_native_errors_change_nothing(call, error):
    c = Cache(shards=2)
    c.hset("h", "a", "1")
    c.hset("h", "s", "text")
    c.set("str", "v")
    used = c.used_memory
    with pytest.raises(error):
        call(c)
    assert c.hgetall("h") == {b"a": b"1", b"s": b"text"} and c.used_memory == used
    audit_ok(c)


def test_hscan_over_the_wire_and_through_the_cache(served):
    cache, r, _ = served
    fields = {f"f{i}".encode(): str(i).encode() for i in range(700)}
    r.hset("h", mapping=fields)
    assert dict(r.hscan_iter("h", count=3)) == fields
    assert dict(r.hscan_iter("h", match="f1?")) == {f"f1{i}".encode(): f"1{i}".encode() for i in range(10)}
    assert sorted(r.hscan_iter("h", match="f6??", no_values=True)) == sorted(f"f6{i:02}".encode() for i in range(100))
    cursor, page = r.hscan("h", 0, count=1)
    assert cursor != 0 and len(page) == 128 and all(fields[f] == v for f, v in page.items())
    r.hset("small", mapping={"a": "1", "b": "2"})
    assert r.hscan("small", 0, match="a", no_values=True) == (0, [b"a"])
    assert r.hscan("none", 0) == (0, {})
    cursor, names = 0, []
    while True:
        cursor, page = cache.hscan("h", cursor, "f5*", 10, novalues=True)
        names += page
        if cursor == 0:
            break
    assert sorted(names) == sorted(f for f in fields if f.startswith(b"f5"))
    audit_ok(cache)


def test_the_wrappers_iterators_cover_hashes_and_sets():
    import vellum

    c = vellum.Cache(shards=2)
    for i in range(300):
        c.hset("h", f"f{i}", i)
        c.sadd("s", i)
    assert dict(c.hscan_iter("h", count=10)) == {f"f{i}".encode(): str(i).encode() for i in range(300)}
    assert dict(c.hscan_iter("h", match="f1?")) == {f"f1{i}".encode(): f"1{i}".encode() for i in range(10)}
    assert sorted(c.sscan_iter("s", match="2?")) == [f"2{i}".encode() for i in range(10)]
    cursor, page = c.hscan("h", 0, match="f2*")
    assert cursor != 0 and all(f.startswith(b"f2") for f in page)
    cursor, members = c.sscan("s")
    assert cursor != 0 and len(members) == 128
    assert list(c.hscan_iter("none")) == [] and c.sscan("none") == (0, [])
    c.set("str", b"v")
    with pytest.raises(TypeError):
        c.sscan("str")
    with pytest.raises(ValueError):
        c.hscan("h", count=0)
