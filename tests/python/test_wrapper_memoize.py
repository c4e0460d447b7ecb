import asyncio
import enum
import inspect
import pickle
import socket
import threading
import time

import pytest

from vellum import _vellum
from vellum.cache import Cache


@pytest.fixture
def cache():
    c = Cache(codec="json")
    yield c
    c.close()


def test_eight_threads_compute_once(cache):
    calls = []
    barrier = threading.Barrier(8)

    @cache.memoize(ttl=60)
    def slow(x):
        calls.append(x)
        time.sleep(0.05)
        return x * 2

    results = []

    def worker():
        barrier.wait()
        results.append(slow(21))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert calls == [21] and results == [42] * 8
    assert slow.cache_info() == (7, 1, None, 1)


def test_hundred_tasks_compute_once(cache):
    calls = []

    @cache.memoize(ttl=60)
    async def fetch(x):
        calls.append(x)
        await asyncio.sleep(0.02)
        return {"x": x}

    async def main():
        return await asyncio.gather(*(fetch(5) for _ in range(100)))

    assert inspect.iscoroutinefunction(fetch)
    assert asyncio.run(main()) == [{"x": 5}] * 100
    assert calls == [5]
    assert fetch.cache_info().misses == 1


def test_exceptions_are_not_cached(cache):
    attempts = []

    @cache.memoize()
    def flaky(x):
        attempts.append(x)
        if len(attempts) == 1:
            raise RuntimeError("first call fails")
        return x

    with pytest.raises(RuntimeError):
        flaky(1)
    assert flaky(1) == 1 and flaky(1) == 1
    assert attempts == [1, 1]


def test_async_exceptions_are_not_cached(cache):
    attempts = []

    @cache.memoize()
    async def flaky():
        attempts.append(1)
        if len(attempts) == 1:
            raise ValueError("boom")
        return 7

    with pytest.raises(ValueError):
        asyncio.run(flaky())
    assert asyncio.run(flaky()) == 7 and len(attempts) == 2


def test_invalidate_and_cache_clear(cache):
    calls = []

    @cache.memoize()
    def square(x, scale=1):
        calls.append(x)
        return x * x * scale

    square(2), square(3), square(2, scale=2)
    assert square.invalidate(2) is True and square.invalidate(2) is False
    square(2), square(3)
    assert calls == [2, 3, 2, 2]
    assert square.cache_info().currsize == 3
    cache["unrelated"] = 1
    square.cache_clear()
    assert square.cache_info() == (0, 0, None, 0) and "unrelated" in cache


@pytest.mark.parametrize("typed, distinct", [(False, 1), (True, 3)])
def test_typed_separates_equal_numbers_of_different_types(cache, typed, distinct):
    calls = []

    @cache.memoize(typed=typed)
    def ident(x):
        calls.append(x)
        return 1

    ident(1), ident(1.0), ident(True)
    assert len(calls) == distinct


def test_results_expire_with_the_ttl(cache):
    calls = []

    @cache.memoize(ttl=0.02)
    def now():
        calls.append(1)
        return len(calls)

    assert now() == 1 and now() == 1
    time.sleep(0.05)
    assert now() == 2


def test_custom_key_and_unkeyable_arguments(cache):
    class Point:
        def __init__(self, x):
            self.x = x

    @cache.memoize(key=lambda p: f"point:{p.x}")
    def norm(p):
        return abs(p.x)

    @cache.memoize()
    def plain(p):
        return 0

    assert norm(Point(-3)) == 3 and norm(Point(-3)) == 3
    assert norm.cache_info().hits == 1
    with pytest.raises(TypeError, match="key="):
        plain(Point(1))


def test_signature_and_metadata_survive(cache):
    @cache.memoize()
    def area(width: int, height: int = 2) -> int:
        """Area of a rectangle."""
        return width * height

    assert area.__name__ == "area" and area.__doc__ == "Area of a rectangle."
    assert str(inspect.signature(area)) == "(width: int, height: int = 2) -> int"
    assert area.__wrapped__(3) == 6


def test_results_are_shared_through_the_store(cache):
    @cache.memoize()
    def value(x):
        return [x]

    value("a")
    (key,) = cache.match("memo:*")
    assert cache[key] == ["a"]


# ---- remembered values: a hit may skip the copy and the decode, never the entry ----


def resp(port, *words):
    """Sends one command to a vellum server; returns the raw reply."""
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(b"*%d\r\n" % len(words) + b"".join(b"$%d\r\n%s\r\n" % (len(w), w) for w in words))
        return s.recv(1024)


def fill_until_gone(c, key):
    for i in range(100_000):
        if not c.native.exists(key):
            return
        c.native.set(b"filler:%d" % i, b"x" * 512)
    raise AssertionError("the memoized entry was never evicted")


def write_from_thread(c, key):
    t = threading.Thread(target=c.native.set, args=(key, b"41"))
    t.start()
    t.join()


