"""Set membership in bulk, random choice, moves and algebra, through the redis client
and the native Cache: replies, error texts, accounting, and the state a reopen replays."""

import pytest

pytest.importorskip("redis")

from vellum._vellum import Cache  # noqa: E402
from wire_session import WRONGTYPE, assert_refused, audit_ok, reopen, serve  # noqa: E402


def state(cache, keys):
    return {k: cache.smembers(k) for k in keys}


@pytest.fixture
def served(tmp_path):
    yield from serve(tmp_path, shards=8)


def test_replies_over_the_wire_and_replay(served):
    cache, r, box = served
    r.sadd("a", 1, 2, 3, 4)
    r.sadd("b", 3, 4, 5)
    r.sadd("c", 4, 6)
    assert r.smismember("a", [1, 9, 4]) == [1, 0, 1]
    assert r.smismember("none", [1]) == [0]
    assert set(r.sinter("a", "b", "c")) == {b"4"}
    assert set(r.sunion("a", "b", "c")) == {b"1", b"2", b"3", b"4", b"5", b"6"}
    assert set(r.sdiff("a", "b")) == {b"1", b"2"}
    assert not r.sinter("a", "none")
    assert r.sintercard(2, ["a", "b"]) == 2
    assert r.sintercard(2, ["a", "b"], limit=1) == 1
    assert r.sinterstore("i", "a", "b") == 2
    assert r.sunionstore("u", "a", "c") == 5
    assert r.sdiffstore("d", "a", "b", "c") == 2
    assert r.sdiffstore("u2", "none") == 0 and r.exists("u2") == 0
    assert r.smove("a", "b", 1) is True
    assert r.smove("a", "b", 1) is False
    assert r.smove("none", "b", 1) is False
    assert r.srandmember("none") is None and r.spop("none") is None
    assert r.srandmember("none", 3) == [] and r.spop("none", 3) == []
    one = r.srandmember("b")
    assert one in r.smembers("b")
    assert len(r.srandmember("b", -10)) == 10
    assert len(set(r.srandmember("b", 3))) == 3
    popped = r.spop("c")
    rest = r.spop("c", 5)
    assert {popped, *rest} == {b"4", b"6"} and r.exists("c") == 0
    r.sadd("p", *range(50))
    assert len(set(r.spop("p", 20))) == 20 and r.scard("p") == 30
    audit_ok(cache)
    keys = ["a", "b", "c", "i", "u", "d", "p"]
    before = state(cache, keys)
    cache = reopen(box)
    assert state(cache, keys) == before
    audit_ok(cache)


@pytest.mark.parametrize(
    "args, message",
    [
        (("SMISMEMBER", "s"), "ERR wrong number of arguments for 'smismember' command"),
        (("SPOP", "s", "-1"), "ERR value is out of range, must be positive"),
        (("SPOP", "s", "x"), "ERR value is not an integer or out of range"),
        (("SRANDMEMBER", "s", "1", "2"), "ERR wrong number of arguments for 'srandmember' command"),
        (("SMOVE", "s", "t"), "ERR wrong number of arguments for 'smove' command"),
        (("SINTERSTORE", "d"), "ERR wrong number of arguments for 'sinterstore' command"),
        (("SINTERCARD", "0", "s"), "ERR numkeys should be greater than 0"),
        (("SINTERCARD", "3", "s"), "ERR Number of keys can't be greater than number of args"),
        (("SINTERCARD", "1", "s", "LIMIT", "-1"), "ERR LIMIT can't be negative"),
        (("SINTERCARD", "1", "s", "LIMIT"), "ERR syntax error"),
        (("SINTERCARD", "1", "s", "FOO", "1"), "ERR syntax error"),
        (("SMISMEMBER", "str", "a"), WRONGTYPE),
        (("SRANDMEMBER", "str"), WRONGTYPE),
        (("SPOP", "str"), WRONGTYPE),
        (("SMOVE", "s", "str", "a"), WRONGTYPE),
        (("SMOVE", "str", "s", "a"), WRONGTYPE),
        (("SINTER", "s", "str"), WRONGTYPE),
        (("SUNION", "s", "str"), WRONGTYPE),
        (("SDIFF", "str", "s"), WRONGTYPE),
        (("SDIFFSTORE", "d", "s", "str"), WRONGTYPE),
        (("SINTERCARD", "2", "s", "str"), WRONGTYPE),
        (("SSCAN", "s", "x"), "ERR invalid cursor"),
        (("SSCAN", "s", "-1"), "ERR invalid cursor"),
        (("SSCAN", "s", "0", "COUNT", "0"), "ERR syntax error"),
        (("SSCAN", "s", "0", "COUNT", "x"), "ERR value is not an integer or out of range"),
        (("SSCAN", "s", "0", "MATCH"), "ERR syntax error"),
        (("SSCAN", "s", "0", "NOVALUES"), "ERR syntax error"),
        (("SSCAN", "s", "0", "TYPE", "set"), "ERR syntax error"),
        (("SSCAN", "str", "0"), WRONGTYPE),
    ],
)
def test_error_texts_change_nothing(served, args, message):
    cache, r, _ = served
    r.sadd("s", "a", "b")
    r.set("str", "v")
    assert_refused(cache, r, args, message)
    assert r.smembers("s") == {b"a", b"b"} and r.get("str") == b"v"
    assert not cache.smembers("d")


