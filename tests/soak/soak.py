"""Soak: one persistent cache under a mixed load from Python threads and server clients.

Four Python threads call the native `Cache` directly and 32 redis clients (RESP2) talk to
a `Server` on the same cache, for `--seconds`. The cache has a memory ceiling with
allkeys-lru, so eviction runs throughout, and one key family carries expiries of at most
a second, so expiry runs throughout too. One client sends BGSAVE and one Python thread
calls save() every few seconds.

Every value, list item, hash value and set member starts with the key it belongs to, so a
read that returns another key's data is caught while the load runs. When the writers have
stopped the script checks the store's accounting (used_memory equals the sum of the
charges, no empty collection, no key listed twice), that the directory reopens to exactly
the final contents, and that threads, descriptors and RSS return to their baseline once
the server is stopped and the cache closed.

Exit status 0 when every check holds; the last line of output is a JSON summary.
"""

from __future__ import annotations

import argparse
import collections
import ctypes
import gc
import json
import os
import random
import sys
import tempfile
import threading
import time
import traceback

import redis

from vellum._vellum import Cache, Server

PY_THREADS = 4
CLIENTS = 32
KEYS_PER_KIND = 400
MAX_MEMORY = 2 * 1024 * 1024
LIST_CAP = 16
HASH_FIELDS = 16
SET_MEMBERS = 32
MAX_TTL_MS = 1000
BGSAVE_EVERY_S = 2.0
SAVE_EVERY_S = 3.0
PIPELINE = 8

