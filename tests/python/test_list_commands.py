"""List positional reads and counted pops, through the redis client and the native
Cache: replies, error texts, accounting, and the state a reopen replays."""

import pytest

pytest.importorskip("redis")

from vellum._vellum import Cache  # noqa: E402
from wire_session import WRONGTYPE, assert_refused, audit_ok, reopen, segment_ops, serve  # noqa: E402


@pytest.fixture
def served(tmp_path):
    yield from serve(tmp_path, shards=4)


def test_replies_over_the_wire_and_replay(served):
    cache, r, box = served
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
    cache = reopen(box)
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
    cache, r, _ = served
    r.rpush("l", "a", "b")
    r.set("str", "v")
    assert_refused(cache, r, args, message)
    assert r.lrange("l", 0, -1) == [b"a", b"b"] and r.get("str") == b"v"


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


# ---- writes in place and moves ----


def test_writes_and_moves_over_the_wire(served):
    cache, r, box = served
    r.rpush("l", *"abcad")
    assert r.lset("l", 0, "A") is True and r.lset("l", -1, "D") is True
    assert r.linsert("l", "BEFORE", "c", "x") == 6 and r.linsert("l", "after", "D", "y") == 7
    assert r.linsert("l", "BEFORE", "nope", "x") == -1 and r.linsert("none", "BEFORE", "a", "x") == 0
    assert not r.exists("none")
    assert r.lrange("l", 0, -1) == [b"A", b"b", b"x", b"c", b"a", b"D", b"y"]
    assert r.lrem("l", 1, "x") == 1 and r.lrem("l", 0, "zz") == 0 and r.lrem("none", 0, "a") == 0
    assert r.ltrim("l", 1, -2) is True and r.lrange("l", 0, -1) == [b"b", b"c", b"a", b"D"]
    assert r.lmove("l", "m", "LEFT", "RIGHT") == b"b" and r.lmove("l", "m", "RIGHT", "LEFT") == b"D"
    assert r.rpoplpush("l", "l") == b"a" and r.lrange("l", 0, -1) == [b"a", b"c"]
    assert r.lmove("l", "l", "LEFT", "RIGHT") == b"a" and r.lrange("l", 0, -1) == [b"c", b"a"]
    assert r.lmove("none", "m") is None and r.rpoplpush("none", "fresh") is None and not r.exists("fresh")
    assert r.lrange("m", 0, -1) == [b"D", b"b"]
    r.rpush("one", "z")
    assert r.rpoplpush("one", "fresh") == b"z" and not r.exists("one") and r.lrange("fresh", 0, -1) == [b"z"]
    r.rpush("trim", 1, 2)
    assert r.ltrim("trim", 2, 5) is True and not r.exists("trim")
    r.rpush("rem", "q", "q")
    assert r.lrem("rem", -5, "q") == 2 and not r.exists("rem")
    audit_ok(cache)
    want = {k: r.lrange(k, 0, -1) for k in ("l", "m", "fresh")}
    cache = reopen(box)
    assert {k: cache.lrange(k, 0, -1) for k in want} == want
    assert not any(cache.exists(k) for k in ("one", "trim", "rem", "none"))
    audit_ok(cache)


@pytest.mark.parametrize(
    "args, message",
    [
        (("LSET", "none", "0", "x"), "ERR no such key"),
        (("LSET", "l", "2", "x"), "ERR index out of range"),
        (("LSET", "l", "-3", "x"), "ERR index out of range"),
        (("LSET", "l", "x", "x"), "ERR value is not an integer or out of range"),
        (("LTRIM", "l", "0", "x"), "ERR value is not an integer or out of range"),
        (("LREM", "l", "1.5", "a"), "ERR value is not an integer or out of range"),
        (("LINSERT", "l", "AROUND", "a", "x"), "ERR syntax error"),
        (("LMOVE", "l", "m", "UP", "LEFT"), "ERR syntax error"),
        (("LMOVE", "l", "m", "LEFT", "DOWN"), "ERR syntax error"),
        (("LMOVE", "l", "str", "LEFT", "RIGHT"), WRONGTYPE),
        (("RPOPLPUSH", "str", "l"), WRONGTYPE),
        (("RPOPLPUSH", "l", "str"), WRONGTYPE),
        (("LSET", "str", "0", "x"), WRONGTYPE),
        (("LTRIM", "str", "0", "1"), WRONGTYPE),
        (("LREM", "str", "0", "v"), WRONGTYPE),
        (("LINSERT", "str", "BEFORE", "v", "x"), WRONGTYPE),
        (("LINSERT", "l", "BEFORE"), "ERR wrong number of arguments for 'linsert' command"),
    ],
)
def test_write_errors_change_nothing(served, args, message):
    test_error_texts_change_nothing(served, args, message)


