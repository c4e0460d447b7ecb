"""redis-py's Lock against `vellum serve`: its acquire is SET NX PX and its release, extend
and reacquire are scripts, so mutual exclusion across threads and processes, blocking
waits, ownership and expiry all rest on the server's scripting."""

from __future__ import annotations

import multiprocessing
import threading
import time

import pytest
import redis
from redis.exceptions import LockNotOwnedError
from served_process import vellum_serve


@pytest.fixture(scope="module")
def port():
    with vellum_serve() as p:
        yield p


def connect(port):
    return redis.Redis(host="127.0.0.1", port=port)


def guarded_increments(port, name, rounds):
    """Adds 1 to `counter` under the lock `rounds` times with a read, a pause and a write:
    without mutual exclusion increments are lost."""
    r = connect(port)
    for _ in range(rounds):
        with r.lock(name, timeout=30, blocking_timeout=120, sleep=0.002):
            n = int(r.get(name + ":counter") or 0)
            time.sleep(0.001)
            r.set(name + ":counter", n + 1)
    r.close()


@pytest.mark.parametrize("kind", ["threads", "processes"])
def test_mutual_exclusion(port, kind):
    name = f"lock:{kind}"
    if kind == "threads":
        workers = [threading.Thread(target=guarded_increments, args=(port, name, 20)) for _ in range(5)]
    else:
        ctx = multiprocessing.get_context("spawn")
        workers = [ctx.Process(target=guarded_increments, args=(port, name, 20)) for _ in range(5)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=300)
    if kind == "processes":
        assert [w.exitcode for w in workers] == [0] * 5
    r = connect(port)
    assert int(r.get(name + ":counter")) == 100
    assert r.exists(name) == 0


def test_blocking_wait_release_extend_reacquire_and_timeout(port):
    r = connect(port)
    holder = r.lock("lock:cycle", timeout=10)
    assert holder.acquire(blocking=False)
    # Not thread-local: the token the waiting thread gets is the main thread's too.
    waiter = r.lock("lock:cycle", timeout=10, thread_local=False)
    # A non-blocking attempt fails and a bounded wait gives up while the holder holds.
    assert not waiter.acquire(blocking=False)
    assert not waiter.acquire(blocking_timeout=0.3)
    # A blocking waiter gets the lock once the holder releases it.
    got = threading.Event()

    def wait():
        if waiter.acquire(blocking_timeout=60):
            got.set()

    t = threading.Thread(target=wait)
    t.start()
    time.sleep(0.2)
    assert not got.is_set()
    holder.release()
    t.join(timeout=60)
    assert got.is_set() and waiter.owned()
    # extend adds to the TTL or replaces it; reacquire resets it to the lock's timeout.
    assert waiter.extend(20)
    assert 25_000 < r.pttl("lock:cycle") <= 30_000
    assert waiter.extend(3, replace_ttl=True)
    assert 2_000 < r.pttl("lock:cycle") <= 3_000
    assert waiter.reacquire()
    assert 9_000 < r.pttl("lock:cycle") <= 10_000
    # The old holder no longer owns it.
    with pytest.raises(LockNotOwnedError):
        holder.local.token = b"stale"
        holder.release()
    waiter.release()
    # A lock whose holder never releases expires after its timeout.
    short = r.lock("lock:expiring", timeout=0.3)
    assert short.acquire(blocking=False)
    other = r.lock("lock:expiring", timeout=5)
    assert other.acquire(blocking_timeout=30)
    with pytest.raises(LockNotOwnedError):
        short.release()
    other.release()
