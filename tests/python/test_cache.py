"""The Cache constructor, the string and key methods, and the memory accounting."""

import time

import pytest

from vellum._vellum import Cache

SHARDS_MESSAGE = "shards must be a power of two between 1 and 65536"


@pytest.mark.parametrize("shards", [0, 3, 6, 131072, 65537])
def test_shards_must_be_a_power_of_two_in_range(shards):
    with pytest.raises(ValueError) as err:
        Cache(shards=shards)
    assert str(err.value) == SHARDS_MESSAGE


@pytest.mark.parametrize("shards", [1, 2, 65536])
def test_valid_shard_counts(shards):
    Cache(shards=shards).close()


@pytest.mark.parametrize(
    "text, shown",
    [
        ("LRU", '"LRU"'),
        ("", '""'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("x\ny\r\t\0", '"x\\ny\\r\\t\\0"'),
        ("\x07\x7f", '"\\u{7}\\u{7f}"'),
        ("lru-é", '"lru-é"'),
        ("\u200b", '"\\u{200b}"'),
    ],
)
def test_unknown_policy_and_fsync_quote_the_text(text, shown):
    with pytest.raises(ValueError) as err:
        Cache(policy=text)
    assert str(err.value) == f"unknown policy {shown}; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'"
    with pytest.raises(ValueError) as err:
        Cache(fsync=text)
    assert str(err.value) == f"unknown fsync {shown}; expected 'always', 'everysec' or 'never'"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"shards": 3, "policy": "x", "fsync": "x", "snapshot_interval": -1}, SHARDS_MESSAGE),
        ({"policy": "x", "fsync": "x", "snapshot_interval": -1}, 'unknown policy "x"'),
        ({"fsync": "x", "snapshot_interval": -1}, 'unknown fsync "x"'),
        ({"snapshot_interval": -1}, "snapshot_interval must be >= 0"),
    ],
)
def test_validation_order(kwargs, message):
    with pytest.raises(ValueError) as err:
        Cache(**kwargs)
    assert str(err.value).startswith(message)


def test_conversion_errors_come_before_validation():
    # shards=3 would fail validation, but policy's conversion runs first.
    with pytest.raises(TypeError, match="^argument 'policy': "):
        Cache(policy=b"noeviction", shards=3)


@pytest.mark.parametrize("policy", ["noeviction", "allkeys-lru", "volatile-lru"])
@pytest.mark.parametrize("fsync", ["always", "everysec", "never"])
def test_every_setting_is_accepted_positionally(policy, fsync):
    Cache(1 << 20, policy, 8, None, fsync, 0).close()


def test_constructor_refuses_unknown_keywords():
    with pytest.raises(TypeError):
        Cache(size=10)


# ---- memory accounting ----


def table_charge(capacity):
    if capacity == 0:
        return 0
    if capacity <= 3:
        return 192
    return (328 * (capacity // 7) + 16 + 15) // 16 * 16


def test_used_memory_of_one_tiny_entry(one_shard):
    assert one_shard.used_memory == 0
    one_shard.set(b"a", b"b")
    assert one_shard.used_memory == 208


def test_used_memory_steps_as_one_shard_grows_and_shrinks(one_shard):
    keys = [bytes([ord("a") + i]) for i in range(15)]
    expected_table = {1: 192, 3: 192, 4: 352, 7: 352, 8: 672, 14: 672, 15: 1328}
    for n, key in enumerate(keys, start=1):
        one_shard.set(key, b"v")
        if n in expected_table:
            assert one_shard.used_memory == 16 * n + expected_table[n], n
    for n in range(14, 0, -1):
        one_shard.delete(keys[n])
        table = one_shard.used_memory - 16 * n
        assert table in {table_charge(c) for c in range(n, 29)}, (n, table)
    one_shard.delete(keys[0])
    assert one_shard.used_memory == 0


def test_empty_key_and_value_cost_only_the_table(one_shard):
    one_shard.set(b"", b"")
    assert one_shard.get(b"") == b""
    assert one_shard.used_memory == 192


# ---- string and key methods ----


def test_set_nx_and_xx(cache):
    assert cache.set(b"k", b"v", xx=True) is False
    assert not cache.exists(b"k")
    assert cache.set(b"k", b"v", nx=True) is True
    assert cache.set(b"k", b"w", nx=True) is False
    assert cache.set(b"k", b"w", xx=True) is True
    assert cache.get(b"k") == b"w"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"ex": 10, "px": 10}, "ex and px are mutually exclusive"),
        ({"ex": 0, "nx": True, "xx": True}, "ex must be a positive integer"),
        ({"nx": True, "xx": True}, "nx and xx are mutually exclusive"),
    ],
)
def test_set_checks_options_before_the_key(cache, kwargs, message):
    with pytest.raises(ValueError) as err:
        cache.set(None, b"v", **kwargs)
    assert str(err.value) == message


