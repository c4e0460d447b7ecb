"""The framework backends in vellum.contrib: the semantics the frameworks' own suites
(`make compat`) leave open. Timeouts at their edges, add and incr under threads, incr
against a key that disappears mid-call, the store shared between aliases, and a
persistent Django store that refuses values it did not sign, across process restarts."""

import os
import pickle
import subprocess
import sys
import threading
import time
import uuid

import pytest

django = pytest.importorskip("django")
pytest.importorskip("cachelib")
flask = pytest.importorskip("flask")
flask_caching = pytest.importorskip("flask_caching")

from django.conf import settings  # noqa: E402

if not settings.configured:
    settings.configure(SECRET_KEY="vellum-contrib-tests-secret-key-0123456789")

from django.core.cache.backends.base import InvalidCacheBackendError  # noqa: E402

from vellum import Cache, PickleCodec  # noqa: E402
from vellum.contrib import django as contrib_django  # noqa: E402
from vellum.contrib.cachelib import VellumCache as CachelibCache  # noqa: E402
from vellum.contrib.django import VellumCache as DjangoCache  # noqa: E402
from vellum.contrib.flask import VellumCache as FlaskCache  # noqa: E402


@pytest.fixture(autouse=True)
def close_new_stores():
    """Stores live for the process; the ones a test opened are closed after it, so their
    background threads do not outlast the test."""
    before = set(contrib_django._stores)
    yield
    for ident in set(contrib_django._stores) - before:
        contrib_django._stores.pop(ident).cache.close()


@pytest.fixture(autouse=True, scope="module")
def native_threads_ended():
    """A closed store's threads end at their next wake-up; the module waits for them, so
    that tests after it count only their own threads."""
    yield
    deadline = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) > threading.active_count() and time.monotonic() < deadline:
        time.sleep(0.02)


def memory_store(**params):
    params.setdefault("OPTIONS", {})["name"] = uuid.uuid4().hex  # a store of its own
    return DjangoCache("", params)


@pytest.fixture(params=["memory", "persistent"])
def django_cache(request, tmp_path):
    if request.param == "memory":
        return memory_store()
    return DjangoCache(str(tmp_path / "data"), {})


def pttl(backend, key):
    return backend._cache.pttl(backend.make_key(key))


# ---- Django timeouts: None is forever, 0 or less stores nothing, omitted is TIMEOUT ----


@pytest.mark.parametrize("zero", [0, -5, 0.0])
def test_django_zero_timeout_removes_and_stores_nothing(django_cache, zero):
    c = django_cache
    c.set_many({"a": 1, "b": 2, "c": 3}, None)
    c.set("a", "new", zero)
    c.set_many({"b": "new"}, zero)
    assert c.touch("c", zero) is True
    assert c.get_many(["a", "b", "c"]) == {}
    assert c.add("d", 1, zero) is True and not c.has_key("d")  # addable, so True; not kept
    c.set("e", 1, None)
    assert c.add("e", 2, zero) is False and c.get("e") == 1  # present: not added, not removed
    assert c.touch("missing", zero) is False


def test_django_none_is_forever_and_default_timeout_applies():
    c = memory_store(TIMEOUT=120)
    c.set("default", 1)
    c.set("explicit", 1, 5)
    c.set("forever", 1, None)
    c.set("huge", 1, 10**15)  # beyond the store's millisecond range: kept without expiry
    assert 119_000 < pttl(c, "default") <= 120_000
    assert 4_000 < pttl(c, "explicit") <= 5_000
    assert pttl(c, "forever") == pttl(c, "huge") == -1
    # touch(None) removes an expiry and reports a live key without one as touched too.
    assert c.touch("explicit", None) is True and pttl(c, "explicit") == -1
    assert c.touch("forever", None) is True
    assert c.touch("missing", None) is False
    assert c.touch("forever", 30) is True and 29_000 < pttl(c, "forever") <= 30_000


@pytest.mark.parametrize("codec", ["json", "vellum.codecs.JsonCodec"])
def test_django_codec_option_replaces_pickle(codec):
    c = memory_store(OPTIONS={"codec": codec})
    c.set("k", {"a": [1]})
    c.set("n", 1)
    assert c._cache.get(c.make_key("k")) == b'{"a":[1]}'
    assert c.get("k") == {"a": [1]} and c.incr("n", 2) == 3


# ---- Django incr: ValueError for a missing key, the expiry kept, never a resurrection ----


