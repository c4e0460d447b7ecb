"""Server-side scripts through the redis client: its Lock (acquire, release, extend and
reacquire are scripts) under contention from threads, registered scripts falling back from
EVALSHA to EVAL after a flush, scripts in pipelines, and the time-limit setting."""

import threading
import time

import pytest
import redis
from redis.exceptions import LockError, LockNotOwnedError, NoScriptError, ResponseError

from vellum import Cache, Server


@pytest.fixture
def served():
    cache = Cache()
    server = Server(cache.native, port=0, script_time_limit_ms=300)
    server.start()
    yield cache, server
    server.stop()
    cache.close()


def client(server, protocol=2):
    return redis.Redis(host="127.0.0.1", port=server.port, protocol=protocol)


def test_lock_excludes_threads_and_its_scripts_guard_ownership(served):
    _, server = served
    r = client(server)
    total = {"n": 0}
    errors = []

    def worker():
        c = client(server)
        try:
            for _ in range(25):
                with c.lock("job", timeout=30, blocking_timeout=60, sleep=0.001):
                    # A read-modify-write with a pause: two holders at once would lose counts.
                    n = total["n"]
                    time.sleep(0.0005)
                    total["n"] = n + 1
        except Exception as e:  # reported below
            errors.append(e)
        finally:
            c.close()

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert total["n"] == 150
    assert r.exists("job") == 0

    # Ownership: another token can neither release nor extend; the owner can.
    mine = r.lock("res", timeout=10)
    assert mine.acquire(blocking=False)
    theirs = r.lock("res", timeout=10)
    assert not theirs.acquire(blocking=False)
    theirs.local.token = b"not-the-owner"
    with pytest.raises(LockNotOwnedError):
        theirs.release()
    theirs.local.token = b"not-the-owner"  # release forgot it
    with pytest.raises(LockNotOwnedError):
        theirs.extend(5)
    # extend adds to the TTL or replaces it, reacquire resets it: each a script over the key.
    steps = [(lambda: mine.extend(50), 55_000), (lambda: mine.extend(20, replace_ttl=True), 20_000),
             (mine.reacquire, 10_000)]
    for step, ttl_ms in steps:
        assert step()
        assert ttl_ms - 5_000 < r.pttl("res") <= ttl_ms + 5_000
    mine.release()
    assert r.exists("res") == 0
    with pytest.raises(LockError):
        mine.release()


@pytest.mark.parametrize("protocol", [2, 3])
def test_registered_script_falls_back_to_eval_after_a_flush(served, protocol):
    _, server = served
    r = client(server, protocol)
    bump = r.register_script("return redis.call('INCRBY', KEYS[1], ARGV[1])")
    assert bump(keys=["n"], args=[2]) == 2
    assert r.script_exists(bump.sha) == [True]
    r.script_flush()
    with pytest.raises(NoScriptError):
        r.evalsha(bump.sha, 1, "n", 1)
    assert bump(keys=["n"], args=[3]) == 5  # NOSCRIPT, then EVAL
    r.script_flush()
    # A pipeline loads its scripts before it runs them.
    pipe = r.pipeline()
    bump(keys=["n"], args=[1], client=pipe)
    pipe.get("n")
    bump(keys=["n"], args=[1], client=pipe)
    assert pipe.execute() == [6, b"6", 7]
    status = r.register_script("return {redis.call('SET', KEYS[1], 'v'), redis.call('HSET', KEYS[2], 'f', 'v'), "
                               "redis.call('HGETALL', KEYS[2])}")
    assert status(keys=["s", "h"]) == [b"OK", 1, [b"f", b"v"]]


def test_script_errors_reach_the_client(served):
    _, server = served
    r = client(server)
    r.set("s", "text")
    with pytest.raises(ResponseError, match="not an integer"):
        r.eval("return redis.call('INCR', KEYS[1])", 1, "s")
    with pytest.raises(ResponseError, match="may only name the keys it declares"):
        r.eval("redis.call('SET', KEYS[1], 'text') return redis.call('GET', 'elsewhere')", 1, "s")
    with pytest.raises(ResponseError, match="time limit of 300 ms"):
        r.eval("while true do end", 0)
    # Nested C calls end in an error on the connection thread's stack, not a crash.
    with pytest.raises(ResponseError, match="C stack overflow"):
        r.eval("local function f(s) return (string.gsub('x', '.', f)) end return f('x')", 0)
    # The connection and the key space go on.
    assert r.eval("return redis.call('GET', KEYS[1])", 1, "s") == b"text"


def test_time_limit_setting():
    cache = Cache()
    try:
        assert Server(cache.native, port=0).script_time_limit_ms == 5000
        assert Server(cache.native, port=0, script_time_limit_ms=250).script_time_limit_ms == 250
        for bad in (0, -1, "5"):
            with pytest.raises(ValueError, match="script_time_limit_ms must be a positive integer"):
                Server(cache.native, port=0, script_time_limit_ms=bad)
    finally:
        cache.close()
