import gc
import os
import pickle
import stat
import time
import warnings
from datetime import timedelta

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from vellum import _vellum
from vellum.cache import Cache
from vellum.keys import ttl_to_ms
from vellum.units import parse_size

KEYS = st.sampled_from(["a", "b", "ké", b"c", b"\x00\xff"])
VALUES = st.binary(max_size=8)


def as_bytes(key):
    return key.encode() if isinstance(key, str) else key


class MappingAgainstDict(RuleBasedStateMachine):
    """Every mapping operation of a Cache agrees with a dict keyed by the stored bytes."""

    def __init__(self):
        super().__init__()
        self.cache = Cache(shards=4)
        self.model = {}

    def teardown(self):
        self.cache.close()

    @rule(key=KEYS, value=VALUES)
    def setitem(self, key, value):
        self.cache[key] = value
        self.model[as_bytes(key)] = value

    @rule(key=KEYS)
    def getitem(self, key):
        if as_bytes(key) in self.model:
            assert self.cache[key] == self.model[as_bytes(key)]
        else:
            with pytest.raises(KeyError):
                self.cache[key]

    @rule(key=KEYS)
    def delitem(self, key):
        if as_bytes(key) in self.model:
            del self.cache[key]
            del self.model[as_bytes(key)]
        else:
            with pytest.raises(KeyError):
                del self.cache[key]

    @rule(key=KEYS, default=VALUES)
    def pop(self, key, default):
        assert self.cache.pop(key, default) == self.model.pop(as_bytes(key), default)

    @rule(key=KEYS, default=VALUES)
    def setdefault(self, key, default):
        assert self.cache.setdefault(key, default) == self.model.setdefault(as_bytes(key), default)

    @rule(key=KEYS, value=VALUES, nx=st.booleans())
    def set_nx(self, key, value, nx):
        written = self.cache.set(key, value, nx=nx)
        assert written == (not nx or as_bytes(key) not in self.model)
        if written:
            self.model[as_bytes(key)] = value

    @rule(pairs=st.dictionaries(KEYS, VALUES, max_size=3))
    def update(self, pairs):
        self.cache.update(pairs)
        self.model.update({as_bytes(k): v for k, v in pairs.items()})

    @precondition(lambda self: self.model)
    @rule()
    def popitem(self):
        key, value = self.cache.popitem()
        assert self.model.pop(key) == value

    @rule()
    def clear(self):
        self.cache.clear()
        self.model.clear()

    @invariant()
    def same_contents(self):
        assert len(self.cache) == len(self.model)
        assert sorted(self.cache) == sorted(self.model)
        assert dict(self.cache.items()) == self.model


MappingAgainstDict.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_mapping_matches_dict_model = MappingAgainstDict.TestCase


@pytest.fixture
def cache():
    c = Cache()
    yield c
    c.close()


def test_missing_key_raises_keyerror_and_get_returns_default(cache):
    with pytest.raises(KeyError):
        cache["nope"]
    assert cache.get("nope") is None
    assert cache.get("nope", b"d") == b"d"
    assert None not in cache and 3 not in cache


def test_len_and_iteration_skip_expired_keys(cache):
    cache.set("short", b"v", ttl=0.001)
    cache["long"] = b"v"
    time.sleep(0.01)
    assert len(cache) == 1
    assert list(cache) == [b"long"]


def test_iteration_survives_concurrent_deletion(cache):
    cache.update({f"k{i}": b"v" for i in range(50)})
    seen = [k for k in cache if cache.delete(k) or True]
    assert len(seen) == 50 and len(cache) == 0


@pytest.mark.parametrize(
    "ttl, ms",
    [(1, 1000), (0.25, 250), (0.0001, 1), (timedelta(minutes=2), 120_000), (timedelta(microseconds=10), 1)],
)
def test_ttl_converts_to_milliseconds_with_a_1ms_floor(ttl, ms):
    assert ttl_to_ms(ttl) == ms


@pytest.mark.parametrize("ttl, error", [(0, ValueError), (-1, ValueError), (float("nan"), ValueError),
                                        (float("inf"), ValueError), (timedelta(0), ValueError),
                                        (True, TypeError), ("10", TypeError)])
