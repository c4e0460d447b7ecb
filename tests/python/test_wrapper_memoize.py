import asyncio
import inspect
import threading
import time

import pytest

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