@pytest.mark.parametrize("value, delta, result", [(41, 1, 42), (2**70, 1, 2**70 + 1), (1.5, 2, 3.5), (0, -3, -3)])
def test_django_incr_keeps_the_expiry(django_cache, value, delta, result):
    django_cache.set("n", value, 60)
    before = pttl(django_cache, "n")
    assert django_cache.incr("n", delta) == result
    assert django_cache.get("n") == result
    assert before - 1_000 < pttl(django_cache, "n") <= before


@pytest.mark.parametrize("op", ["incr", "decr"])
def test_django_incr_of_missing_key_raises_and_creates_nothing(django_cache, op):
    with pytest.raises(ValueError):
        getattr(django_cache, op)("missing")
    assert not django_cache.has_key("missing")


class _VanishingStore:
    """The backend's store, with `key` deleted right after each read of it: a delete or
    an expiry that lands between incr's read and its write."""

    def __init__(self, store, key):
        self._store, self._key = store, key

    def __getattr__(self, name):
        return getattr(self._store, name)

    def get(self, key):
        data = self._store.get(key)
        if key == self._key:
            self._store.delete(key)
        return data


def test_django_incr_does_not_bring_back_a_key_removed_during_the_call():
    c = memory_store()
    c.set("n", 5, 60)
    c._cache = _VanishingStore(c._cache, c.make_key("n"))
    with pytest.raises(ValueError):
        c.incr("n")
    assert not c.has_key("n")


# ---- atomicity under threads, for every backend ----


def _django_ops(c):
    return c.add, lambda k: c.incr(k), lambda k: c.set(k, 0)


def _cachelib_ops(c):
    return c.add, lambda k: c.inc(k), lambda k: c.set(k, 0)


BACKENDS = {
    "django-memory": lambda tmp: _django_ops(memory_store()),
    "django-persistent": lambda tmp: _django_ops(DjangoCache(str(tmp / "data"), {})),
    "cachelib": lambda tmp: _cachelib_ops(CachelibCache()),
    "flask": lambda tmp: _cachelib_ops(FlaskCache()),
}


def _race(threads, body):
    barrier = threading.Barrier(threads)
    errors = []

    def run(i):
        barrier.wait()
        try:
            body(i)
        except Exception as err:  # reported below, with the thread's number
            errors.append((i, err))

    workers = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not errors


@pytest.mark.parametrize("backend", BACKENDS)
def test_add_has_one_winner_under_threads(backend, tmp_path):
    add, _, _ = BACKENDS[backend](tmp_path)
    for round_ in range(20):
        wins = []
        _race(8, lambda i: wins.append(i) if add(f"k{round_}", i) else None)
        assert len(wins) == 1


@pytest.mark.parametrize("backend", BACKENDS)
def test_incr_loses_no_update_under_threads(backend, tmp_path):
    _, incr, reset = BACKENDS[backend](tmp_path)
    reset("n")
    results = []
    _race(8, lambda i: results.extend(incr("n") for _ in range(250)))
    assert sorted(results) == list(range(1, 2001))  # every intermediate sum seen exactly once


# ---- the store behind the aliases ----


def test_django_aliases_share_a_store_by_name_and_refuse_conflicting_options(tmp_path):
    name = uuid.uuid4().hex
    a = DjangoCache("", {"OPTIONS": {"name": name}})
    b = DjangoCache("", {"OPTIONS": {"name": name}, "KEY_PREFIX": "b"})
    other = memory_store()
    a.set("k", 1)
    assert b.get("k", version=1) is None and b._cache is a._cache  # one store, two key spaces
    assert other.get("k") is None
    b.clear()
    assert a.get("k") is None  # clear() empties the shared store
    with pytest.raises(InvalidCacheBackendError, match="same OPTIONS"):
        DjangoCache("", {"OPTIONS": {"name": name, "max_memory": "1MiB"}})
    with pytest.raises(InvalidCacheBackendError, match="MAX_ENTRIES"):
        DjangoCache("", {"OPTIONS": {"MAX_ENTRIES": 10}})
    assert DjangoCache(str(tmp_path), {})._cache is DjangoCache(str(tmp_path / "." / ""), {})._cache


def test_django_store_works_in_a_child_forked_while_a_write_lock_was_held():
    c = memory_store()
    with c._store.lock(c.make_key("k")):  # as if a writer were mid-call at fork()
        pid = os.fork()
        if pid == 0:
            try:
                c.set("k", 1)
                os._exit(0 if c.incr("k") == 2 else 1)
            except BaseException:
                os._exit(2)
    deadline = time.monotonic() + 10
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        pytest.fail("the child blocked on a lock held at fork()")
    assert os.waitstatus_to_exitcode(done[1]) == 0


