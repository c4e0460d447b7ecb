"""The short paths give exactly what the long ones give: a get that runs at once under the
interpreter lock against one that releases it (large values, expired keys, a busy shard),
and the typed Cache's native get, set and item access against the stand-in they call."""

import os
import threading
import time

import pytest

from vellum import _vellum
from vellum.cache import Cache

SHORT = 16 * 1024  # the longest value a get copies without releasing the interpreter lock


@pytest.mark.parametrize("size", [0, 1, 100, SHORT - 1, SHORT, SHORT + 1, 1 << 20])
def test_get_returns_the_stored_bytes_and_counts_a_hit_at_every_size(cache, size):
    value = os.urandom(size)
    cache.set(b"k", value)
    before = cache._counters()
    assert cache.get(b"k") == value == cache.mget([b"k"])[0]
    after = cache._counters()
    assert (after["hits"] - before["hits"], after["misses"] - before["misses"]) == (2, 0)


@pytest.mark.parametrize(
    "key, stored",
    [(b"b", b"b"), ("\u00e9", "\u00e9".encode()), (12, b"12"), (1.5, b"1.5"), (type("B", (bytes,), {})(b"s"), b"s"),
     (b"x" * 300, b"x" * 300), ("y" * 300, b"y" * 300)],
)
def test_every_key_form_reads_what_its_bytes_name(cache, key, stored):
    cache.set(stored, b"v")
    assert cache.get(key) == b"v"
    cache.delete(stored)
    assert cache.get(key) is None


@pytest.mark.parametrize("key, error", [(True, TypeError), (None, TypeError), (bytearray(b"k"), TypeError),
                                        ("\ud800", UnicodeEncodeError)])
def test_refused_keys_raise_before_any_read(cache, key, error):
    with pytest.raises(error):
        cache.get(key)
    assert cache._counters()["misses"] == 0


def test_an_expired_key_is_removed_by_the_waiting_path(cache):
    cache.set(b"k", b"v", px=1)
    time.sleep(0.01)
    assert cache.get(b"k") is None
    counts = cache._counters()
    assert (counts["misses"], counts["expired"]) == (1, 1)
    assert cache.get(b"k") is None and cache._counters()["misses"] == 2


@pytest.mark.parametrize("value", [b"small", b"L" * (SHORT + 1)])
def test_a_collection_is_wrongtype_on_both_paths(cache, value):
    cache.set(b"s", value)
    cache.rpush(b"l", value)
    with pytest.raises(TypeError, match="^WRONGTYPE"):
        cache.get(b"l")
    assert cache.get(b"s") == value


def test_reads_racing_writers_and_a_flush_see_only_whole_values():
    # One shard, so readers meet the writers' exclusive lock and take the waiting path
    # as well as the short one; values of both sizes cross the copy limit.
    c = _vellum.Cache(shards=1)
    small, large = b"s" * 50, b"L" * (SHORT * 2)
    keys = [b"k%d" % i for i in range(8)]
    stop = threading.Event()
    bad = []

    def writer(seed):
        i = seed
        while not stop.is_set():
            c.set(keys[i % len(keys)], large if i % 3 == 0 else small)
            if i % 500 == 0:
                c.flush()
            i += 1

    def reader():
        while not stop.is_set():
            for k in keys:
                got = c.get(k)
                if got not in (None, small, large):
                    bad.append(got[:20])

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    time.sleep(0.5)
    stop.set()
    for t in threads:
        t.join()
    assert bad == []
    audit = c._audit()
    assert audit["charge_sum"] == audit["used_memory"]
    c.close()


class Recorder:
    """A stand-in native cache that records what the typed Cache asks of it."""

    def __init__(self):
        self.calls = []
        self.data = {}

    def get(self, key):
        self.calls.append(("get", key))
        return self.data.get(key)

    def set(self, *args):
        self.calls.append(("set",) + args)
        self.data[args[0]] = args[1]
        return True

    def delete(self, *keys):
        self.calls.append(("delete",) + keys)
        return sum(self.data.pop(k, None) is not None for k in keys)


@pytest.mark.parametrize("codec", [None, "json"])
def test_typed_cache_sends_each_call_to_a_stand_in_native(codec):
    c = Cache(codec=codec)
    real = c.native
    fake = Recorder()
    c._native = fake
    value = b"v" if codec is None else {"a": 1}
    stored = b"v" if codec is None else b'{"a":1}'
    assert c.set(b"k", value) is True
    assert c.set(b"t", value, ttl=2, nx=True) is True
    assert c.set(b"p", value, ttl=0.25) is True
    c[b"i"] = value
    assert c[b"k"] == value and c.get(b"k") == value and c.get(b"none", 7) == 7
    del c[b"i"]
    with pytest.raises(KeyError):
        del c[b"i"]
    assert fake.calls == [
        ("set", b"k", stored), ("set", b"t", stored, 2, None, True, False),
        ("set", b"p", stored, None, 250, False, False), ("set", b"i", stored),
        ("get", b"k"), ("get", b"k"), ("get", b"none"), ("delete", b"i"), ("delete", b"i"),
    ]
    real.close()


@pytest.mark.parametrize("key", [b"k", "s", 3, (1, 2)])
def test_missing_item_raises_keyerror_carrying_the_key_itself(key):
    c = Cache()
    real = c.native
    if isinstance(key, tuple):
        c._native = Recorder()  # the native cache refuses a tuple before looking
    with pytest.raises(KeyError) as err:
        c[key]
    assert err.value.args == (key,)
    real.close()


def test_raw_codec_passes_exact_bytes_and_encodes_everything_else():
    sub = type("B", (bytes,), {})
    with Cache() as c:
        c[b"a"] = sub(b"x")
        c.set(b"b", memoryview(b"y"))
        assert c[b"a"] == b"x" and type(c[b"a"]) is bytes and c[b"b"] == b"y"
        with pytest.raises(TypeError):
            c.set(b"c", "text")
        assert b"c" not in c
