"""Background threads carry their names at the OS level, reclaim expired keys on their
own, and end when their cache is closed."""

import os
import time

import pytest

from vellum._vellum import Cache


def thread_names() -> list[str]:
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass  # the thread ended while we listed
    return names


def wait_for(predicate, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def test_sweeper_is_named_and_stops_after_close():
    before = thread_names().count("vellum-sweeper")
    c = Cache()
    assert wait_for(lambda: thread_names().count("vellum-sweeper") == before + 1, 2)
    c.close()
    # It notices the closed flag at its next wake-up, within one 100 ms period.
    assert wait_for(lambda: thread_names().count("vellum-sweeper") == before, 2)


def test_sweeper_reclaims_expired_keys_without_reads():
    c = Cache()
    for i in range(10_000):
        c.set(b"k%05d" % i, b"v" * 20, px=50)
    assert c.used_memory > 0
    time.sleep(0.06)
    assert len(c) == 0  # expired keys are not counted even before they are swept
    # A few sweeper periods later the memory is back without any key being touched.
    assert wait_for(lambda: c.used_memory == 0, 1.5), c.used_memory
    assert c._counters()["expired"] == 10_000
    c.close()


@pytest.mark.parametrize("fsync, expect_fsync", [("everysec", True), ("always", False)])
def test_persistence_threads_are_named_and_joined_by_close(tmp_path, fsync, expect_fsync):
    base = thread_names()
    c = Cache(persist_dir=tmp_path / "d", fsync=fsync, snapshot_interval=60)
    names = thread_names()
    assert names.count("vellum-snapshot") == base.count("vellum-snapshot") + 1
    assert names.count("vellum-fsync") == base.count("vellum-fsync") + (1 if expect_fsync else 0)
    c.close()
    # close joins them: they are gone when it returns.
    after = thread_names()
    assert after.count("vellum-snapshot") == base.count("vellum-snapshot")
    assert after.count("vellum-fsync") == base.count("vellum-fsync")
