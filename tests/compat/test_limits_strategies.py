"""The `limits` library's storage for this protocol against `vellum serve`: its fixed window counts
with INCRBY and EXPIRE in a script, its moving window and sliding window counters are
scripts over lists and counters. Concurrent clients hitting one limit must get exactly
`limit` acquisitions per window: an atomicity failure lets more through."""

from __future__ import annotations

import threading

import pytest
from served_process import vellum_serve

limits = pytest.importorskip("limits")
# Imported before any thread starts: limits imports the client lazily, and a thread that
# finds it half-imported by another reads its version as 0.0.0 and refuses it.
redis = pytest.importorskip("redis")
from limits.storage import RedisStorage  # noqa: E402
from limits.strategies import (  # noqa: E402
    FixedWindowRateLimiter,
    MovingWindowRateLimiter,
    SlidingWindowCounterRateLimiter,
)

STRATEGIES = {
    "fixed": FixedWindowRateLimiter,
    "moving": MovingWindowRateLimiter,
    "sliding": SlidingWindowCounterRateLimiter,
}


@pytest.fixture(scope="module")
def uri():
    with vellum_serve() as port:
        yield f"redis://127.0.0.1:{port}"


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("cost", [1, 3])
def test_concurrent_clients_get_exactly_the_limit(uri, strategy, cost):
    # An hour-long window: the whole run falls inside one window.
    item = limits.parse("60/hour")
    granted = []
    lock = threading.Lock()

    def client(n):
        limiter = STRATEGIES[strategy](RedisStorage(uri))
        mine = 0
        for _ in range(40):
            if limiter.hit(item, "user", f"{strategy}-{cost}", cost=cost):
                mine += 1
        with lock:
            granted.append(mine)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(granted) * cost == 60
    limiter = STRATEGIES[strategy](RedisStorage(uri))
    assert not limiter.test(item, "user", f"{strategy}-{cost}")
    stats = limiter.get_window_stats(item, "user", f"{strategy}-{cost}")
    assert stats.remaining == 0


def test_reset_clears_every_limit_and_nothing_else(uri):
    # reset() is a script that lists its prefix with KEYS and deletes what it found: it names
    # keys it did not declare, so it runs holding every shard.
    storage = RedisStorage(uri)
    item = limits.parse("5/hour")
    for name, strategy in STRATEGIES.items():
        for who in ("a", "b", "c"):
            assert strategy(storage).hit(item, "reset", name, who)
    other = redis.Redis.from_url(uri)
    other.set("not-a-limit", "kept")
    assert storage.reset() >= 9
    assert other.keys("LIMITS:*") == []
    assert other.get("not-a-limit") == b"kept"
    for name, strategy in STRATEGIES.items():
        assert strategy(storage).get_window_stats(item, "reset", name, "a").remaining == 5