PAYLOAD = bytes(random.Random(7).choice(b"abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(4096))


# ---- process figures ----


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def thread_names() -> list[str]:
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended while we looked
    return names


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def trim_heap() -> None:
    """Hands freed heap pages back to the OS, so RSS shows what is really still held."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def wait_until(pred, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return pred()


# ---- the key space ----

KINDS = ("s", "l", "h", "z", "t", "c")


def key_of(kind: str, rng: random.Random) -> bytes:
    return b"%s:%d" % (kind.encode(), rng.randrange(KEYS_PER_KIND))


def value_for(key: bytes, rng: random.Random) -> bytes:
    n = rng.randrange(0, 200)
    off = rng.randrange(0, len(PAYLOAD) - n)
    return key + b"|" + PAYLOAD[off : off + n]


def member_for(key: bytes, rng: random.Random, count: int) -> bytes:
    return key + b"|%d" % rng.randrange(count)


class Tally:
    """Per-thread counts, summed at the end."""

    def __init__(self) -> None:
        self.ops = 0
        self.errors: collections.Counter[str] = collections.Counter()
        self.samples: list[str] = []
        self.bgsave_busy = 0
        self.saves = 0
        self.bgsaves = 0

    def error(self, what: str, detail: str) -> None:
        self.errors[what] += 1
        if len(self.samples) < 5:
            self.samples.append(f"{what}: {detail}")


def check_owned(t: Tally, key: bytes, item, what: str) -> None:
    """Every stored byte string starts with its own key; anything else is corruption."""
    if item is None:
        return
    if not isinstance(item, bytes) or not item.startswith(key + b"|"):
        t.error("foreign data", f"{what} of {key!r} returned {item!r:.80}")


def check_counter(t: Tally, key: bytes, item) -> None:
    if item is None:
        return
    try:
        int(item)
    except (TypeError, ValueError):
        t.error("bad counter", f"{key!r} holds {item!r:.80}")


# ---- Python threads: the native Cache ----


def python_op(cache: Cache, rng: random.Random, t: Tally) -> None:
    kind = rng.choice(KINDS)
    key = key_of(kind, rng)
    roll = rng.random()
    if kind == "s":
        if roll < 0.5:
            cache.set(key, value_for(key, rng))
        elif roll < 0.9:
            check_owned(t, key, cache.get(key), "get")
        elif roll < 0.95:
            keys = [key_of("s", rng) for _ in range(4)]
            for k, v in zip(keys, cache.mget(keys)):
                check_owned(t, k, v, "mget")
        else:
            cache.delete(key)
    elif kind == "l":
        if roll < 0.4:
            cache.rpush(key, value_for(key, rng), value_for(key, rng))
            if cache.llen(key) > LIST_CAP:
                cache.lpop(key)
                cache.lpop(key)
        elif roll < 0.6:
            check_owned(t, key, cache.lpop(key), "lpop")
        elif roll < 0.65:
            check_owned(t, key, cache.rpop(key), "rpop")
        else:
            for item in cache.lrange(key, 0, -1):
                check_owned(t, key, item, "lrange")
    elif kind == "h":
        if roll < 0.5:
            cache.hset(key, member_for(key, rng, HASH_FIELDS), value_for(key, rng))
        elif roll < 0.7:
            check_owned(t, key, cache.hget(key, member_for(key, rng, HASH_FIELDS)), "hget")
        elif roll < 0.85:
            cache.hdel(key, member_for(key, rng, HASH_FIELDS), member_for(key, rng, HASH_FIELDS))
        else:
            for f, v in cache.hgetall(key).items():
                check_owned(t, key, f, "hgetall field")
                check_owned(t, key, v, "hgetall value")
    elif kind == "z":
        if roll < 0.5:
            cache.sadd(key, member_for(key, rng, SET_MEMBERS), member_for(key, rng, SET_MEMBERS))
        elif roll < 0.75:
            cache.srem(key, member_for(key, rng, SET_MEMBERS))
        elif roll < 0.85:
            cache.sismember(key, member_for(key, rng, SET_MEMBERS))
            cache.scard(key)
        else:
            for m in cache.smembers(key):
                check_owned(t, key, m, "smembers")
    elif kind == "t":
        if roll < 0.6:
            cache.set(key, value_for(key, rng), px=rng.randrange(20, MAX_TTL_MS))
        elif roll < 0.8:
            check_owned(t, key, cache.get(key), "get")
            ttl = cache.pttl(key)
            if ttl != -2 and not 0 <= ttl <= MAX_TTL_MS:
                t.error("bad ttl", f"pttl {key!r} = {ttl}")
        else:
            cache.pexpire(key, rng.randrange(1, MAX_TTL_MS))
    else:
        if roll < 0.7:
            cache.incr(key, rng.randrange(1, 5))
        else:
            check_counter(t, key, cache.get(key))
    t.ops += 1


def python_worker(cache: Cache, seed: int, stop: threading.Event, t: Tally, saver: bool) -> None:
    rng = random.Random(seed)
    next_save = time.monotonic() + SAVE_EVERY_S
    while not stop.is_set():
        try:
            python_op(cache, rng, t)
            if saver and time.monotonic() >= next_save:
                cache.save()
                t.saves += 1
                next_save = time.monotonic() + SAVE_EVERY_S
        except Exception as e:  # every failure is a finding, counted by type and text
            t.error(type(e).__name__, str(e))


# ---- server clients ----


def queue_client_op(p, rng: random.Random, checks: list) -> None:
    """Adds one operation to the pipeline and, for reads, a check for its reply."""
    kind = rng.choice(KINDS)
    key = key_of(kind, rng)
    roll = rng.random()
    none = lambda t, r: None  # noqa: E731
    if kind == "s":
        if roll < 0.5:
            p.set(key, value_for(key, rng))
            checks.append(none)
        elif roll < 0.9:
            p.get(key)
            checks.append(lambda t, r, k=key: check_owned(t, k, r, "GET"))
        else:
            p.delete(key)
            checks.append(none)
    elif kind == "l":
        if roll < 0.4:
            p.rpush(key, value_for(key, rng))
            p.lpop(key) if rng.random() < 0.5 else p.llen(key)
            checks.extend([none, lambda t, r, k=key: None if isinstance(r, int) else check_owned(t, k, r, "LPOP")])
        else:
            p.lrange(key, 0, -1)
            checks.append(lambda t, r, k=key: [check_owned(t, k, i, "LRANGE") for i in r])
    elif kind == "h":
        if roll < 0.5:
            p.hset(key, member_for(key, rng, HASH_FIELDS), value_for(key, rng))
            checks.append(none)
        elif roll < 0.75:
            p.hdel(key, member_for(key, rng, HASH_FIELDS))
            checks.append(none)
        else:
            p.hgetall(key)
            checks.append(
                lambda t, r, k=key: [check_owned(t, k, x, "HGETALL") for kv in r.items() for x in kv]
            )
    elif kind == "z":
        if roll < 0.5:
            p.sadd(key, member_for(key, rng, SET_MEMBERS))
            checks.append(none)
        elif roll < 0.75:
            p.srem(key, member_for(key, rng, SET_MEMBERS), member_for(key, rng, SET_MEMBERS))
            checks.append(none)
        else:
            p.smembers(key)
            checks.append(lambda t, r, k=key: [check_owned(t, k, m, "SMEMBERS") for m in r])
    elif kind == "t":
        if roll < 0.6:
            p.set(key, value_for(key, rng), px=rng.randrange(20, MAX_TTL_MS))
            checks.append(none)
        elif roll < 0.8:
            p.get(key)
            checks.append(lambda t, r, k=key: check_owned(t, k, r, "GET"))
        else:
            p.pexpire(key, rng.randrange(1, MAX_TTL_MS))
            checks.append(none)
    else:
        p.incrby(key, rng.randrange(1, 5))
        checks.append(none)


def client_worker(port: int, seed: int, stop: threading.Event, t: Tally, bgsaver: bool) -> None:
    rng = random.Random(seed)
    r = redis.Redis(host="127.0.0.1", port=port, protocol=2, socket_timeout=30)
    next_bgsave = time.monotonic() + BGSAVE_EVERY_S
    try:
        while not stop.is_set():
            try:
                p = r.pipeline(transaction=False)
                checks: list = []
                for _ in range(rng.randrange(1, PIPELINE + 1)):
                    queue_client_op(p, rng, checks)
                replies = p.execute(raise_on_error=False)
                for check, reply in zip(checks, replies):
                    if isinstance(reply, Exception):
                        t.error(type(reply).__name__, str(reply))
                    else:
                        check(t, reply)
                t.ops += len(replies)
                if bgsaver and time.monotonic() >= next_bgsave:
                    next_bgsave = time.monotonic() + BGSAVE_EVERY_S
                    try:
                        # Plain BGSAVE: the client's bgsave() adds a SCHEDULE argument.
                        r.execute_command("BGSAVE")
                        t.bgsaves += 1
                    except redis.ResponseError as e:
                        if "already in progress" not in str(e):
                            raise
                        t.bgsave_busy += 1
            except Exception as e:
                t.error(type(e).__name__, str(e))
    finally:
        r.close()


# ---- final checks ----


def dump(cache: Cache) -> dict[bytes, object]:
    """Full contents, typed by the key's family. REQUIRES: no writer runs."""
    out: dict[bytes, object] = {}
    for key in cache.keys():
        kind = key[:1]
        if kind in (b"s", b"t", b"c"):
            out[key] = ("str", cache.get(key), cache.pttl(key))
        elif kind == b"l":
            out[key] = ("list", tuple(cache.lrange(key, 0, -1)), cache.pttl(key))
        elif kind == b"h":
            out[key] = ("hash", tuple(sorted(cache.hgetall(key).items())), cache.pttl(key))
        elif kind == b"z":
            out[key] = ("set", tuple(sorted(cache.smembers(key))), cache.pttl(key))
        else:
            out[key] = ("unknown", None, None)
    return out


def audit_failures(cache: Cache, label: str) -> list[str]:
    failures = []
    a = cache._audit()
    if a["charge_sum"] != a["used_memory"]:
        failures.append(f"{label}: used_memory {a['used_memory']} != charge sum {a['charge_sum']}")
    if a["empty_collections"] != 0:
        failures.append(f"{label}: {a['empty_collections']} empty collections")
    keys = cache.keys()
    if len(keys) != len(set(keys)):
        dups = [k for k, n in collections.Counter(keys).items() if n > 1]
        failures.append(f"{label}: keys() lists {len(dups)} keys more than once, e.g. {dups[:3]}")
    if len(cache) != len(set(keys)):
        failures.append(f"{label}: len() {len(cache)} != {len(set(keys))} distinct keys")
    return failures


def run(seconds: float, rss_tolerance: int, fsync: str = "everysec") -> dict:
    failures: list[str] = []
    # Warm up what the load uses (imports, a first connection) so that the baseline holds it.
    Cache().close()
    # Its sweeper ends at its next wake-up; no native thread may be left in the baseline.
    wait_until(lambda: thread_count() == threading.active_count(), 2)
    trim_heap()
    base_threads, base_fds, base_rss = thread_count(), fd_count(), rss_bytes()
    peak_rss = base_rss

    with tempfile.TemporaryDirectory(prefix="vellum-soak-") as tmp:
        data = os.path.join(tmp, "data")
        cache = Cache(
            max_memory=MAX_MEMORY, policy="allkeys-lru", persist_dir=data, fsync=fsync, snapshot_interval=5
        )
        server = Server(cache, port=0)
        server.start()

        stop = threading.Event()
        tallies = [Tally() for _ in range(PY_THREADS + CLIENTS)]
        threads = [
            threading.Thread(target=python_worker, args=(cache, i, stop, tallies[i], i == 0), name=f"py-{i}")
            for i in range(PY_THREADS)
        ] + [
            threading.Thread(
                target=client_worker,
                args=(server.port, 1000 + i, stop, tallies[PY_THREADS + i], i == 0),
                name=f"client-{i}",
            )
            for i in range(CLIENTS)
        ]
        started = time.monotonic()
        for th in threads:
            th.start()
        while time.monotonic() - started < seconds:
            time.sleep(0.5)
            peak_rss = max(peak_rss, rss_bytes())
        stop.set()
        for th in threads:
            th.join(timeout=60)
            if th.is_alive():
                failures.append(f"worker {th.name} did not stop")
        elapsed = time.monotonic() - started

        # A background save may still be running; it holds its own reference to the store.
        if not wait_until(lambda: "vellum-bgsave" not in thread_names(), 30):
            failures.append("a background save did not finish within 30 s")
        # Let every short expiry pass, so the contents no longer change with the clock.
        time.sleep(MAX_TTL_MS / 1000 + 0.2)

        failures += audit_failures(cache, "final")
        before = dump(cache)
        evictions = cache._counters()["evictions"]
        expired = cache._counters()["expired"]
        stats = cache.persist_stats
        if stats["last_error"] is not None:
            failures.append(f"persistence reported: {stats['last_error']}")
        with_ttl = [k for k, v in before.items() if v[2] != -1]
        if with_ttl:
            failures.append(f"{len(with_ttl)} keys still carry an expiry after every expiry passed")
        server.stop()
        cache.close()
        del server, cache
        peak_rss = max(peak_rss, rss_bytes())

        reopened = Cache(max_memory=MAX_MEMORY, policy="allkeys-lru", persist_dir=data)
        after = dump(reopened)
        failures += audit_failures(reopened, "reopened")
        reopened.close()
        del reopened
        if before != after:
            missing = before.keys() - after.keys()
            extra = after.keys() - before.keys()
            changed = [k for k in before.keys() & after.keys() if before[k] != after[k]]
            failures.append(
                f"reopened contents differ: {len(missing)} missing, {len(extra)} extra, {len(changed)} changed"
                f" (e.g. {sorted(missing)[:2]} {sorted(extra)[:2]} {sorted(changed)[:2]})"
            )

    # The sweeper of a closed store ends at its next wake-up.
    if not wait_until(lambda: thread_count() <= base_threads, 5):
        failures.append(f"threads: {thread_count()} after close, {base_threads} before ({thread_names()})")
    trim_heap()
    end_fds = fd_count()
    if end_fds > base_fds:
        failures.append(f"file descriptors: {end_fds} after close, {base_fds} before")
    end_rss = rss_bytes()
    if end_rss - base_rss > rss_tolerance:
        failures.append(f"RSS grew by {(end_rss - base_rss) >> 20} MiB and stayed")

    ops = sum(t.ops for t in tallies)
    errors: collections.Counter[str] = collections.Counter()
    for t in tallies:
        errors.update(t.errors)
    samples = [s for t in tallies for s in t.samples][:10]
    if errors:
        failures.append(f"{sum(errors.values())} operation errors: {dict(errors)}; e.g. {samples}")
    return {
        "seconds": round(elapsed, 1),
        "ops": ops,
        "ops_per_s": round(ops / elapsed),
        "python_ops": sum(t.ops for t in tallies[:PY_THREADS]),
        "client_ops": sum(t.ops for t in tallies[PY_THREADS:]),
        "errors": sum(errors.values()),
        "saves": sum(t.saves for t in tallies),
        "bgsaves": sum(t.bgsaves for t in tallies),
        "bgsave_busy": sum(t.bgsave_busy for t in tallies),
        "evictions": evictions,
        "expired": expired,
        "final_keys": len(before),
        "peak_rss_growth_mib": round((peak_rss - base_rss) / 2**20, 1),
        "end_rss_growth_mib": round((end_rss - base_rss) / 2**20, 1),
        "threads_before_after": [base_threads, thread_count()],
        "fds_before_after": [base_fds, end_fds],
        "failures": failures,
    }


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=300)
    ap.add_argument("--rss-tolerance-mib", type=int, default=48)
    ap.add_argument("--fsync", choices=["always", "everysec", "never"], default="everysec")
    args = ap.parse_args()
    try:
        summary = run(args.seconds, args.rss_tolerance_mib << 20, args.fsync)
    except Exception:
        traceback.print_exc()
        return 2
    for f in summary["failures"]:
        print("FAIL:", f)
    print(
        f"{summary['ops_per_s']} ops/s over {summary['seconds']} s ({summary['ops']} ops,"
        f" {summary['errors']} errors), {summary['saves']} saves, {summary['bgsaves']} BGSAVEs,"
        f" {summary['evictions']} evictions, {summary['expired']} expired;"
        f" largest RSS growth {summary['peak_rss_growth_mib']} MiB, {summary['end_rss_growth_mib']} MiB after close"
    )
    print(json.dumps(summary))
    return 1 if summary["failures"] else 0


if __name__ == "__main__":
    sys.exit(main())
