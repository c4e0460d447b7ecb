"""What the Python layer costs: wrapper get/set against the native calls, and the
memoize hit path against cachetools.cached (with a lock) and functools.lru_cache.

Ratios are measured in the same run; the target for the wrapper is at most 1.5x the
native time per call.
"""

from __future__ import annotations

import functools
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from common import fmt_rate, fmt_ratio, ops_per_second, print_table  # noqa: E402

from vellum import _vellum  # noqa: E402
from vellum.cache import Cache  # noqa: E402

KEYS = [f"key:{i}".encode() for i in range(1000)]


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

    def wrapper_set_ttl(count: int) -> None:
        put = wrapper.set
        for i in range(count):
            put(KEYS[i % n], b"value", ttl=60)

    rows = []
    for label, base, body in [
        ("get", native_get, wrapper_get),
        ("c[k]", native_get, wrapper_item),
        ("set", native_set, wrapper_set),
        ("c[k] = v", native_set, wrapper_setitem),
        ("set ttl=60 (vs native set)", native_set, wrapper_set_ttl),
    ]:
        b, w = ops_per_second(base), ops_per_second(body)
        rows.append((label, fmt_rate(b), fmt_rate(w), fmt_ratio(b / w)))
    print_table("wrapper vs native (time ratio, target <= 1.50x)", ["op", "native", "wrapper", "ratio"], rows)
    wrapper.close()


def bench_memoize() -> None:
    import cachetools

    c = Cache(codec="json")

    @c.memoize(ttl=None)
    def vellum_f(x: int) -> int:
        return x * 2

    lock = threading.Lock()

    @cachetools.cached(cachetools.LRUCache(maxsize=4096), lock=lock)
    def cachetools_f(x: int) -> int:
        return x * 2

    @functools.lru_cache(maxsize=4096)
    def lru_f(x: int) -> int:
        return x * 2

    def loop(fn):  # type: ignore[no-untyped-def]
        def body(count: int) -> None:
            for i in range(count):
                fn(i & 255)
        return body

    for f in (vellum_f, cachetools_f, lru_f):
        for i in range(256):
            f(i)
    v = ops_per_second(loop(vellum_f))
    t = ops_per_second(loop(cachetools_f))
    lru = ops_per_second(loop(lru_f))
    print_table(
        "memoize hit path (time relative to vellum)",
        ["peer", "rate", "time ratio"],
        [("vellum memoize (json codec)", fmt_rate(v), fmt_ratio(1.0)),
         ("cachetools.cached + Lock", fmt_rate(t), fmt_ratio(v / t)),
         ("functools.lru_cache", fmt_rate(lru), fmt_ratio(v / lru))],
    )
    c.close()


if __name__ == "__main__":
    bench_get_set()
    try:
        bench_memoize()
    except ImportError as err:
        print(f"\n(memoize peers skipped: {err})")
