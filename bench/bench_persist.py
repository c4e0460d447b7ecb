"""Persistence: set throughput per fsync policy, save() bandwidth, reopen speed, RSS during save.

Every figure sits next to a baseline measured in the same run on the same disk: set rates
against an in-memory cache and against diskcache, save() against a plain 64 KiB-buffered
sequential write plus fsync of the same number of bytes. Keys are 16 bytes, values 100.
All files live in a temporary directory under build/, removed at the end.
"""

from __future__ import annotations

import gc
import os
import shutil
import sys
import tempfile
import threading
import time

from common import fmt_rate, fmt_ratio, ops_per_second, print_table, rss_bytes

from vellum._vellum import Cache

N_KEYS = 100_000
KEYS = [b"key:%012d" % i for i in range(N_KEYS)]  # 16 bytes
VALUE = b"v" * 100
BIG = 1_000_000
WRITE_BUFFER = 64 * 1024


def rate(x: float) -> str:
    # fmt_rate rounds to thousands, which hides an fsync-bound rate.
    return fmt_rate(x) if x >= 10_000 else f"{x:,.0f}/s"


def base_dir() -> str:
    root = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    os.makedirs(root, exist_ok=True)
    return tempfile.mkdtemp(prefix="bench-persist-", dir=root)


def cycling_setter(set_):  # type: ignore[no-untyped-def]
    pos = [0]

    def body(n: int) -> None:
        i = pos[0]
        for _ in range(n):
            set_(KEYS[i], VALUE)
            i += 1
            if i == N_KEYS:
                i = 0
        pos[0] = i

    return body


def set_table(root: str) -> None:
    import diskcache

    rates: dict[str, float] = {}
    mem = Cache()
    rates["in-memory"] = ops_per_second(cycling_setter(mem.set))
    mem.close()
    for policy in ("never", "everysec"):
        c = Cache(persist_dir=os.path.join(root, "set-" + policy), fsync=policy, snapshot_interval=0)
        rates[policy] = ops_per_second(cycling_setter(c.set))
        del c  # dropped without the final snapshot, which would only cost time here
        gc.collect()
    c = Cache(persist_dir=os.path.join(root, "set-always"), fsync="always", snapshot_interval=0)
    rates["always"] = ops_per_second(cycling_setter(c.set), chunk=50, min_seconds=0.5)
    del c
    gc.collect()
    dc = diskcache.Cache(os.path.join(root, "diskcache"))
    rates["diskcache"] = ops_per_second(cycling_setter(dc.set), chunk=1000, min_seconds=0.5)
    dc.close()

    rows = []
    for name in ("in-memory", "never", "everysec", "always", "diskcache"):
        r = rates[name]
        rows.append([name, rate(r), fmt_ratio(r / rates["in-memory"]), fmt_ratio(r / rates["diskcache"])])
    print_table("set, one thread, 16-byte keys, 100-byte values (target: everysec >= 0.6x in-memory, >= 20x diskcache)",
                ["cache", "rate", "vs in-memory", "vs diskcache"], rows)


def fill(c: Cache, n: int) -> None:
    batch = 10_000
    for start in range(0, n, batch):
        c.mset({b"key:%012d" % i: VALUE for i in range(start, start + batch)})


def plain_write_seconds(path: str, nbytes: int) -> float:
    """A 64 KiB-buffered sequential write of nbytes plus fsync: the bandwidth a save can hope for."""
    block = b"\x5a" * WRITE_BUFFER
    start = time.perf_counter()
    with open(path, "wb", buffering=0) as f:
        left = nbytes
        while left > 0:
            left -= f.write(block[: min(left, WRITE_BUFFER)])
        os.fsync(f.fileno())
    elapsed = time.perf_counter() - start
    os.unlink(path)
    return elapsed


def timed_save(c: Cache, sample_rss: bool = False) -> tuple[float, int]:
    """Seconds of one save(), and the peak RSS above the level just before it (when sampled)."""
    gc.collect()
    steady = rss_bytes()
    peak = [steady]
    done = threading.Event()

    def sampler() -> None:
        while not done.is_set():
            peak[0] = max(peak[0], rss_bytes())
            time.sleep(0.0005)

    t = threading.Thread(target=sampler) if sample_rss else None
    if t:
        t.start()
    start = time.perf_counter()
    c.save()
    elapsed = time.perf_counter() - start
    done.set()
    if t:
        t.join()
    peak[0] = max(peak[0], rss_bytes())
    return elapsed, peak[0] - steady


def timed_open(path: str) -> tuple[Cache, float]:
    start = time.perf_counter()
    c = Cache(persist_dir=path, fsync="never", snapshot_interval=0)
    return c, time.perf_counter() - start


def save_and_reopen_tables(root: str) -> None:
    path = os.path.join(root, "big")
    # A log of BIG SET records and no snapshot: the store is dropped without close.
    c = Cache(persist_dir=path, fsync="never", snapshot_interval=0)
    fill(c, BIG)
    del c
    gc.collect()
    log_bytes = sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path) if n.endswith(".log"))

    c, replay_s = timed_open(path)
    stats = c.persist_stats
    assert stats["loaded_keys"] == BIG and stats["snapshot_bytes"] == 0, stats

    saves = [timed_save(c)[0] for _ in range(2)]
    save_s = min(saves)
    size = c.persist_stats["snapshot_bytes"]
    plain_s = min(plain_write_seconds(os.path.join(root, "plain.bin"), size) for _ in range(2))
    _, rss_over = timed_save(c, sample_rss=True)
    del c  # the snapshot on disk is the one just written; close would only write it again
    gc.collect()

    c, snap_s = timed_open(path)
    assert c.persist_stats["loaded_keys"] == BIG, c.persist_stats
    del c
    gc.collect()

    mb = size / 1e6
    print_table(f"save() of {BIG:,} keys (target: >= 0.5x a plain buffered write + fsync of the same bytes)",
                ["snapshot", "save()", "plain write", "save / plain"],
                [[f"{mb:.0f} MB", f"{mb / save_s:.0f} MB/s", f"{mb / plain_s:.0f} MB/s", fmt_ratio(plain_s / save_s)]])
    print_table(f"reopen of {BIG:,} keys (target: >= 1,000,000 keys/s)",
                ["directory", "seconds", "keys/s"],
                [["snapshot only", f"{snap_s:.2f}", fmt_rate(BIG / snap_s)],
                 [f"log only ({log_bytes / 1e6:.0f} MB, {BIG:,} records)", f"{replay_s:.2f}", fmt_rate(BIG / replay_s)]])
    print_table("peak RSS during save() above the level before it (target: <= 4 MiB)",
                ["keys", "peak above steady"], [[f"{BIG:,}", f"{rss_over / 2**20:.2f} MiB"]])


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)  # type: ignore[attr-defined]
    root = base_dir()
    try:
        set_table(root)
        save_and_reopen_tables(root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
