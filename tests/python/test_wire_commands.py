"""Every command through the `redis` client's normal API, pipelines, and one store seen
from both sides."""

import time

import pytest

redis = pytest.importorskip("redis")

from vellum._vellum import Cache, Server  # noqa: E402


@pytest.fixture
def served(tmp_path):
    cache = Cache(shards=4, persist_dir=tmp_path / "data", snapshot_interval=0)
    server = Server(cache, port=0)
    server.start()
    client = redis.Redis(host="127.0.0.1", port=server.port, protocol=2)
    yield cache, client
    client.close()
    server.stop()
    cache.close()


def test_string_commands(served):
    cache, r = served
    assert r.set("s", "v") is True
    assert r.set("s", "w", nx=True) is None
    assert r.set("missing", "w", xx=True) is None
    assert r.get("s") == b"v"
    assert r.setex("t", 100, "x") is True and 99_000 < r.pttl("t") <= 100_000
    assert r.mset({"a": "1", "b": "2"}) is True
    assert r.mget("a", "b", "nope") == [b"1", b"2", None]
    assert r.incr("a") == 2 and r.decr("a") == 1
    assert r.incrby("a", 10) == 11 and r.decrby("a", 5) == 6
    assert r.append("s", "xyz") == 4 and r.get("s") == b"vxyz"
    assert r.exists("a", "a", "nope") == 2
    assert sorted(r.keys("*")) == [b"a", b"b", b"s", b"t"]
    assert r.delete("a", "b", "nope") == 2
    with pytest.raises(redis.ResponseError, match="not an integer"):
        r.incr("s")


def test_expiry_commands(served):
    _, r = served
    r.set("k", "v")
    assert r.ttl("k") == -1 and r.ttl("nope") == -2
    assert r.expire("k", 100) is True and r.ttl("k") == 100
    # Nearest second: 2 while the remaining time is in [1500, 2500) ms, so up to 900 ms
    # may pass between the two calls on a loaded machine.
    assert r.pexpire("k", 2400) is True and r.ttl("k") == 2
    assert r.persist("k") is True and r.persist("k") is False
    assert r.expire("k", 0) is True and r.exists("k") == 0  # non-positive deletes


def test_collection_commands(served):
    _, r = served
    assert r.hset("h", mapping={"f": "1", "g": "2"}) == 2
    assert r.hget("h", "f") == b"1" and r.hlen("h") == 2
    assert r.hgetall("h") == {b"f": b"1", b"g": b"2"}
    assert r.hdel("h", "f", "f", "zz") == 1
    assert r.rpush("l", "a", "b") == 2 and r.lpush("l", "z") == 3
    assert r.lrange("l", 0, -1) == [b"z", b"a", b"b"] and r.llen("l") == 3
    assert r.lpop("l") == b"z" and r.rpop("l") == b"b"
    assert r.sadd("s", "x", "y", "x") == 2 and r.scard("s") == 2
    assert r.sismember("s", "x") and not r.sismember("s", "q")
    assert r.smembers("s") == {b"x", b"y"}
    assert r.srem("s", "x", "y") == 2 and r.exists("s") == 0
    with pytest.raises(redis.ResponseError, match="^WRONGTYPE"):
        r.get("h")


def test_admin_commands(served):
    cache, r = served
    r.set("k", "v")
    assert r.ping() is True and r.echo("hi") == b"hi"
    assert r.dbsize() == 1
    info = r.info()
    assert info["keys"] == 1 and info["persistence_enabled"] == 1 and info["used_memory"] == cache.used_memory
    assert r.save() is True and r.lastsave().timestamp() > time.time() - 60
    # redis-py sends BGSAVE SCHEDULE by default; the server takes the bare command.
    assert r.bgsave(schedule=False) is True
    assert r.execute_command("SELECT", 0) is True
    with pytest.raises(redis.ResponseError, match="DB index is out of range"):
        r.execute_command("SELECT", 1)
    assert r.flushall() is True and r.dbsize() == 0 and len(cache) == 0


def test_pipeline_replies_in_order(served):
    _, r = served
    pipe = r.pipeline(transaction=False)
    for i in range(200):
        pipe.set(f"k{i}", i)
        pipe.incr(f"k{i}")
    pipe.get("k199")
    results = pipe.execute()
    assert results[:4] == [True, 1, True, 2]
    assert results[-1] == b"200"
    assert len(results) == 401


def test_writes_are_visible_both_ways(served):
    cache, r = served
    r.hset("user", "name", "Ada")
    assert cache.hgetall(b"user") == {b"name": b"Ada"}
    cache.sadd(b"tags", b"fast")
    assert r.smembers("tags") == {b"fast"}
    cache.set(b"gone", b"x", px=1)
    time.sleep(0.01)
    assert r.get("gone") is None
    r.delete("user")
    assert cache.exists(b"user") is False
