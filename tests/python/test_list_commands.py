"""List positional reads and counted pops, through the redis client and the native
Cache: replies, error texts, accounting, and the state a reopen replays."""

import pytest

redis = pytest.importorskip("redis")

from vellum._vellum import Cache  # noqa: E402
from wire_session import WRONGTYPE, audit_ok, serve  # noqa: E402


@pytest.fixture
def served(tmp_path):
    yield from serve(tmp_path, shards=4)


def test_replies_over_the_wire_and_replay(served):
    cache, r, path, box = served
    r.rpush("l", *"abcabcx")
    assert r.lindex("l", 0) == b"a" and r.lindex("l", -1) == b"x" and r.lindex("l", 7) is None
    assert r.lindex("l", -8) is None and r.lindex("none", 0) is None
    assert r.lpos("l", "c") == 2
    assert r.lpos("l", "c", rank=2) == 5 and r.lpos("l", "c", rank=-1) == 5 and r.lpos("l", "c", rank=-2) == 2
    assert r.lpos("l", "c", rank=3) is None and r.lpos("l", "zz") is None and r.lpos("none", "a") is None
    assert r.lpos("l", "a", count=0) == [0, 3] and r.lpos("l", "a", count=1) == [0]
    assert r.lpos("l", "a", count=0, rank=-1) == [3, 0]
    assert r.lpos("l", "c", count=0, maxlen=3) == [2] and r.lpos("l", "x", maxlen=6) is None
    assert r.lpos("none", "a", count=2) == []
    assert r.lpop("l", 2) == [b"a", b"b"]
    assert r.rpop("l", 2) == [b"x", b"c"]
    assert r.lpop("l", 0) is None or r.lpop("l", 0) == []
    assert r.rpop("none", 3) is None
    assert r.lrange("l", 0, -1) == [b"c", b"a", b"b"]
    r.rpush("gone", 1, 2)
    assert r.rpop("gone", 10) == [b"2", b"1"] and r.exists("gone") == 0
    audit_ok(cache)
    cache.close()
    cache = Cache(shards=4, persist_dir=path, snapshot_interval=0)
    box["cache"] = cache
    assert cache.lrange("l", 0, -1) == [b"c", b"a", b"b"] and not cache.exists("gone")
    audit_ok(cache)


@pytest.mark.parametrize(
    "args, message",
    [
        (("LPOP", "l", "-1"), "ERR value is out of range, must be positive"),
        (("RPOP", "l", "x"), "ERR value is out of range, must be positive"),
        (("LPOP", "l", "1", "2"), "ERR wrong number of arguments for 'lpop' command"),
        (("LINDEX", "l", "x"), "ERR value is not an integer or out of range"),
        (("LPOS", "l", "a", "RANK", "0"), "ERR RANK can't be zero: use 1 to start from the first match, "
         "2 from the second ... or use negative to start from the last match"),
        (("LPOS", "l", "a", "COUNT", "-1"), "ERR COUNT can't be negative"),
        (("LPOS", "l", "a", "MAXLEN", "-1"), "ERR MAXLEN can't be negative"),
        (("LPOS", "l", "a", "RANK"), "ERR syntax error"),
        (("LPOS", "l", "a", "FOO", "1"), "ERR syntax error"),
        (("LPOP", "str", "2"), WRONGTYPE),
        (("LINDEX", "str", "0"), WRONGTYPE),
        (("LPOS", "str", "a"), WRONGTYPE),
    ],
)
def test_error_texts_change_nothing(served, args, message):
    cache, r, _, _ = served
    r.rpush("l", "a", "b")
    r.set("str", "v")
    used = cache.used_memory
    with pytest.raises(redis.ResponseError) as err:
        r.execute_command(*args)
    # The client drops the generic "ERR " code from the text it raises.
    assert str(err.value) == message.removeprefix("ERR ")
    assert r.lrange("l", 0, -1) == [b"a", b"b"] and r.get("str") == b"v"
    assert cache.used_memory == used


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda c: c.lpop("l", 2), [b"a", b"b"]),
        (lambda c: c.rpop("l", 10), [b"a", b"c", b"b", b"a"]),
        (lambda c: c.lpop("l", 0), []),
        (lambda c: c.lpop("none", 2), []),
        (lambda c: c.lpop("l"), b"a"),
        (lambda c: (c.lindex("l", 1), c.lindex("l", -4), c.lindex("l", 4)), (b"b", b"a", None)),
        (lambda c: (c.lpos("l", "a"), c.lpos("l", "a", -1), c.lpos("l", "q")), (0, 3, None)),
        (lambda c: c.lpos("l", "a", count=0), [0, 3]),
        (lambda c: c.lpos("l", "a", 1, 0, maxlen=3), [0]),
    ],
)
def test_native_methods(call, expected):
    c = Cache(shards=2)
    c.rpush("l", "a", "b", "c", "a")
    assert call(c) == expected
    audit_ok(c)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.lpop("l", -1), OverflowError),
        (lambda c: c.lpos("l", "a", 0), ValueError),
        (lambda c: c.lpop("str", 1), TypeError),
        (lambda c: c.lindex("str", 0), TypeError),
        (lambda c: c.lpos("str", "a"), TypeError),
    ],
)
def test_native_errors_change_nothing(call, error):
    c = Cache(shards=2)
    c.rpush("l", "a", "b")
    c.set("str", "v")
    with pytest.raises(error):
        call(c)
    assert c.lrange("l", 0, -1) == [b"a", b"b"]
    audit_ok(c)
