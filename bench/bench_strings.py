"""String operations against the common in-process peers, in one thread and in two.

Peers: a plain dict (unguarded), a dict guarded by threading.Lock, cachetools.LRUCache
with a lock, lru-dict's LRU. Workloads use 16-byte keys, 100-byte values and 100,000
preloaded keys. Two tables:

- direct calls: each peer called the way applications call it (c.get(k), d.get(k),
  d[k] = v, the lock taken inline), with a fresh key object built for every call, as a
  request handler builds it, so no peer reuses a cached key hash; one-thread figures are
  timed by the thread's CPU time, two-thread aggregates by the wall clock;
- wrapped peers: every peer behind a Python method of the same shape and keys taken
  from a prebuilt list (hashes cached), which measures the stores behind one equal
  layer of overhead.
"""

from __future__ import annotations

import random
import subprocess
import sys
import threading

from common import (MIN_SECONDS, cpu_ops_per_second, fmt_rate, fmt_ratio, interleaved, median, median_ratio,
                    ops_per_second, print_table, threaded_ops_per_second)

N_KEYS = 100_000
KEYS = [b"key:%012d" % i for i in range(N_KEYS)]  # 16 bytes
VALUE = b"v" * 100
MISS = [b"miss:%011d" % i for i in range(N_KEYS)]
SUFFIXES = [b"%012d" % i for i in range(N_KEYS)]  # b"key:" + suffix is a key of KEYS


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
    print_table("Wrapped peers, prebuilt keys (median over 5 interleaved rounds of vellum / peer)",
                ["workload", "vellum 1T", "vs dict", "vs cachetools", "vs lru-dict",
                 "vellum 2T", "2T vs dict 2T", "vellum 2T/1T", "dict 2T/1T"], rows)


def direct_peers(shared_value: bool):  # type: ignore[no-untyped-def]
    """Each peer loaded with every key and its get and set loops, written as applications
    call it. The mappings hold a distinct value object per key, as an application's do,
    or (shared_value) one object under every key, which keeps it in the CPU cache."""
    from lru import LRU

    from vellum import _vellum

    rnd = random.Random(7)
    order = [rnd.randrange(N_KEYS) for _ in range(1 << 16)]
    mask = (1 << 16) - 1
    native = _vellum.Cache()
    plain: dict[bytes, bytes] = {}
    guarded: dict[bytes, bytes] = {}
    lru = LRU(10 * N_KEYS)
    for k in KEYS:
        native.set(k, VALUE)
        plain[k] = VALUE if shared_value else VALUE[:-1] + b"v"
        guarded[k] = VALUE if shared_value else VALUE[:-1] + b"v"
        lru[k] = VALUE if shared_value else VALUE[:-1] + b"v"

    def loops(get, put, mapping, lock):  # type: ignore[no-untyped-def]
        # A method call for vellum's set (put), item assignment for the mappings; the
        # locked dict takes its lock around the call itself.
        def make(kind: str, offset: int):  # type: ignore[no-untyped-def]
            pos = [offset * 7919]
            suffixes, value = SUFFIXES, VALUE

            def hit(n: int) -> None:
                i = pos[0]
                for _ in range(n):
                    get(b"key:" + suffixes[order[i & mask]])
                    i += 1
                pos[0] = i

            def hit_locked(n: int) -> None:
                i = pos[0]
                for _ in range(n):
                    k = b"key:" + suffixes[order[i & mask]]
                    with lock:
                        get(k)
                    i += 1
                pos[0] = i

            def call_set(n: int) -> None:
                i = pos[0]
                for _ in range(n):
                    put(b"key:" + suffixes[order[i & mask]], value)
                    i += 1
                pos[0] = i

            def item_set(n: int) -> None:
                i = pos[0]
                for _ in range(n):
                    mapping[b"key:" + suffixes[order[i & mask]]] = value
                    i += 1
                pos[0] = i

            def item_set_locked(n: int) -> None:
                i = pos[0]
                for _ in range(n):
                    k = b"key:" + suffixes[order[i & mask]]
                    with lock:
                        mapping[k] = value
                    i += 1
                pos[0] = i

            if kind == "get hit":
                return hit if lock is None else hit_locked
            if put is not None:
                return call_set
            return item_set if lock is None else item_set_locked

        return make

    return {
        "vellum": loops(native.get, native.set, None, None),
        "dict": loops(plain.get, None, plain, None),
        "locked dict": loops(guarded.get, None, guarded, threading.Lock()),
        "lru-dict": loops(lru.get, None, lru, None),
    }, native


def direct_table() -> None:
    window = max(MIN_SECONDS / 2, 0.15)
    rows = []
    for label, kind, shared in [("get hit", "get hit", False), ("get hit, one value object", "get hit", True),
                                ("set", "set", False)]:
        makers, native = direct_peers(shared)
        measures = {}
        for name, make in makers.items():
            measures[(name, 1)] = lambda make=make: cpu_ops_per_second(make(kind, 0), min_seconds=window)
            measures[(name, 2)] = lambda make=make: threaded_ops_per_second(
                lambda i, make=make: make(kind, i + 1), 2, min_seconds=window)
        got = interleaved(measures, rounds=7)
        native.close()
        v1, v2 = got[("vellum", 1)], got[("vellum", 2)]
        row = [label, fmt_rate(median(v1))]
        row += [fmt_ratio(median_ratio(v1, got[(peer, 1)])) for peer in ("dict", "locked dict", "lru-dict")]
        row += [fmt_rate(median(v2))]
        row += [fmt_ratio(median_ratio(v2, got[(peer, 2)])) for peer in ("dict", "locked dict", "lru-dict")]
        rows.append(row)
    print_table("Direct calls, a fresh key per call (median over 7 interleaved rounds of vellum / peer; "
                "1T by CPU time)",
                ["workload", "vellum 1T", "vs dict", "vs locked dict", "vs lru-dict",
                 "vellum 2T", "2T vs dict", "2T vs locked dict", "2T vs lru-dict"], rows)


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
    direct_table()
    throughput_table()
    keys_scaling()
    memory_table()


if __name__ == "__main__":
    main()
