"""Collections against locked Python structures, writes at the memory ceiling, and the
hit ratio of the approximate LRU against an exact LRU on a Zipf(0.99) stream."""

from __future__ import annotations

import bisect
import itertools
import random
import threading
from collections import deque

from common import fmt_rate, fmt_ratio, interleaved, median, median_ratio, ops_per_second, print_table

N = 10_000


def collection_table() -> None:
    from vellum import _vellum

    c = _vellum.Cache()
    lock = threading.Lock()
    hashes: dict[bytes, dict[bytes, bytes]] = {}
    lists: dict[bytes, deque[bytes]] = {}
    sets: dict[bytes, set[bytes]] = {}
    hkeys = [b"h:%d" % (i % 100) for i in range(N)]
    lkeys = [b"l:%d" % (i % 100) for i in range(N)]
    skeys = [b"s:%d" % (i % 100) for i in range(N)]
    fields = [b"f:%d" % i for i in range(N)]
    value = b"x" * 32

    def v_hash(n: int) -> None:
        hset, hget = c.hset, c.hget
        for i in range(n):
            j = i % N
            hset(hkeys[j], fields[j], value)
            hget(hkeys[j], fields[j])

    def p_hash(n: int) -> None:
        for i in range(n):
            j = i % N
            with lock:
                hashes.setdefault(hkeys[j], {})[fields[j]] = value
            with lock:
                h = hashes.get(hkeys[j])
                h.get(fields[j]) if h is not None else None

    def v_list(n: int) -> None:
        lpush, lpop = c.lpush, c.lpop
        for i in range(n):
            k = lkeys[i % N]
            lpush(k, value)
            lpop(k)

    def p_list(n: int) -> None:
        for i in range(n):
            k = lkeys[i % N]
            with lock:
                lists.setdefault(k, deque()).appendleft(value)
            with lock:
                d = lists.get(k)
                if d:
                    d.popleft()
                    if not d:
                        del lists[k]

    def v_set(n: int) -> None:
        sadd, sism = c.sadd, c.sismember
        for i in range(n):
            j = i % N
            sadd(skeys[j], fields[j])
            sism(skeys[j], fields[j])

    def p_set(n: int) -> None:
        for i in range(n):
            j = i % N
            with lock:
                sets.setdefault(skeys[j], set()).add(fields[j])
            with lock:
                s = sets.get(skeys[j])
                fields[j] in s if s is not None else False

    # Steady state: every list keeps one item, so pushes and pops never create or remove
    # the key. The emptying variant (each pop removes the key) is measured first.
    cases = [("hset+hget", v_hash, p_hash), ("lpush+lpop, each pop empties the list", v_list, p_list)]

    def fill() -> None:
        for k in set(lkeys):
            c.rpush(k, b"keep")
            lists.setdefault(k, deque()).append(b"keep")

    rows = []
    for name, v, p in cases + [("lpush+lpop, steady state", v_list, p_list), ("sadd+sismember", v_set, p_set)]:
        if name == "lpush+lpop, steady state":
            fill()
        got = interleaved({"v": lambda v=v: ops_per_second(v), "p": lambda p=p: ops_per_second(p)})
        rows.append([name, fmt_rate(median(got["v"])), fmt_rate(median(got["p"])), fmt_ratio(median_ratio(got["v"], got["p"]))])
    print_table("Collections vs Python structures under one lock (pairs/s)",
                ["operation pair", "vellum", "locked python", "ratio"], rows)


def ceiling_table() -> None:
    from vellum import _vellum

    keys = [b"key:%012d" % i for i in range(200_000)]
    value = b"v" * 100

    def make(cache):  # type: ignore[no-untyped-def]
        counter = itertools.count()

        def body(n: int) -> None:
            set_ = cache.set
            start = next(counter) * n
            for i in range(start, start + n):
                set_(keys[i % 200_000], value)
        return body

    free = _vellum.Cache()
    # A ceiling far below the working set: once full, every new key evicts.
    capped = _vellum.Cache(max_memory=2 * 1024 * 1024, policy="allkeys-lru")
    for k in keys[:50_000]:
        capped.set(k, value)
    got = interleaved({"free": lambda: ops_per_second(make(free)), "capped": lambda: ops_per_second(make(capped))})
    print_table("set at the memory ceiling (allkeys-lru, every write evicts) vs no ceiling",
                ["no ceiling", "at ceiling", "ratio", "evictions"],
                [[fmt_rate(median(got["free"])), fmt_rate(median(got["capped"])),
                  fmt_ratio(median_ratio(got["capped"], got["free"])), capped._counters()["evictions"]]])


def zipf_stream(n_keys: int, n_requests: int, s: float, seed: int) -> list[int]:
    weights = [1.0 / (i + 1) ** s for i in range(n_keys)]
    cum = list(itertools.accumulate(weights))
    total = cum[-1]
    rnd = random.Random(seed)
    perm = list(range(n_keys))
    rnd.shuffle(perm)  # popularity independent of key order
    return [perm[bisect.bisect_left(cum, rnd.random() * total)] for _ in range(n_requests)]


def hit_ratio_table() -> None:
    import cachetools

    from vellum import _vellum

    n_keys, n_req = 100_000, 1_000_000
    stream = zipf_stream(n_keys, n_req, 0.99, 11)
    keys = [b"key:%012d" % i for i in range(n_keys)]
    value = b"v" * 100
    probe = _vellum.Cache(shards=64)
    for k in keys:
        probe.set(k, value)
    budget = probe.used_memory // 10
    entries = n_keys // 10
    del probe

    c = _vellum.Cache(max_memory=budget, policy="allkeys-lru")
    hits = 0
    get, set_ = c.get, c.set
    for i in stream:
        k = keys[i]
        if get(k) is not None:
            hits += 1
        else:
            set_(k, value)
    vellum_ratio = hits / n_req

    lru = cachetools.LRUCache(maxsize=entries)
    hits = 0
    for i in stream:
        k = keys[i]
        if lru.get(k) is not None:
            hits += 1
        else:
            lru[k] = value
    exact = hits / n_req
    print_table("Hit ratio, Zipf(0.99), 1,000,000 requests over 100,000 keys, budget 10% of the key space",
                ["vellum (sampled LRU)", "exact LRU (cachetools)", "difference", "keys held by vellum"],
                [[f"{vellum_ratio * 100:.2f}%", f"{exact * 100:.2f}%", f"{(vellum_ratio - exact) * 100:+.2f} pp", len(c)]])


def main() -> None:
    collection_table()
    ceiling_table()
    hit_ratio_table()


if __name__ == "__main__":
    main()