def test_set_with_expiry_sets_a_ttl(cache):
    cache.set(b"k", b"v", ex=100)
    assert 99_000 < cache.pttl(b"k") <= 100_000
    cache.set(b"k", b"v", px=1500)
    assert cache.ttl(b"k") == 2
    cache.set(b"k", b"v")
    assert cache.ttl(b"k") == -1


def test_get_of_a_collection_is_wrongtype(cache):
    cache.lpush(b"l", b"x")
    with pytest.raises(TypeError, match="^WRONGTYPE Operation against a key holding the wrong kind of value$"):
        cache.get(b"l")


def test_mset_and_mget(cache):
    assert cache.mset({b"a": 1, "b": 2.5}) is None
    cache.hset(b"h", b"f", b"v")
    assert cache.mget([b"a", b"missing", "b", b"h"]) == [b"1", None, b"2.5", None]
    assert cache.mget(iter([])) == []


def test_mget_iterates_a_str_by_character(cache):
    cache.mset({"a": "1", "c": "3"})
    assert cache.mget("abc") == [b"1", None, b"3"]


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        ([(b"a", b"1")], TypeError, "expected a mapping, not list"),
        (None, TypeError, "expected a mapping, not NoneType"),
        (b"ab", TypeError, "expected a mapping, not bytes"),
    ],
)
def test_mset_refuses_non_mappings(cache, arg, exc, message):
    with pytest.raises(exc) as err:
        cache.mset(arg)
    assert str(err.value) == message


class Items:
    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    "items, exc",
    [
        ([(b"a", b"1", b"x")], ValueError),
        ([(b"a",)], ValueError),
        ([[b"a", b"1"]], TypeError),
        ([(b"a", b"1"), (None, b"2")], TypeError),
        (42, TypeError),
    ],
)
def test_mset_refuses_bad_items_before_touching_the_store(cache, items, exc):
    with pytest.raises(exc):
        cache.mset(Items(items))
    assert len(cache) == 0


def test_mset_items_lookup_errors_other_than_attribute_error_pass_through(cache):
    class Odd:
        @property
        def items(self):
            raise KeyError("items")

    with pytest.raises(KeyError):
        cache.mset(Odd())


def test_incr_and_decr(cache):
    assert cache.incr(b"n") == 1
    assert cache.incr(b"n", 41) == 42
    assert cache.decr(b"n", 2) == 40
    assert cache.decr(b"n") == 39
    cache.set(b"s", b"abc")
    with pytest.raises(ValueError, match="^value is not an integer or out of range$"):
        cache.incr(b"s")
    cache.set(b"big", 2**63 - 1)
    with pytest.raises(ValueError, match="^increment or decrement would overflow$"):
        cache.incr(b"big")
    assert cache.get(b"big") == str(2**63 - 1).encode()
    cache.hset(b"h", b"f", b"v")
    with pytest.raises(TypeError, match="^WRONGTYPE"):
        cache.incr(b"h")


def test_decr_of_the_most_negative_amount(cache):
    with pytest.raises(ValueError, match="^decrement would overflow$"):
        cache.decr(b"n", -(2**63))
    with pytest.raises(OverflowError):
        cache.decr(b"n", 2**63)
    assert not cache.exists(b"n")


def test_append_returns_the_new_length(cache):
    assert cache.append(b"k", b"ab") == 2
    assert cache.append(b"k", 12) == 4
    assert cache.get(b"k") == b"ab12"


def test_delete_and_exists(cache):
    assert cache.delete() == 0
    cache.set(b"a", b"1")
    cache.set(b"b", b"1")
    assert cache.delete(b"a", b"a") == 1
    assert cache.delete(b"a", b"b", b"c") == 1
    assert cache.exists(b"a") is False
    with pytest.raises(TypeError):
        cache.delete(b"x", key=b"y")
    with pytest.raises(TypeError, match="not NoneType$"):
        cache.delete(b"x", None)


def test_keys_patterns(cache):
    cache.mset({b"user:1": 1, b"user:2": 2, b"item:1": 3})
    assert sorted(cache.keys()) == [b"item:1", b"user:1", b"user:2"]
    assert sorted(cache.keys("user:*")) == [b"user:1", b"user:2"]
    assert cache.keys(pattern="item:?") == [b"item:1"]


def test_flush_empties_everything(cache):
    cache.mset({b"a": 1, b"b": 2})
    cache.sadd(b"s", b"m")
    assert cache.flush() is None
    assert len(cache) == 0 and cache.used_memory == 0
    with pytest.raises(TypeError):
        cache.flush(True)


def test_len_skips_expired_keys_before_the_sweeper_runs(cache):
    cache.close()  # stops the sweeper; the data stays usable
    cache.set(b"gone", b"v", px=1)
    cache.set(b"kept", b"v")
    time.sleep(0.01)
    assert len(cache) == 1
