"""Expiry, hash, list and set methods."""

import threading
import time

import pytest

from vellum._vellum import Cache

WRONGTYPE = "WRONGTYPE Operation against a key holding the wrong kind of value"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.expire(b"k", 0), "seconds must be a positive integer"),
        (lambda c: c.expire(b"k", 1.0), "seconds must be a positive integer"),
        (lambda c: c.expire(b"k", 2**63), "seconds is out of range"),
        (lambda c: c.expire(b"k", 18446744073709552), "seconds is too large"),
        (lambda c: c.pexpire(b"k", -1), "milliseconds must be a positive integer"),
        (lambda c: c.pexpire(b"k", False), "milliseconds must be a positive integer"),
        (lambda c: c.pexpire(b"k", 2**64), "milliseconds is out of range"),
    ],
)
def test_expiry_argument_checks(cache, call, message):
    cache.set(b"k", b"v")
    with pytest.raises(ValueError) as err:
        call(cache)
    assert str(err.value) == message
    assert cache.ttl(b"k") == -1


def test_expiry_time_is_checked_before_the_key(cache):
    with pytest.raises(ValueError, match="^seconds must be a positive integer$"):
        cache.expire(None, 0)


def test_expire_persist_and_ttl(cache):
    assert cache.pexpire(b"missing", 1) is False
    assert cache.ttl(b"missing") == -2 and cache.pttl(b"missing") == -2
    cache.set(b"k", b"v")
    assert cache.ttl(b"k") == -1 and cache.pttl(b"k") == -1
    assert cache.expire(b"k", 100) is True
    assert 99 <= cache.ttl(b"k") <= 100
    assert cache.persist(b"k") is True
    assert cache.persist(b"k") is False
    assert cache.ttl(b"k") == -1
    assert cache.expire(b"k", 18446744073709551) is True


@pytest.mark.parametrize("ms, seconds", [(1001, 2), (1000, 1), (2500, 3)])
def test_ttl_rounds_up(cache, ms, seconds):
    cache.set(b"k", b"v", px=ms)
    remaining = cache.pttl(b"k")
    assert cache.ttl(b"k") == (remaining + 999) // 1000
    assert cache.ttl(b"k") in (seconds, seconds - 1)


def test_key_with_under_a_second_left_reports_one_second(cache):
    # 500 ms leaves room for a stalled thread between the two calls.
    cache.set(b"k", b"v", px=500)
    assert cache.ttl(b"k") == 1


def test_expired_key_disappears(cache):
    cache.set(b"k", b"v", px=20)
    assert cache.pexpire(b"other", 20) is False
    time.sleep(0.05)
    assert cache.get(b"k") is None
    assert cache.ttl(b"k") == -2


def test_hash_methods(cache):
    assert cache.hgetall(b"h") == {}
    assert cache.hset(b"h", b"f", b"1") is True
    assert cache.hset(b"h", b"f", 2) is False
    assert cache.hset(b"h", "g", 3.5) is True
    assert cache.hget(b"h", b"f") == b"2"
    assert cache.hget(b"h", b"nope") is None
    assert cache.hget(b"missing", b"f") is None
    assert cache.hlen(b"h") == 2
    assert cache.hgetall(b"h") == {b"f": b"2", b"g": b"3.5"}
    assert cache.hdel(b"h") == 0
    assert cache.hdel(b"h", b"f", b"f", b"zz") == 1
    assert cache.hdel(b"h", b"g") == 1
    assert cache.exists(b"h") is False


def test_list_methods(cache):
    assert cache.lpush(b"l", b"a", b"b") == 2
    assert cache.lrange(b"l", 0, -1) == [b"b", b"a"]
    assert cache.rpush(b"l", 1, 2) == 4
    assert cache.lrange(b"l", 1, 2) == [b"a", b"1"]
    assert cache.lrange(b"l", -(2**63), 2**63 - 1) == [b"b", b"a", b"1", b"2"]
    assert cache.llen(b"l") == 4
    assert cache.lpop(b"l") == b"b"
    assert cache.rpop(b"l") == b"2"
    assert cache.lpush(b"l") == 2
    assert cache.lpop(b"missing") is None and cache.llen(b"missing") == 0
    assert cache.lrange(b"missing", 0, -1) == []
    assert cache.rpop(b"l") == b"1" and cache.rpop(b"l") == b"a"
    assert cache.exists(b"l") is False


def test_set_methods(cache):
    assert cache.sadd(b"s", b"a", b"b", b"a") == 2
    assert cache.sadd(b"s", b"a") == 0
    members = cache.smembers(b"s")
    assert isinstance(members, set) and members == {b"a", b"b"}
    assert cache.sismember(b"s", b"a") is True
    assert cache.sismember(b"s", b"z") is False
    assert cache.scard(b"s") == 2
    assert cache.srem(b"s", b"a", b"z") == 1
    assert cache.smembers(b"missing") == set()
    assert cache.srem(b"s", b"b") == 1
    assert cache.scard(b"s") == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.hset(b"str", b"f", b"v"),
        lambda c: c.hget(b"str", b"f"),
        lambda c: c.hdel(b"str", b"f"),
        lambda c: c.hgetall(b"str"),
        lambda c: c.hlen(b"str"),
        lambda c: c.lpush(b"str", b"v"),
        lambda c: c.rpush(b"str", b"v"),
        lambda c: c.lpop(b"str"),
        lambda c: c.rpop(b"str"),
        lambda c: c.lrange(b"str", 0, -1),
        lambda c: c.llen(b"str"),
        lambda c: c.sadd(b"str", b"m"),
        lambda c: c.srem(b"str", b"m"),
        lambda c: c.smembers(b"str"),
        lambda c: c.sismember(b"str", b"m"),
        lambda c: c.scard(b"str"),
        lambda c: c.append(b"lst", b"v"),
    ],
)
def test_collection_methods_on_the_wrong_kind_raise_wrongtype(cache, call):
    cache.set(b"str", b"v")
    cache.rpush(b"lst", b"v")
    with pytest.raises(TypeError) as err:
        call(cache)
    assert str(err.value) == WRONGTYPE


@pytest.mark.parametrize("method", ["hdel", "lpush", "rpush", "sadd", "srem"])
def test_variadic_methods_convert_every_item_before_the_store(cache, method):
    with pytest.raises(TypeError, match="not NoneType$"):
        getattr(cache, method)(b"k", b"ok", None)
    assert not cache.exists(b"k")
    with pytest.raises(TypeError):
        getattr(cache, method)()


def test_list_charge(one_shard):
    one_shard.rpush(b"l", b"x")
    assert one_shard.used_memory == 80 + 16 + 16 + 56 + 192


def test_concurrent_incr_loses_no_update():
    cache = Cache()
    start = threading.Barrier(4)

    def work():
        start.wait()
        for _ in range(10_000):
            cache.incr(b"counter")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert cache.get(b"counter") == b"40000"


def test_counters_report_hits_and_misses(cache):
    cache.set(b"k", b"v")
    cache.get(b"k")
    cache.get(b"nope")
    counters = cache._counters()
    assert list(counters) == ["hits", "misses", "evictions", "expired"]
    assert counters["hits"] >= 1 and counters["misses"] >= 1