def test_bad_ttl_is_refused_before_the_store_changes(cache, ttl, error):
    with pytest.raises(error):
        cache.set("k", b"v", ttl=ttl)
    assert "k" not in cache


def test_set_ttl_reaches_the_store_and_ttl_reports_seconds(cache):
    cache.set("k", b"v", ttl=timedelta(seconds=30))
    assert 29 < cache.ttl("k") <= 30
    cache["p"] = b"v"
    assert cache.ttl("p") is None
    with pytest.raises(KeyError):
        cache.ttl("missing")
    assert cache.expire("p", 5) and 4 < cache.ttl("p") <= 5


@pytest.mark.parametrize("nx, xx, present, written", [
    (True, False, False, True), (True, False, True, False), (False, True, False, False), (False, True, True, True)])
def test_set_nx_xx(cache, nx, xx, present, written):
    if present:
        cache["k"] = b"old"
    assert cache.set("k", b"new", nx=nx, xx=xx) is written
    assert cache.get("k") == (b"new" if written else (b"old" if present else None))


def test_namespace_clear_deletes_only_its_keys(cache):
    users = cache.namespace("user:")
    users["1"] = b"ada"
    users.set("2", b"bob", ttl=60)
    cache["user"] = b"not in the namespace"
    cache["other:1"] = b"x"
    tricky = cache.namespace("a*[b]?")  # glob characters in a prefix are literal
    tricky["x"] = b"1"
    cache["a-b"] = b"2"
    assert sorted(users) == [b"1", b"2"] and len(users) == 2 and users["1"] == b"ada"
    assert list(tricky) == [b"x"]
    users.clear()
    tricky.clear()
    assert sorted(cache) == [b"a-b", b"other:1", b"user"]


def test_max_memory_accepts_size_strings():
    with Cache(max_memory="1KiB", policy="allkeys-lru") as c:
        assert c.max_memory == 1024
        for i in range(200):
            c[f"k{i}"] = b"x" * 32
        assert c.used_memory <= 1024 and len(c) < 200


@pytest.mark.parametrize("text, size", [
    ("256MiB", 256 << 20), ("1.5GB", 1_500_000_000), ("0.1KB", 100), ("4096", 4096), (" 2 kib ", 2048),
    ("1TiB", 1 << 40), (10, 10)])
def test_parse_size(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text, error", [("256M", ValueError), ("MiB", ValueError), (-1, ValueError),
                                         ("1e3", ValueError), (True, TypeError), (1.5, TypeError)])
def test_parse_size_refuses(text, error):
    with pytest.raises(error):
        parse_size(text)


def test_pickling_a_cache_is_refused(cache):
    with pytest.raises(TypeError, match="cannot be pickled"):
        pickle.dumps(cache)


def test_native_is_what_a_server_takes(cache):
    assert isinstance(cache.native, _vellum.Cache)
    server = _vellum.Server(cache.native, port=0)
    assert not server.running


def test_new_data_directory_is_private(tmp_path):
    target = tmp_path / "parent" / "data"
    with Cache(persist_dir=target) as c:
        c["k"] = b"v"
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o700
    with Cache(persist_dir=target) as c:
        assert c["k"] == b"v"


def test_existing_data_directory_keeps_its_mode(tmp_path):
    os.chmod(tmp_path, 0o755)
    Cache(persist_dir=tmp_path).close()
    assert stat.S_IMODE(os.stat(tmp_path).st_mode) == 0o755


def test_unclosed_persistent_cache_warns_when_collected(tmp_path):
    c = Cache(persist_dir=tmp_path)
    with pytest.warns(ResourceWarning, match="was not closed"):
        del c
        gc.collect()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        with Cache(persist_dir=tmp_path):
            pass
        gc.collect()


def test_context_manager_closes_and_releases_the_directory(tmp_path):
    with Cache(persist_dir=tmp_path) as c:
        c["k"] = b"v"
    assert c.closed and not (tmp_path / "LOCK").exists()
    assert c["k"] == b"v"  # data stays readable in memory after close
