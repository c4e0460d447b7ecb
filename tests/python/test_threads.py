"""Background threads carry their names at the OS level, reclaim expired keys on their
own, and end when their cache is closed."""

import os
import time

import pytest

from vellum._vellum import Cache


def threads() -> dict[str, str]:
    """The process's threads as {tid: name}."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                out[tid] = f.read().strip()
        except FileNotFoundError:
            pass  # the thread ended while we listed
    return out


def new_threads(before: dict[str, str], name: str) -> set[str]:
    """Threads called `name` that did not exist in `before`. Threads of caches that earlier
    tests closed may still be ending, so counting by name alone would race with them."""
    return {tid for tid, n in threads().items() if n == name and tid not in before}


def wait_for(predicate, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def test_sweeper_is_named_and_stops_after_close():
    before = threads()
    c = Cache()
    assert wait_for(lambda: len(new_threads(before, "vellum-sweeper")) == 1, 10)
    (sweeper,) = new_threads(before, "vellum-sweeper")
    c.close()
    # It notices the closed flag at its next wake-up, one 100 ms period; the margin is for
    # a loaded machine.
    assert wait_for(lambda: sweeper not in threads(), 10)


def test_sweeper_reclaims_expired_keys_without_reads():
    c = Cache()
    for i in range(10_000):
        c.set(b"k%05d" % i, b"v" * 20, px=50)
    assert c.used_memory > 0
    time.sleep(0.06)
    assert len(c) == 0  # expired keys are not counted even before they are swept
    # A few sweeper periods later the memory is back without any key being touched.
    assert wait_for(lambda: c.used_memory == 0, 10), c.used_memory
    assert c._counters()["expired"] == 10_000
    c.close()


@pytest.mark.parametrize("fsync, expect_fsync", [("everysec", True), ("always", False)])
def test_persistence_threads_are_named_and_joined_by_close(tmp_path, fsync, expect_fsync):
    before = threads()
    c = Cache(persist_dir=tmp_path / "d", fsync=fsync, snapshot_interval=60)
    snapshot = new_threads(before, "vellum-snapshot")
    fsyncer = new_threads(before, "vellum-fsync")
    assert len(snapshot) == 1
    assert len(fsyncer) == (1 if expect_fsync else 0)
    c.close()
    # close joins them: they are gone when it returns.
    assert not (snapshot | fsyncer) & threads().keys()