@pytest.mark.parametrize(
    "call, result, after",
    [
        (lambda c: c.lset("l", 1, "B"), None, {"l": [b"a", b"B", b"c", b"a"]}),
        (lambda c: c.lset("l", -4, "A" * 100), None, {"l": [b"A" * 100, b"b", b"c", b"a"]}),
        (lambda c: c.ltrim("l", -2, 10), None, {"l": [b"c", b"a"]}),
        (lambda c: c.ltrim("l", 3, 0), None, {"l": []}),
        (lambda c: c.lrem("l", -1, "a"), 1, {"l": [b"a", b"b", b"c"]}),
        (lambda c: c.lrem("l", 0, "a"), 2, {"l": [b"b", b"c"]}),
        (lambda c: c.linsert("l", "After", "a", "z"), 5, {"l": [b"a", b"z", b"b", b"c", b"a"]}),
        (lambda c: c.linsert("l", "before", "q", "z"), -1, {"l": [b"a", b"b", b"c", b"a"]}),
        (lambda c: c.lmove("l", "m"), b"a", {"l": [b"b", b"c", b"a"], "m": [b"x", b"a"]}),
        (lambda c: c.lmove("l", "m", "RIGHT", "left"), b"a", {"l": [b"a", b"b", b"c"], "m": [b"a", b"x"]}),
        (lambda c: c.lmove("m", "n", whereto="left"), b"x", {"m": [], "n": [b"x"]}),
        (lambda c: c.rpoplpush("l", "l"), b"a", {"l": [b"a", b"a", b"b", b"c"]}),
        (lambda c: c.rpoplpush("none", "n"), None, {"n": []}),
    ],
)
def test_native_writes(call, result, after):
    c = Cache(shards=4)
    c.rpush("l", "a", "b", "c", "a")
    c.rpush("m", "x")
    assert call(c) == result
    assert {k: c.lrange(k, 0, -1) for k in after} == after
    audit_ok(c)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda c: c.lset("none", 0, "x"), KeyError, "no such key"),
        (lambda c: c.lset("l", 2, "x"), IndexError, "index out of range"),
        (lambda c: c.linsert("l", "inside", "a", "x"), ValueError, "where must be 'before' or 'after'"),
        (lambda c: c.lmove("l", "m", "up"), ValueError, "wherefrom must be 'left' or 'right'"),
        (lambda c: c.lmove("l", "m", "left", 1), TypeError, "whereto"),
        (lambda c: c.lmove("l", "str"), TypeError, "WRONGTYPE"),
        (lambda c: c.lrem("str", 0, "v"), TypeError, "WRONGTYPE"),
    ],
)
def test_native_write_errors_change_nothing(call, error, text):
    c = Cache(shards=2)
    c.rpush("l", "a", "b")
    c.set("str", "v")
    with pytest.raises(error, match=text):
        call(c)
    assert c.lrange("l", 0, -1) == [b"a", b"b"] and c.get("str") == b"v"
    audit_ok(c)


def test_list_records_replay_and_the_log_tools_read_them(tmp_path):
    native = Cache(shards=4, persist_dir=str(tmp_path), fsync="always", snapshot_interval=0)
    native.rpush("l", *"abcabc")
    native.lset("l", 0, "A")
    native.ltrim("l", 0, 4)
    native.lrem("l", 1, "b")
    native.linsert("l", "after", "c", "C")
    native.lmove("l", "m", "right", "left")
    native.rpoplpush("m", "m")
    want = {k: native.lrange(k, 0, -1) for k in ("l", "m")}
    used = native.used_memory
    del native  # as a crash leaves it: the records in the log, no final snapshot
    assert segment_ops(tmp_path) == {"RPUSH": 1, "LSET": 1, "LTRIM": 1, "LREM": 1, "LINSERT": 1, "LMOVE": 2}
    again = Cache(shards=4, persist_dir=str(tmp_path), snapshot_interval=0)
    try:
        assert {k: again.lrange(k, 0, -1) for k in want} == want == {"l": [b"A", b"c", b"C", b"a"], "m": [b"b"]}
        assert again.used_memory == used
        audit_ok(again)
    finally:
        again.close()
