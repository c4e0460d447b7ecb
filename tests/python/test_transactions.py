"""Transactions: Cache.transaction and MULTI/EXEC/WATCH through the redis client, checked
against a serial model under concurrency, and whole-or-nothing replay after SIGKILL."""

import os
import random
import signal
import subprocess
import sys
import threading

import pytest
import redis

import vellum
from vellum import Cache, Server


@pytest.fixture
def served():
    cache = Cache()
    server = Server(cache.native, port=0)
    server.start()
    yield cache, server
    server.stop()
    cache.close()


def client(server):
    return redis.Redis(host="127.0.0.1", port=server.port, protocol=2)


@pytest.mark.parametrize("protocol", [2, 3])
def test_queued_requests_count_against_the_request_budget(protocol):
    """A transaction queues no more than the request budget holds: the request that
    finds no room is refused, EXEC aborts, the connection stays usable and the budget is
    whole again for the next transaction; the other connections are unaffected."""
    cache = Cache()
    server = Server(cache.native, port=0, request_budget=256 * 1024)
    server.start()
    try:
        r = redis.Redis(host="127.0.0.1", port=server.port, protocol=protocol)
        other = redis.Redis(host="127.0.0.1", port=server.port, protocol=protocol)
        value = b"v" * (32 * 1024)
        with r.pipeline(transaction=True) as p:
            for i in range(12):  # 384 KiB queued: past the budget
                p.set(f"k{i}", value)
            with pytest.raises(redis.ResponseError) as refused:
                p.execute()
        assert "EXECABORT" in str(refused.value) or "request memory budget" in str(refused.value)
        assert r.exists(*[f"k{i}" for i in range(12)]) == 0
        assert other.set("o", value) is True
        with r.pipeline(transaction=True) as p:
            for i in range(4):  # 128 KiB: fits
                p.set(f"k{i}", value)
            assert p.execute() == [True] * 4
        assert r.exists(*[f"k{i}" for i in range(12)]) == 4
        r.close()
        other.close()
    finally:
        server.stop()
        cache.close()


def test_cache_transaction_results_and_refusal():
    c = Cache(codec="json")
    c.native.sadd("s", "m")
    with c.transaction() as tx:
        tx.set("a", {"x": 1})
        tx.get("a")
        tx.incr("n", 5)
        tx.call("INCR", "s")
        tx.delete("a", "zz")
    assert tx.results[:3] == ["OK", {"x": 1}, 5]
    assert isinstance(tx.results[3], TypeError) and tx.results[4] == 1
    with pytest.raises(ValueError, match="nothing ran"):
        with c.transaction() as tx:
            tx.set("b", 1)
            tx.call("NOSUCH")
    assert c.get("b") is None
    with pytest.raises(RuntimeError):
        with c.transaction() as tx:
            tx.set("b", 1)
            raise RuntimeError
    assert c.get("b") is None
    audit = c.native._audit()
    assert audit["used_memory"] == audit["charge_sum"]


def test_redis_pipeline_and_watch(served):
    cache, server = served
    r, other = client(server), client(server)
    with r.pipeline(transaction=True) as p:
        p.set("a", "1").incr("a").lpush("a", "x").get("a")
        with pytest.raises(redis.ResponseError, match="WRONGTYPE"):
            p.execute()
    assert r.get("a") == b"2"
    res = r.pipeline(transaction=True).set("b", "1").incr("b").execute(raise_on_error=False)
    assert res == [True, 2]
    # A watched key written by another connection: WatchError, nothing applied.
    with r.pipeline() as p:
        p.watch("a")
        assert p.get("a") == b"2"
        other.set("a", "9")
        p.multi()
        p.set("a", "3")
        with pytest.raises(redis.WatchError):
            p.execute()
    assert r.get("a") == b"9"
    # The retry loop of transaction() succeeds once nobody interferes.
    def bump(pipe):
        v = int(pipe.get("a"))
        pipe.multi()
        pipe.set("a", v + 1)
    r.transaction(bump, "a")
    assert r.get("a") == b"10"
    # The client reports the queuing error that made EXEC abort.
    with pytest.raises(redis.ResponseError, match="unknown command"):
        r.pipeline(transaction=True).set("c", "1").execute_command("NOSUCH").execute()
    assert r.get("c") is None


MODEL_KEYS = [f"k{i}".encode() for i in range(6)]


# Transactions move amounts between keys and plain commands add to one; a transaction that
# reads every key must see a state some serial order produced: the total equals the sum of
# the plain additions acknowledged before it started, at least, and those acknowledged after
# it ended, at most.
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_concurrent_transactions_match_a_serial_model(served, seed):
    cache, server = served
    rng = random.Random(seed)
    plans = [[(rng.choice(MODEL_KEYS), rng.choice(MODEL_KEYS), rng.randint(1, 9)) for _ in range(150)]
             for _ in range(3)]
    added_done = [0]
    added_started = [0]
    lock = threading.Lock()
    errors = []

    def mover(plan):
        r = client(server)
        for src, dst, n in plan:
            p = r.pipeline(transaction=True)
            p.incrby(src, -n).incrby(dst, n)
            p.execute()

    def adder():
        r = client(server)
        for i in range(300):
            with lock:
                added_started[0] += 1
            r.incrby(MODEL_KEYS[i % len(MODEL_KEYS)], 1)
            with lock:
                added_done[0] += 1

    def reader():
        r = client(server)
        for _ in range(300):
            with lock:
                low = added_done[0]
            p = r.pipeline(transaction=True)
            for k in MODEL_KEYS:
                p.get(k)
            total = sum(int(v or 0) for v in p.execute())
            with lock:
                high = added_started[0]
            if not low <= total <= high:
                errors.append((low, total, high))

    threads = [threading.Thread(target=mover, args=(p,)) for p in plans]
    threads += [threading.Thread(target=adder), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    final = {k: int(cache.native.get(k) or 0) for k in MODEL_KEYS}
    model = dict.fromkeys(MODEL_KEYS, 0)
    for plan in plans:
        for src, dst, n in plan:
            model[src] -= n
            model[dst] += n
    for i in range(300):
        model[MODEL_KEYS[i % len(MODEL_KEYS)]] += 1
    assert final == model


CHILD = r"""
import sys
from vellum import Cache
c = Cache(persist_dir=sys.argv[1], fsync=sys.argv[2])
i = 0
print("ready", flush=True)
while True:
    with c.transaction() as tx:
        for k in range(5):
            tx.set(f"k{k}", str(i))
    i += 1
    if i % 50 == 0:
        print(i, flush=True)
"""


# Every transaction sets the same value on five keys: after a kill at any point the replayed
# state holds one value on all five, never a part of a transaction.
@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
@pytest.mark.parametrize("fsync,seed", [("always", 1), ("never", 2), ("everysec", 3), ("always", 4)])
def test_kill_replays_whole_transactions(tmp_path, fsync, seed):
    path = str(tmp_path / "d")
    rng = random.Random(seed)
    for _ in range(2):
        proc = subprocess.Popen([sys.executable, "-c", CHILD, path, fsync], stdout=subprocess.PIPE, text=True)
        assert proc.stdout.readline().strip() == "ready"
        for _ in range(rng.randint(1, 4)):
            proc.stdout.readline()
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()
        proc.stdout.close()
        c = Cache(persist_dir=path)
        values = {c.native.get(f"k{k}") for k in range(5)}
        assert len(values) == 1, values
        c.close()
    report = subprocess.run([sys.executable, "-m", "vellum", "check", path], capture_output=True, text=True)
    assert report.returncode == 0, report.stdout + report.stderr
