"""Shared helpers for the benchmarks: bounded timing loops, thread fan-out, RSS, tables.

Every figure is reported next to a baseline measured in the same run, as a ratio, because
these machines are noisy; absolute numbers are printed for context only.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable, Sequence

# A measurement runs its loop in chunks until at least this much time has passed.
MIN_SECONDS = float(os.environ.get("VELLUM_BENCH_SECONDS", "0.4"))


def ops_per_second(body: Callable[[int], None], chunk: int = 20_000, min_seconds: float = MIN_SECONDS,
                   clock: Callable[[], float] = time.perf_counter) -> float:
    """Calls body(chunk) repeatedly for at least min_seconds of `clock`; returns operations
    per second of it."""
    body(min(chunk, 1000))  # warm up
    done = 0
    start = clock()
    while True:
        body(chunk)
        done += chunk
        elapsed = clock() - start
        if elapsed >= min_seconds:
            return done / elapsed


def cpu_ops_per_second(body: Callable[[int], None], chunk: int = 20_000, min_seconds: float = MIN_SECONDS) -> float:
    """ops_per_second by the calling thread's CPU time: a one-thread figure that time spent
    preempted by other processes on a shared machine does not distort."""
    return ops_per_second(body, chunk, min_seconds, clock=time.thread_time)


def threaded_ops_per_second(make_body: Callable[[int], Callable[[int], None]], threads: int,
                            chunk: int = 20_000, min_seconds: float = MIN_SECONDS) -> float:
    """Aggregate throughput of `threads` threads, each running its own body in chunks."""
    bodies = [make_body(i) for i in range(threads)]
    for b in bodies:
        b(min(chunk, 1000))
    counts = [0] * threads
    stop = threading.Event()
    barrier = threading.Barrier(threads + 1)

    def worker(i: int) -> None:
        barrier.wait()
        while not stop.is_set():
            bodies[i](chunk)
            counts[i] += chunk

    ts = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(min_seconds)
    stop.set()
    for t in ts:
        t.join()
    elapsed = time.perf_counter() - start
    return sum(counts) / elapsed


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def print_table(title: str, header: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    print(f"\n## {title}")
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = " | ".join(str(h).ljust(w) for h, w in zip(header, widths))
    print(line)
    print("-|-".join("-" * w for w in widths))
    for r in rows:
        print(" | ".join(str(x).ljust(w) for x, w in zip(r, widths)))


def fmt_rate(x: float) -> str:
    return f"{x / 1e6:.2f}M/s" if x >= 1e6 else f"{x / 1e3:.0f}k/s"


def fmt_ratio(x: float) -> str:
    return f"{x:.2f}x"


def interleaved(measures: dict[str, Callable[[], float]], rounds: int = 5) -> dict[str, list[float]]:
    """Runs every measurement once per round, in an order that rotates between rounds, so
    that a burst of outside load hits each peer alike. Returns the figures per name."""
    names = list(measures)
    out: dict[str, list[float]] = {n: [] for n in names}
    for r in range(rounds):
        for n in names[r % len(names):] + names[: r % len(names)]:
            out[n].append(measures[n]())
    return out


def median(xs: Sequence[float]) -> float:
    s = sorted(xs)
    mid = len(s) // 2
    return s[mid] if len(s) % 2 else (s[mid - 1] + s[mid]) / 2


def median_ratio(a: Sequence[float], b: Sequence[float]) -> float:
    """The median over rounds of a[i] / b[i]: robust to a round disturbed by other load."""
    return median([x / y for x, y in zip(a, b)])
