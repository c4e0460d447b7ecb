import logging
import os
import time

import pytest

from vellum.cache import Cache, ForkedCacheError


def run_in_child(body):
    """Forks, runs body() in the child and returns its exit code (0 = body returned True)."""
    pid = os.fork()
    if pid == 0:
        try:
            code = 0 if body() else 1
        except BaseException:
            code = 2
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def test_persistent_cache_refuses_use_in_a_forked_child(tmp_path):
    c = Cache(persist_dir=tmp_path)
    c["k"] = b"parent"
    wal_before = sum(p.stat().st_size for p in tmp_path.glob("wal-*.log"))

    def child():
        for use in (lambda: c["k"], lambda: c.set("k", b"child"), lambda: len(c), lambda: c.native):
            try:
                use()
                return False
            except ForkedCacheError as err:
                if "os.fork()" not in str(err) or str(os.getppid()) not in str(err):
                    return False
        c.close()  # must not snapshot or release the parent's directory
        return True

    assert run_in_child(child) == 0
    assert (tmp_path / "LOCK").read_text() == f"{os.getpid()}\n"
    assert sum(p.stat().st_size for p in tmp_path.glob("wal-*.log")) == wal_before
    c["k2"] = b"still works"
    c.close()
    with Cache(persist_dir=tmp_path) as again:
        assert again["k"] == b"parent" and again["k2"] == b"still works"


def test_in_memory_cache_is_usable_in_a_forked_child():
    with Cache() as c:
        c["k"] = b"v"
        assert run_in_child(lambda: c["k"] == b"v" and c.set("k", b"w")) == 0
        assert c["k"] == b"v"


def test_stats_after_scripted_hits_misses_evictions_and_expiry():
    with Cache(max_memory="2KiB", policy="allkeys-lru", shards=1) as c:
        c["a"] = b"1"
        c.get("a"), c.get("a"), c.get("nope")
        c.set("t", b"x", ttl=0.001)
        time.sleep(0.01)
        assert c.get("t") is None  # expires lazily here: a miss and one expiry
        s = c.stats()
        assert (s.hits, s.misses, s.expired, s.evictions) == (2, 2, 1, 0)
        assert s.hit_rate == 0.5 and s.keys == 1 and s.max_memory == 2048
        for i in range(100):
            c[f"fill{i}"] = b"y" * 64
        s = c.stats()
        assert s.evictions > 0 and s.keys == len(c) and 0 < s.used_memory <= 2048
        with pytest.raises(AttributeError):
            s.hits = 0  # frozen


def test_stats_without_native_counters_is_an_error():
    class NoCounters:
        def __getattr__(self, name):
            if name == "_counters":
                raise AttributeError(name)
            return getattr(real, name)

        def __len__(self):
            return len(real)

    c = Cache()
    real = c.native
    c._native = NoCounters()
    with pytest.raises(RuntimeError, match="_counters"):
        c.stats()
    real.close()


def test_new_persistence_errors_are_logged_once(tmp_path, caplog):
    c = Cache(persist_dir=tmp_path, snapshot_interval=0)
    c.close()
    with caplog.at_level(logging.WARNING, logger="vellum"):
        for _ in range(2):
            with pytest.raises(OSError, match="store is closed"):
                c.save()
        c.stats()
    logged = [r.getMessage() for r in caplog.records if r.name == "vellum"]
    assert len(logged) == 1 and logged[0].endswith("save failed: store is closed")


def test_torn_log_tail_repaired_at_open_is_logged(tmp_path, caplog):
    with Cache(persist_dir=tmp_path) as c:
        c["k"] = b"v"
    (tmp_path / "wal-1.log").write_bytes(b"\x05\x00")  # half a header: a torn tail
    with caplog.at_level(logging.WARNING, logger="vellum"):
        c = Cache(persist_dir=tmp_path)
        c.stats()
        c.close()
    warnings = [r.getMessage() for r in caplog.records if r.name == "vellum"]
    assert len(warnings) == 1 and "torn WAL tail" in warnings[0]


def test_stale_lock_taken_over_at_open_is_logged(tmp_path, caplog):
    (tmp_path / "LOCK").write_text(f"{os.getppid()}\n")  # a live process that holds no lock
    with caplog.at_level(logging.WARNING, logger="vellum"):
        Cache(persist_dir=tmp_path).close()
    warnings = [r.getMessage() for r in caplog.records if r.name == "vellum"]
    assert len(warnings) == 1 and f"stale LOCK taken over: it names pid {os.getppid()}," in warnings[0]
