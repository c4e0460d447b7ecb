"""Random calls with random arguments only ever give documented results or exceptions."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vellum._vellum import Cache


class Boom(Exception):
    """Raised by the misbehaving argument objects below."""


class BrokenStr(str):
    def __str__(self):
        raise Boom("str")


class BrokenInt(int):
    def __str__(self):
        raise Boom("int")


class BadIndex:
    def __index__(self):
        raise Boom("index")


class RaisingIterable:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        yield from self.items
        raise Boom("iteration")


class BadMapping:
    def __init__(self, how):
        self.how = how

    def items(self):
        if self.how == "raise":
            raise Boom("items")
        if self.how == "not-iterable":
            return 42
        if self.how == "short":
            return [(b"k",)]
        if self.how == "list-pairs":
            return [[b"k", b"v"]]
        return RaisingIterable([(b"k", b"v")])


def is_bytes_or_none(v):
    return v is None or type(v) is bytes


def is_int(v):
    return type(v) is int


def is_bool(v):
    return type(v) is bool


def is_bytes_list(v):
    return type(v) is list and all(type(x) is bytes for x in v)


RESULTS = {
    "set": is_bool,
    "get": is_bytes_or_none,
    "mget": lambda v: type(v) is list and all(is_bytes_or_none(x) for x in v),
    "mset": lambda v: v is None,
    "incr": is_int,
    "decr": is_int,
    "append": is_int,
    "delete": is_int,
    "exists": is_bool,
    "expire": is_bool,
    "pexpire": is_bool,
    "persist": is_bool,
    "ttl": is_int,
    "pttl": is_int,
    "keys": is_bytes_list,
    "hset": is_bool,
    "hget": is_bytes_or_none,
    "hdel": is_int,
    "hgetall": lambda v: type(v) is dict and all(type(k) is bytes and type(x) is bytes for k, x in v.items()),
    "hlen": is_int,
    "lpush": is_int,
    "rpush": is_int,
    "lpop": is_bytes_or_none,
    "rpop": is_bytes_or_none,
    "lrange": is_bytes_list,
    "llen": is_int,
    "sadd": is_int,
    "srem": is_int,
    "smembers": lambda v: type(v) is set and all(type(x) is bytes for x in v),
    "sismember": is_bool,
    "scard": is_int,
}

# UnicodeEncodeError is a ValueError; MemoryError is the store's OOM under a ceiling.
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, Boom)

keys = st.sampled_from([b"a", b"b", "a", 1, b"n"])
huge_ints = st.sampled_from([0, 1, -1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 2**64 - 1, 10**30])
scalars = st.one_of(
    keys,
    st.binary(max_size=8),
    st.text(max_size=4),
    st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=2),
    st.integers(),
    huge_ints,
    st.floats(),
    st.booleans(),
    st.none(),
)
odd = st.one_of(
    st.builds(BrokenStr, st.text(max_size=3)),
    st.builds(BrokenInt, st.integers(-5, 5)),
    st.builds(BadIndex),
    st.builds(RaisingIterable, st.lists(scalars, max_size=3)),
    st.builds(BadMapping, st.sampled_from(["raise", "not-iterable", "short", "list-pairs", "midway"])),
    st.dictionaries(keys, scalars, max_size=3),
    st.lists(scalars, max_size=3),
)
arguments = st.one_of(scalars, scalars, odd)
calls = st.tuples(
    st.sampled_from(sorted(RESULTS)),
    st.lists(arguments, max_size=4),
    st.dictionaries(st.sampled_from(["ex", "px", "nx", "xx", "amount", "pattern", "key", "bogus"]), arguments, max_size=2),
)


@pytest.fixture(scope="module")
def caches():
    made = [Cache(shards=2), Cache(max_memory=2048, policy="noeviction", shards=1)]
    yield made
    for c in made:
        c.close()


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(which=st.integers(0, 1), sequence=st.lists(calls, min_size=1, max_size=15))
def test_random_calls_give_documented_outcomes(caches, which, sequence):
    cache = caches[which]
    for name, args, kwargs in sequence:
        try:
            result = getattr(cache, name)(*args, **kwargs)
        except ALLOWED:
            continue
        assert RESULTS[name](result), (name, args, kwargs, result)
    assert len(cache) <= len(cache.keys()) + 1  # a key may expire between the two reads
    cache.flush()
    assert cache.used_memory == 0 and len(cache) == 0
