"""String operations against the common in-process peers, in one thread and in two.

Peers: a dict guarded by threading.Lock, cachetools.LRUCache with a lock, lru-dict's LRU.
Workloads use 16-byte keys, 100-byte values and 100,000 preloaded keys.
"""

from __future__ import annotations

import random
import subprocess
import sys
import threading

from common import (MIN_SECONDS, fmt_rate, fmt_ratio, interleaved, median, median_ratio, ops_per_second, print_table,
                    threaded_ops_per_second)

N_KEYS = 100_000
KEYS = [b"key:%012d" % i for i in range(N_KEYS)]  # 16 bytes
VALUE = b"v" * 100
MISS = [b"miss:%011d" % i for i in range(N_KEYS)]


class LockedDict:
    def __init__(self) -> None:
        self.d: dict[bytes, bytes] = {}
        self.lock = threading.Lock()

    def get(self, k: bytes) -> bytes | None:
        with self.lock:
            return self.d.get(k)

    def set(self, k: bytes, v: bytes) -> None:
        with self.lock:
            self.d[k] = v


class LockedCachetools:
    def __init__(self) -> None:
        import cachetools

        self.c = cachetools.LRUCache(maxsize=10 * N_KEYS)
        self.lock = threading.Lock()

    def get(self, k: bytes) -> bytes | None:
        with self.lock:
            return self.c.get(k)

    def set(self, k: bytes, v: bytes) -> None:
        with self.lock:
            self.c[k] = v


class LruDict:
    def __init__(self) -> None:
        from lru import LRU

        self.c = LRU(10 * N_KEYS)

    def get(self, k: bytes) -> bytes | None:
        return self.c.get(k)

    def set(self, k: bytes, v: bytes) -> None:
        self.c[k] = v


class Vellum:
    def __init__(self) -> None:
        from vellum import _vellum

        self.c = _vellum.Cache()

    def get(self, k: bytes) -> bytes | None:
        return self.c.get(k)

    def set(self, k: bytes, v: bytes) -> None:
        self.c.set(k, v)


def workloads(peer):  # type: ignore[no-untyped-def]
    get, set_ = peer.get, peer.set
    for k in KEYS:
        set_(k, VALUE)
    rnd = random.Random(7)
    order = [rnd.randrange(N_KEYS) for _ in range(1 << 16)]
    mask = (1 << 16) - 1

    def make(kind: str, offset: int):  # type: ignore[no-untyped-def]
        pos = [offset * 7919]
        keys = KEYS
        miss = MISS

        def hit(n: int) -> None:
            i = pos[0]
            for _ in range(n):
                get(keys[order[i & mask]])
                i += 1
            pos[0] = i

        def missing(n: int) -> None:
            i = pos[0]
            for _ in range(n):
                get(miss[order[i & mask]])
                i += 1
            pos[0] = i

        def setter(n: int) -> None:
            i = pos[0]
            for _ in range(n):
                set_(keys[order[i & mask]], VALUE)
                i += 1
            pos[0] = i

        def mixed(n: int) -> None:
            i = pos[0]
            for _ in range(n):
                k = keys[order[i & mask]]
                if i % 10 == 0:
                    set_(k, VALUE)
                else:
                    get(k)
                i += 1
            pos[0] = i

        return {"get hit": hit, "get miss": missing, "set": setter, "90/10 get/set": mixed}[kind]

    return make


def throughput_table() -> None:
    peers = {"vellum": Vellum, "locked dict": LockedDict, "cachetools+lock": LockedCachetools, "lru-dict": LruDict}
    kinds = ["get hit", "get miss", "set", "90/10 get/set"]
    makers = {name: workloads(cls()) for name, cls in peers.items()}
    rows = []
    window = max(MIN_SECONDS / 2, 0.15)
    for kind in kinds:
        measures = {}
        for name, make in makers.items():
            measures[(name, 1)] = lambda make=make: ops_per_second(make(kind, 0), min_seconds=window)
            measures[(name, 2)] = lambda make=make: threaded_ops_per_second(
                lambda i, make=make: make(kind, i + 1), 2, min_seconds=window)
        got = interleaved(measures)
        v1, v2 = got[("vellum", 1)], got[("vellum", 2)]
        rows.append([kind, fmt_rate(median(v1)), fmt_ratio(median_ratio(v1, got[("locked dict", 1)])),
                     fmt_ratio(median_ratio(v1, got[("cachetools+lock", 1)])),
                     fmt_ratio(median_ratio(v1, got[("lru-dict", 1)])), fmt_rate(median(v2)),
                     fmt_ratio(median_ratio(v2, got[("locked dict", 2)])), fmt_ratio(median_ratio(v2, v1)),
                     fmt_ratio(median_ratio(got[("locked dict", 2)], got[("locked dict", 1)]))])
    print_table("String operations (median over 5 interleaved rounds of vellum / peer)",
                ["workload", "vellum 1T", "vs dict", "vs cachetools", "vs lru-dict",
                 "vellum 2T", "2T vs dict 2T", "vellum 2T/1T", "dict 2T/1T"], rows)


def keys_scaling() -> None:
    from vellum import _vellum

    c = _vellum.Cache()
    for i in range(N_KEYS):
        c.set(b"k%06d" % i, b"v")
    pattern = "*00"  # 1% of the keys

    def make(_: int):  # type: ignore[no-untyped-def]
        def body(n: int) -> None:
            for _ in range(n):
                c.keys(pattern)
        return body

    got = interleaved({1: lambda: ops_per_second(make(0), chunk=5), 2: lambda: threaded_ops_per_second(make, 2, chunk=5)})
    print_table("keys() with a 1% pattern over 100,000 keys (store work dominates)",
                ["1 thread", "2 threads", "2T/1T"],
                [[f"{median(got[1]):.0f}/s", f"{median(got[2]):.0f}/s", fmt_ratio(median_ratio(got[2], got[1]))]])


MEMORY_CHILD = r"""
import sys, gc
sys.path.insert(0, "bench")
from common import rss_bytes
kind = sys.argv[1]
n = 1_000_000
prefix = b"v" * 99
gc.collect()
before = rss_bytes()
if kind == "vellum":
    from vellum import _vellum
    before = rss_bytes()
    c = _vellum.Cache()
    for i in range(n):
        c.set(b"key:%012d" % i, prefix + b"x")
    used = c.used_memory
else:
    d = {}
    for i in range(n):
        d[b"key:%012d" % i] = prefix + b"x"  # a distinct 100-byte object per key
    used = 0
after = rss_bytes()
print((after - before) / n, used / n)
"""


def memory_table() -> None:
    out = {}
    for kind in ("vellum", "dict"):
        r = subprocess.run([sys.executable, "-c", MEMORY_CHILD, kind], capture_output=True, text=True, check=True)
        rss, used = (float(x) for x in r.stdout.split())
        out[kind] = (rss, used)
    v_rss, v_used = out["vellum"]
    d_rss = out["dict"][0]
    print_table("Memory for 1,000,000 keys (16-byte keys, 100-byte values)",
                ["vellum RSS/key", "used_memory/key", "dict RSS/key", "vellum/dict", "RSS/used_memory"],
                [[f"{v_rss:.0f} B", f"{v_used:.0f} B", f"{d_rss:.0f} B", fmt_ratio(v_rss / d_rss),
                  fmt_ratio(v_rss / v_used)]])


def main() -> None:
    throughput_table()
    keys_scaling()
    memory_table()


if __name__ == "__main__":
    main()