# ---- a persistent Django store across processes: kept, signed, tamper refused ----

_PROCESS = """
import os, sys
from django.conf import settings
settings.configure(SECRET_KEY=os.environ["SK"], SECRET_KEY_FALLBACKS=os.environ["FB"].split())
from vellum.contrib.django import VellumCache
cache = VellumCache(sys.argv[1], {})
if sys.argv[2] == "set":
    cache.set("k", {"value": [1, 2]}, None)
else:
    print(repr(cache.get("k", "miss")))
"""


def _process(data_dir, op, secret="old-secret-key-0123456789", fallbacks=""):
    env = dict(os.environ, SK=secret, FB=fallbacks)
    done = subprocess.run([sys.executable, "-c", _PROCESS, str(data_dir), op], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


class _Trap:
    """Unpickling it creates the file at `path`: proof that a payload was unpickled."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (open, (self.path, "w"))


@pytest.mark.parametrize("forge", ["unsigned pickle", "signed with another key", "signature kept, body replaced"])
def test_persistent_django_store_refuses_values_it_did_not_sign(tmp_path, forge):
    data, trap = tmp_path / "data", tmp_path / "unpickled"
    _process(data, "set")
    body = pickle.dumps(_Trap(str(trap)))
    with Cache(persist_dir=data) as raw:
        genuine = raw[":1:k"]
        assert genuine[:1] == b"\x01" and pickle.loads(genuine[33:]) == {"value": [1, 2]}
        raw[":1:k"] = {
            "unsigned pickle": body,
            "signed with another key": PickleCodec(b"an attacker's own key").encode(_Trap(str(trap))),
            "signature kept, body replaced": genuine[:33] + body,
        }[forge]
    assert _process(data, "get") == "'miss'"
    assert not trap.exists()
    with Cache(persist_dir=data) as raw:
        assert ":1:k" not in raw  # the refused value was dropped


@pytest.mark.parametrize(
    "secret, fallbacks, seen",
    [
        ("old-secret-key-0123456789", "", "{'value': [1, 2]}"),  # a restart keeps the value
        ("new-secret-key-0123456789", "old-secret-key-0123456789", "{'value': [1, 2]}"),  # rotated
        ("new-secret-key-0123456789", "", "'miss'"),  # the old key retired: no longer trusted
    ],
)
def test_persistent_django_store_verifies_with_secret_key_fallbacks(tmp_path, secret, fallbacks, seen):
    _process(tmp_path, "set")
    assert _process(tmp_path, "get", secret, fallbacks) == seen


# ---- cachelib and Flask-Caching: 0 is forever there, inc counts from 0 ----


@pytest.mark.parametrize("cls", [CachelibCache, FlaskCache])
def test_cachelib_timeouts_and_inc(cls):
    c = cls(default_timeout=120, key_prefix="p:")
    c.set("zero", 1, 0)
    c.set("default", 1)
    c.set("float", 1.5)
    assert c.store.pttl("p:zero") == -1  # cachelib: 0 never expires
    assert 119_000 < c.store.pttl("p:default") <= 120_000
    assert c.inc("fresh", 5) == 5 and c.dec("fresh", 7) == -2 and c.get("fresh") == -2
    assert c.inc("float") == 2.5  # not an int: cachelib's read-then-write
    assert c.inc("default", 2**70) == 2**70 + 1  # beyond 64 bits, likewise
    assert c.store.get("p:fresh") == b"-2"  # ints stay decimal text for the native increment


def test_flask_caching_builds_the_backend_from_its_config():
    app = flask.Flask(__name__)
    app.config.update(
        CACHE_TYPE="vellum.contrib.flask.VellumCache",
        CACHE_DEFAULT_TIMEOUT=50,
        CACHE_KEY_PREFIX="app:",
        CACHE_OPTIONS={"max_memory": "4MiB", "policy": "allkeys-lru"},
    )
    cache = flask_caching.Cache(app)
    calls = []

    @cache.memoize()
    def square(n):
        calls.append(n)
        return n * n

    with app.app_context():
        assert square(4) == square(4) == 16 and calls == [4]
        backend = cache.cache
        assert isinstance(backend, FlaskCache) and backend.store.max_memory == 4 << 20
        keys = backend.store.match("app:*")
        assert keys and all(0 < backend.store.pttl(k) <= 50_000 for k in keys)
    backend.close()  # the app holds it in a reference cycle; its thread ends now, not at a collection
