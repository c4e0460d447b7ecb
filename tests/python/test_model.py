"""A reference model of the key space driven in lockstep with a real cache.

The model holds strings, lists, hashes and sets with expiry in whole seconds and nx/xx
writes. The same state machine runs against the native `Cache` (with close/reopen, saves
and simulated crashes on a data directory) and against the server through the `redis`
client, so the Python surface and the wire are held to one model.

Expiry is real time: the model keeps, per key, the interval in which the store computed
its deadline. A key whose deadline is too close to call is removed from both sides, so
every check compares only states that are certain.

VELLUM_MODEL_EXAMPLES raises the number of runs for a soak.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from typing import Any

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from vellum import _vellum

KEYS = st.sampled_from([b"a", b"b", b"c", b"d", b"e"])
VALUES = st.binary(max_size=6)
SMALL_INTS = st.integers(min_value=-3, max_value=3)
TTLS = st.sampled_from([1, 2, 3600])
# Keys whose deadline lies this close to "now" are too close to call and are dropped from
# both sides; it must exceed any stall between a check and the call that follows it on a
# loaded machine.
MARGIN_MS = 400
EXAMPLES = int(os.environ.get("VELLUM_MODEL_EXAMPLES", "30"))
STEPS = int(os.environ.get("VELLUM_MODEL_STEPS", "40"))

WRONGTYPE = "WRONGTYPE"
NOTINT = "NOTINT"
OVERFLOW = "OVERFLOW"


def now_ms() -> int:
    return time.time_ns() // 1_000_000


class Model:
    """key -> [kind, value, (lo, hi) deadline interval in ms or None]."""

    def __init__(self) -> None:
        self.d: dict[bytes, list[Any]] = {}

    def live(self, k: bytes) -> list[Any] | None:
        return self.d.get(k)

    def uncertain(self, now: int) -> list[bytes]:
        return [k for k, (_, _, dl) in self.d.items() if dl is not None and dl[0] - MARGIN_MS <= now <= dl[1] + MARGIN_MS]

    def drop_expired(self, now: int) -> None:
        for k in [k for k, (_, _, dl) in self.d.items() if dl is not None and now > dl[1] + MARGIN_MS]:
            del self.d[k]


class NativeSide:
    """Uniform calls on a native Cache; errors become tags."""

    def __init__(self, cache: Any) -> None:
        self.c = cache

    @staticmethod
    def _tag(e: BaseException) -> str:
        text = str(e)
        if text.startswith("WRONGTYPE"):
            return WRONGTYPE
        if "not an integer" in text:
            return NOTINT
        if "overflow" in text:
            return OVERFLOW
        raise e

    def errors(self) -> tuple[type[BaseException], ...]:
        return (TypeError, ValueError)

    def call(self, name: str, *args: Any, **kw: Any) -> Any:
        fn = getattr(self, "_" + name, None) or getattr(self.c, name)
        try:
            return fn(*args, **kw)
        except self.errors() as e:
            return self._tag(e)

    def _set(self, k: bytes, v: bytes, ex: int | None, nx: bool, xx: bool) -> bool:
        return bool(self.c.set(k, v, ex=ex, nx=nx, xx=xx))

    def _delete(self, k: bytes) -> int:
        return int(self.c.delete(k))

    def _exists(self, k: bytes) -> bool:
        return bool(self.c.exists(k))

    def _incr(self, k: bytes, n: int) -> int:
        return int(self.c.incr(k, n))

    def _hset(self, k: bytes, f: bytes, v: bytes) -> bool:
        return bool(self.c.hset(k, f, v))

    def _smembers(self, k: bytes) -> set[bytes]:
        return set(self.c.smembers(k))

    def _expire(self, k: bytes, s: int) -> bool:
        return bool(self.c.expire(k, s))

    def _keys(self) -> list[bytes]:
        return sorted(self.c.keys())

    def _len(self) -> int:
        return len(self.c)


class WireSide(NativeSide):
    """The same calls through the redis client against a running server."""

    def __init__(self, client: Any) -> None:
        self.c = client

    def errors(self) -> tuple[type[BaseException], ...]:
        import redis

        return (redis.ResponseError,)

    def _incr(self, k: bytes, n: int) -> int:
        return int(self.c.incrby(k, n))

    def _hgetall(self, k: bytes) -> dict[bytes, bytes]:
        return dict(self.c.hgetall(k))

    def _keys(self) -> list[bytes]:
        return sorted(self.c.keys("*"))

    def _len(self) -> int:
        return int(self.c.dbsize())

    def _flush(self) -> None:
        self.c.flushall()

    def _lpush(self, k: bytes, *vs: bytes) -> int:
        return int(self.c.lpush(k, *vs)) if vs else int(self.c.execute_command("LPUSH", k))

    def _rpush(self, k: bytes, *vs: bytes) -> int:
        return int(self.c.rpush(k, *vs)) if vs else int(self.c.execute_command("RPUSH", k))


class KeySpaceMachine(RuleBasedStateMachine):
    """Subclasses provide open_side(), close_side() and the persistence rules they support."""

    persistent = False

    def __init__(self) -> None:
        super().__init__()
        self.m = Model()
        self.side: NativeSide | None = None

    # -- helpers ------------------------------------------------------------------------
    def s(self, name: str, *args: Any, **kw: Any) -> Any:
        assert self.side is not None
        return self.side.call(name, *args, **kw)

    def settle(self) -> None:
        """Removes keys whose expiry is too close to call from both sides."""
        now = now_ms()
        self.m.drop_expired(now)
        for k in self.m.uncertain(now):
            self.s("delete", k)
            del self.m.d[k]

    def kind_of(self, k: bytes) -> str | None:
        e = self.m.live(k)
        return None if e is None else e[0]

    def deadline(self, ttl: int) -> tuple[int, int]:
        lo = now_ms()
        return (lo + ttl * 1000, lo + ttl * 1000)

    # -- strings ------------------------------------------------------------------------
    @rule(k=KEYS, v=VALUES, ttl=st.none() | TTLS, mode=st.sampled_from(["", "nx", "xx"]))
    def set(self, k: bytes, v: bytes, ttl: int | None, mode: str) -> None:
        self.settle()
        lo = now_ms()
        got = self.s("set", k, v, ttl, mode == "nx", mode == "xx")
        hi = now_ms()
        present = k in self.m.d
        want = not ((mode == "nx" and present) or (mode == "xx" and not present))
        assert got == want
        if want:
            self.m.d[k] = ["str", v, None if ttl is None else (lo + ttl * 1000, hi + ttl * 1000)]

    @rule(k=KEYS)
    def get(self, k: bytes) -> None:
        self.settle()
        e = self.m.live(k)
        want = None if e is None else (e[1] if e[0] == "str" else WRONGTYPE)
        assert self.s("get", k) == want

    @rule(k=KEYS, n=SMALL_INTS)
    def incr(self, k: bytes, n: int) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("incr", k, n)
        if e is None:
            assert got == n
            self.m.d[k] = ["str", str(n).encode(), None]
        elif e[0] != "str":
            assert got == WRONGTYPE
        else:
            try:
                cur = int(e[1].decode("ascii"))
                ok = e[1].lstrip(b"-").isdigit() and not e[1].startswith(b"+") and e[1] != b""
            except (ValueError, UnicodeDecodeError):
                ok = False
            if not ok:
                assert got == NOTINT
            else:
                assert got == cur + n
                e[1] = str(cur + n).encode()

    @rule(k=KEYS, v=VALUES)
    def append(self, k: bytes, v: bytes) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("append", k, v)
        if e is None:
            self.m.d[k] = ["str", v, None]
            assert got == len(v)
        elif e[0] != "str":
            assert got == WRONGTYPE
        else:
            e[1] = e[1] + v
            assert got == len(e[1])

    @rule(k=KEYS)
    def delete(self, k: bytes) -> None:
        self.settle()
        assert self.s("delete", k) == (1 if k in self.m.d else 0)
        self.m.d.pop(k, None)

    @rule(k=KEYS, secs=TTLS)
    def expire(self, k: bytes, secs: int) -> None:
        self.settle()
        lo = now_ms()
        got = self.s("expire", k, secs)
        hi = now_ms()
        assert got == (k in self.m.d)
        if k in self.m.d:
            self.m.d[k][2] = (lo + secs * 1000, hi + secs * 1000)

    @rule(k=KEYS)
    def persist(self, k: bytes) -> None:
        self.settle()
        e = self.m.live(k)
        want = e is not None and e[2] is not None
        assert self.s("persist", k) == want
        if e is not None:
            e[2] = None

    # -- hashes -------------------------------------------------------------------------
    @rule(k=KEYS, f=st.sampled_from([b"f", b"g"]), v=VALUES)
    def hset(self, k: bytes, f: bytes, v: bytes) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("hset", k, f, v)
        if e is not None and e[0] != "hash":
            assert got == WRONGTYPE
            return
        if e is None:
            e = self.m.d[k] = ["hash", {}, None]
        assert got == (f not in e[1])
        e[1][f] = v

    @rule(k=KEYS, fs=st.lists(st.sampled_from([b"f", b"g", b"h"]), max_size=3))
    def hdel(self, k: bytes, fs: list[bytes]) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("hdel", k, *fs) if fs or not isinstance(self.side, WireSide) else 0
        if e is None:
            assert got == 0
        elif e[0] != "hash":
            assert got == WRONGTYPE or not fs
        else:
            assert got == len(set(fs) & set(e[1]))
            for f in fs:
                e[1].pop(f, None)
            if not e[1]:
                del self.m.d[k]

    # -- lists --------------------------------------------------------------------------
    @rule(k=KEYS, vs=st.lists(VALUES, max_size=3), left=st.booleans())
    def push(self, k: bytes, vs: list[bytes], left: bool) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("lpush" if left else "rpush", k, *vs)
        if e is not None and e[0] != "list":
            assert got == WRONGTYPE
            return
        items = [] if e is None else e[1]
        items = list(reversed(vs)) + items if left else items + vs
        assert got == len(items)
        if items:
            self.m.d[k] = ["list", items, None if e is None else e[2]]

    @rule(k=KEYS, left=st.booleans())
    def pop(self, k: bytes, left: bool) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("lpop" if left else "rpop", k)
        if e is None:
            assert got is None
        elif e[0] != "list":
            assert got == WRONGTYPE
        else:
            assert got == e[1].pop(0 if left else -1)
            if not e[1]:
                del self.m.d[k]

    @rule(k=KEYS, start=SMALL_INTS, stop=SMALL_INTS)
    def lrange(self, k: bytes, start: int, stop: int) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("lrange", k, start, stop)
        if e is None:
            assert got == []
        elif e[0] != "list":
            assert got == WRONGTYPE
        else:
            n = len(e[1])
            hi = stop + n if stop < 0 else min(stop, n - 1)
            lo = max(start + n, 0) if start < 0 else start
            assert got == (e[1][lo : hi + 1] if lo <= hi and lo < n else [])

    # -- sets ---------------------------------------------------------------------------
    @rule(k=KEYS, ms=st.lists(st.sampled_from([b"x", b"y", b"z"]), min_size=1, max_size=3), add=st.booleans())
    def set_members(self, k: bytes, ms: list[bytes], add: bool) -> None:
        self.settle()
        e = self.m.live(k)
        got = self.s("sadd" if add else "srem", k, *ms)
        if e is not None and e[0] != "set":
            assert got == WRONGTYPE
            return
        members = set() if e is None else e[1]
        if add:
            assert got == len(set(ms) - members)
            members |= set(ms)
            if e is None:
                self.m.d[k] = ["set", members, None]
        else:
            assert got == len(set(ms) & members)
            members -= set(ms)
            if e is not None and not members:
                del self.m.d[k]

    # -- whole key space ----------------------------------------------------------------
    @rule()
    def flush(self) -> None:
        self.s("flush")
        self.m.d.clear()

    @rule()
    def wait(self) -> None:
        time.sleep(0.35)

    @invariant()
    def matches_model(self) -> None:
        if self.side is None:
            return
        self.settle()
        assert self.s("keys") == sorted(self.m.d)
        assert self.s("len") == len(self.m.d)
        for k, (kind, value, _) in self.m.d.items():
            if kind == "str":
                assert self.s("get", k) == value
            elif kind == "list":
                assert self.s("lrange", k, 0, -1) == value
            elif kind == "hash":
                assert self.s("hgetall", k) == value
            else:
                assert self.s("smembers", k) == value


class NativeMachine(KeySpaceMachine):
    dir: str = ""

    @initialize()
    def open(self) -> None:
        import tempfile

        self.tmp = tempfile.TemporaryDirectory()
        self.dir = os.path.join(self.tmp.name, "data")
        self.cache = _vellum.Cache(shards=4, persist_dir=self.dir, fsync="always", snapshot_interval=0)
        self.side = NativeSide(self.cache)

    def teardown(self) -> None:
        if getattr(self, "cache", None) is not None:
            self.cache.close()
        if getattr(self, "tmp", None) is not None:
            self.tmp.cleanup()

    @rule()
    def save(self) -> None:
        self.cache.save()
        assert self.cache.persist_stats["last_error"] is None

    @rule()
    def reopen(self) -> None:
        self.cache.close()
        self.cache = _vellum.Cache(shards=4, persist_dir=self.dir, fsync="always", snapshot_interval=0)
        self.side = NativeSide(self.cache)

    @rule(k=KEYS, v=VALUES)
    def crash_after_write(self, k: bytes, v: bytes) -> None:
        """A child opens the directory, writes, and dies without closing."""
        self.cache.close()
        child = (
            "import os, sys\n"
            "from vellum import _vellum\n"
            f"c = _vellum.Cache(shards=4, persist_dir={self.dir!r}, fsync='always', snapshot_interval=0)\n"
            f"c.set({k!r}, {v!r})\n"
            "os._exit(0)\n"
        )
        subprocess.run([sys.executable, "-c", child], check=True, timeout=60)
        self.m.d[k] = ["str", v, None]
        self.cache = _vellum.Cache(shards=4, persist_dir=self.dir, fsync="always", snapshot_interval=0)
        self.side = NativeSide(self.cache)


class WireMachine(KeySpaceMachine):
    @initialize()
    def open(self) -> None:
        import redis

        self.cache = _vellum.Cache(shards=4)
        self.server = _vellum.Server(self.cache, port=0)
        self.server.start()
        self.client = redis.Redis(host="127.0.0.1", port=self.server.port, protocol=2)
        self.side = WireSide(self.client)

    def teardown(self) -> None:
        if getattr(self, "client", None) is not None:
            self.client.close()
        if getattr(self, "server", None) is not None:
            self.server.stop()
        if getattr(self, "cache", None) is not None:
            self.cache.close()


MODEL_SETTINGS = settings(max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None,
                          suppress_health_check=list(HealthCheck))

TestNativeModel = NativeMachine.TestCase
TestNativeModel.settings = MODEL_SETTINGS
TestWireModel = WireMachine.TestCase
TestWireModel.settings = MODEL_SETTINGS