def write_through_server(c, key):
    server = _vellum.Server(c.native, port=0)
    server.start()
    try:
        assert resp(server.port, b"SET", key, b"41") == b"+OK\r\n"
    finally:
        server.stop()


# Each action and what the next call returns: a recomputed value (2) or the written one.
INVALIDATIONS = {
    "expiry": (lambda c, f, key: time.sleep(1.0), 2),
    "eviction": (lambda c, f, key: fill_until_gone(c, key), 2),
    "delete": (lambda c, f, key: c.delete(key), 2),
    "invalidate": (lambda c, f, key: f.invalidate(7), 2),
    "cache_clear": (lambda c, f, key: f.cache_clear(), 2),
    "flush": (lambda c, f, key: c.clear(), 2),
    "write": (lambda c, f, key: c.set(key, 41), 41),
    "incr": (lambda c, f, key: c.incr(key, 40), 41),
    "append": (lambda c, f, key: c.native.append(key, b"0"), 10),
    "write from another thread": (lambda c, f, key: write_from_thread(c, key), 41),
    "write through the server": (lambda c, f, key: write_through_server(c, key), 41),
}


@pytest.mark.parametrize("action", INVALIDATIONS)
def test_a_remembered_value_never_outlives_its_entry(action):
    change, expected = INVALIDATIONS[action]
    c = Cache(codec="json", max_memory="256KB", policy="allkeys-lru")
    calls = []

    @c.memoize(ttl=0.5 if action == "expiry" else None)
    def count(x):
        calls.append(x)
        return len(calls)

    assert [count(7) for _ in range(4)] == [1, 1, 1, 1]
    assert count._hits == 2, "the third and fourth calls are answered by the remembered value"
    (key,) = c.match("memo:*")
    change(c, count, key)
    assert count(7) == expected and count(7) == expected and count(7) == expected
    assert len(calls) == (2 if expected == 2 else 1)
    c.close()


def test_only_immutable_results_are_shared_between_calls(cache):
    @cache.memoize()
    def listed(x):
        return [x, {"k": x}]

    @cache.memoize()
    def text(x):
        return "v" * x

    first = [listed(1) for _ in range(3)]
    first[2][1]["k"] = "changed"
    assert listed(1) == [1, {"k": 1}] and listed(1) is not first[2]
    assert listed._hits == 0
    texts = [text(3) for _ in range(4)]
    assert texts[2] is texts[3] and text._hits == 2


@pytest.mark.parametrize("typed, distinct", [(False, 1), (True, 3)])
def test_remembered_values_keep_typed_apart_and_untyped_together(cache, typed, distinct):
    calls = []

    @cache.memoize(typed=typed)
    def ident(x, y="s"):
        calls.append(x)
        return len(calls)

    rounds = [[ident(a, b"y") for a in (1, 1.0, True)] for _ in range(4)]
    assert len(calls) == distinct and rounds[3] == rounds[0]
    assert ident._hits > 0


def test_arguments_of_other_types_never_take_a_remembered_value(cache):
    class One(enum.IntEnum):
        ONE = 1

    @cache.memoize()
    def twice(x):
        return 2 * x

    assert [twice(1) for _ in range(3)] == [2, 2, 2] and twice._hits == 1
    with pytest.raises(TypeError, match="key="):
        twice(One.ONE)  # equal to 1, but not a type a key is built from
    assert twice(x=1) == 2 and twice._hits == 1  # keyword calls read the store


def test_methods_bind_and_custom_keys_always_read_the_store(cache):
    class Shape:
        def __init__(self, side):
            self.side = side

        @cache.memoize(key=lambda self, n: f"shape:{self.side}:{n}")
        def area(self, n):
            return self.side * self.side * n

    s = Shape(3)
    assert [s.area(2) for _ in range(3)] == [18, 18, 18]
    assert Shape.area.cache_info().hits == 2 and Shape.area._hits == 0


def test_remembered_values_are_bounded_oldest_first(cache):
    cache.native.set(b"k", b"stored")
    (_, version) = _vellum.Memo(cache.native, lambda *a: None)._load(b"k")
    misses = []
    memo = _vellum.Memo(cache.native, lambda *a: misses.append(a) or "computed", size=2)
    for arg in ("a", "b", "c"):
        memo._remember((arg,), b"k", version, "remembered")
    assert [memo(arg) for arg in ("a", "b", "c")] == ["computed", "remembered", "remembered"]
    assert misses == [("a",)] and memo._hits == 2
    memo._clear()
    assert memo("b") == "computed" and memo._hits == 0


def test_a_memoized_function_pickles_by_reference_and_names_itself(tmp_path, monkeypatch):
    (tmp_path / "memo_target.py").write_text(
        "from vellum.cache import Cache\n"
        "cache = Cache(codec='json')\n"
        "@cache.memoize()\n"
        "def double(x):\n"
        "    return 2 * x\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    import memo_target

    assert pickle.loads(pickle.dumps(memo_target.double)) is memo_target.double
    assert repr(memo_target.double).startswith("<memoized function double at 0x")
    memo_target.cache.close()
