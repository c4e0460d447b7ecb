"""What the Python layer costs: wrapper get/set against the native calls, and the
memoize hit path against cachetools.cached (with a lock) and functools.lru_cache, on a
one-argument and a three-argument function.

Every figure is the median over interleaved rounds of ratios measured in the same run,
timed by the thread's CPU time (every measurement here runs in one thread).
Targets: the wrapper at most 1.30x the native time per call; a memoize hit at least 2x
as fast as cachetools.cached with a lock and at least 0.3x as fast as lru_cache.
"""

from __future__ import annotations

import functools
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import (cpu_ops_per_second, fmt_rate, fmt_ratio, interleaved, median, median_ratio,  # noqa: E402
                    print_table)

from vellum.cache import Cache  # noqa: E402

KEYS = [f"key:{i}".encode() for i in range(1000)]
ROUNDS = 7


def bench_get_set() -> None:
    wrapper = Cache(shards=16)
    native = wrapper.native
    for k in KEYS:
        native.set(k, b"value")
    n = len(KEYS)

    def native_get(count: int) -> None:
        get = native.get
        for i in range(count):
            get(KEYS[i % n])

    def wrapper_get(count: int) -> None:
        get = wrapper.get
        for i in range(count):
            get(KEYS[i % n])

    def wrapper_item(count: int) -> None:
        c = wrapper
        for i in range(count):
            c[KEYS[i % n]]

    def native_set(count: int) -> None:
        put = native.set
        for i in range(count):
            put(KEYS[i % n], b"value")

    def wrapper_set(count: int) -> None:
        put = wrapper.set
        for i in range(count):
            put(KEYS[i % n], b"value")

    def wrapper_setitem(count: int) -> None:
        c = wrapper
        for i in range(count):
            c[KEYS[i % n]] = b"value"

    def native_set_ex(count: int) -> None:
        put = native.set
        for i in range(count):
            put(KEYS[i % n], b"value", 60)

    def wrapper_set_ttl(count: int) -> None:
        put = wrapper.set
        for i in range(count):
            put(KEYS[i % n], b"value", ttl=60)

    bodies = {"native get": native_get, "get": wrapper_get, "c[k]": wrapper_item, "native set": native_set,
              "set": wrapper_set, "c[k] = v": wrapper_setitem, "native set ex=60": native_set_ex,
              "set ttl=60": wrapper_set_ttl}
    got = interleaved({name: (lambda body=body: cpu_ops_per_second(body)) for name, body in bodies.items()}, ROUNDS)
    rows = []
    for label, base in [("get", "native get"), ("c[k]", "native get"), ("set", "native set"),
                        ("c[k] = v", "native set"), ("set ttl=60", "native set ex=60")]:
        # Time per call relative to the native call: native rate / wrapper rate.
        rows.append((label, fmt_rate(median(got[base])), fmt_rate(median(got[label])),
                     fmt_ratio(median_ratio(got[base], got[label]))))
    print_table(f"wrapper vs native (time per call, median of {ROUNDS} interleaved rounds; target <= 1.30x)",
                ["op", "native", "wrapper", "time ratio"], rows)
    wrapper.close()


def bench_memoize() -> None:
    import cachetools

    c = Cache(codec="json")

    @c.memoize(ttl=None)
    def vellum_1(x: int) -> int:
        return x * 2

    @c.memoize(ttl=None)
    def vellum_3(x: int, unit: str, scale: float) -> int:
        return x * 2

    @cachetools.cached(cachetools.LRUCache(maxsize=4096), lock=threading.Lock())
    def cachetools_1(x: int) -> int:
        return x * 2

    @cachetools.cached(cachetools.LRUCache(maxsize=4096), lock=threading.Lock())
    def cachetools_3(x: int, unit: str, scale: float) -> int:
        return x * 2

    @functools.lru_cache(maxsize=4096)
    def lru_1(x: int) -> int:
        return x * 2

    @functools.lru_cache(maxsize=4096)
    def lru_3(x: int, unit: str, scale: float) -> int:
        return x * 2

    def loop_1(fn):  # type: ignore[no-untyped-def]
        def body(count: int) -> None:
            for i in range(count):
                fn(i & 255)
        return body

    def loop_3(fn):  # type: ignore[no-untyped-def]
        def body(count: int) -> None:
            for i in range(count):
                fn(i & 255, "m", 2.5)
        return body

    measures = {}
    for arity, loop, fns in [(1, loop_1, (vellum_1, cachetools_1, lru_1)), (3, loop_3, (vellum_3, cachetools_3, lru_3))]:
        for peer, fn in zip(("vellum", "cachetools", "lru_cache"), fns):
            loop(fn)(1024)  # every result computed and stored, then read back at least once
            loop(fn)(1024)
            measures[(peer, arity)] = lambda body=loop(fn): cpu_ops_per_second(body)
    got = interleaved(measures, ROUNDS)
    rows = []
    for arity in (1, 3):
        v = got[("vellum", arity)]
        rows.append((f"{arity} argument{'s' if arity > 1 else ''}", fmt_rate(median(v)),
                     fmt_rate(median(got[("cachetools", arity)])), fmt_ratio(median_ratio(v, got[("cachetools", arity)])),
                     fmt_rate(median(got[("lru_cache", arity)])), fmt_ratio(median_ratio(v, got[("lru_cache", arity)]))))
    print_table(f"memoize hit, json codec (speed of vellum / peer, median of {ROUNDS} interleaved rounds; "
                "targets >= 2x cachetools.cached + Lock, >= 0.3x lru_cache)",
                ["function", "vellum", "cachetools+lock", "vs cachetools", "lru_cache", "vs lru_cache"], rows)
    c.close()


if __name__ == "__main__":
    bench_get_set()
    try:
        bench_memoize()
    except ImportError as err:
        print(f"\n(memoize peers skipped: {err})")