def test_store_form_replaces_any_dst(served):
    cache, r, box = served
    r.set("dst", "a string")
    r.sadd("x", "m1", "m2")
    assert r.sunionstore("dst", "x") == 2
    assert r.smembers("dst") == {b"m1", b"m2"}
    assert cache.sinterstore("x", "x", "none") == 0 and not cache.exists("x")
    audit_ok(cache)
    cache = reopen(box)
    assert cache.smembers("dst") == {b"m1", b"m2"} and not cache.exists("x")
    audit_ok(cache)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda c: c.smismember("a", "1", "x"), [True, False]),
        (lambda c: c.sinter("a", "b"), {b"2", b"3"}),
        (lambda c: c.sunion("a", "b"), {b"1", b"2", b"3", b"4"}),
        (lambda c: c.sdiff("a", "b"), {b"1"}),
        (lambda c: c.sdiff("a"), {b"1", b"2", b"3"}),
        (lambda c: c.sinter(), set()),
        (lambda c: c.sintercard(["a", "b"]), 2),
        (lambda c: c.sintercard(iter(["a", "b"]), limit=1), 1),
        (lambda c: c.sintercard([]), 0),
        (lambda c: (c.smove("a", "b", "1"), c.smembers("b")), (True, {b"1", b"2", b"3", b"4"})),
        (lambda c: (c.sinterstore("d", "a", "b"), c.smembers("d")), (2, {b"2", b"3"})),
        (lambda c: (c.sunionstore("d"), c.smembers("d")), (0, set())),
        (lambda c: c.spop("none"), None),
        (lambda c: c.spop("a", 0), []),
        (lambda c: c.spop("a", -1), []),
        (lambda c: sorted(c.spop("a", 10)), [b"1", b"2", b"3"]),
        (lambda c: c.srandmember("none"), None),
        (lambda c: len(c.srandmember("a", -7)), 7),
        (lambda c: sorted(c.srandmember("a", 10)), [b"1", b"2", b"3"]),
    ],
)
def test_native_methods(call, expected):
    c = Cache(shards=4)
    c.sadd("a", "1", "2", "3")
    c.sadd("b", "2", "3", "4")
    assert call(c) == expected
    audit_ok(c)


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.smismember("str", "1"),
        lambda c: c.spop("str"),
        lambda c: c.srandmember("str", 2),
        lambda c: c.smove("str", "a", "1"),
        lambda c: c.sinter("a", "str"),
        lambda c: c.sunionstore("d", "str"),
        lambda c: c.sintercard(["a", "str"]),
    ],
)
def test_native_wrong_type(call):
    c = Cache(shards=4)
    c.sadd("a", "1")
    c.set("str", "v")
    with pytest.raises(TypeError, match="^" + WRONGTYPE + "$"):
        call(c)
    assert c.smembers("a") == {b"1"} and c.get("str") == b"v"
    audit_ok(c)


def test_sscan_pages_over_the_wire(served):
    cache, r, _ = served
    r.sadd("s", *range(1000))
    assert sorted(r.sscan_iter("s", count=7), key=int) == [str(i).encode() for i in range(1000)]
    assert set(r.sscan_iter("s", match="9?")) == {str(i).encode() for i in range(90, 100)}
    cursor, page = r.sscan("s", 0, count=5)
    assert cursor != 0 and len(page) == 128  # the smallest page
    r.sadd("small", "a", "b")
    assert r.sscan("small", 0) == (0, [b"a", b"b"]) or r.sscan("small", 0) == (0, [b"b", b"a"])
    assert r.sscan("none", 0) == (0, [])
    audit_ok(cache)


def test_a_full_sscan_returns_every_member_present_throughout_while_others_come_and_go():
    """Another thread adds and removes members (growing the set through several rehashes)
    for the whole iteration, which runs to its end however the threads interleave."""
    import threading
    from collections import Counter

    import vellum

    c = vellum.Cache(shards=4)
    stable = {f"s{i}".encode() for i in range(2000)}
    c.sadd("k", *stable)
    stop = threading.Event()

    def churn():
        i = 0
        while not stop.is_set():
            c.sadd("k", f"v{i}")
            if i % 3:
                c.srem("k", f"v{i // 2}")
            i += 1

    writer = threading.Thread(target=churn)
    writer.start()
    try:
        for count in (1, 50, 1000):
            seen = Counter(c.sscan_iter("k", count=count))
            assert all(seen[m] == 1 for m in stable)
    finally:
        stop.set()
        writer.join()
    audit_ok(c.native)
