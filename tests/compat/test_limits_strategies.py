"""The `limits` library's storage for this protocol against `vellum serve`: its fixed window counts
with INCRBY and EXPIRE in a script, its moving window and sliding window counters are
scripts over lists and counters. Concurrent clients hitting one limit must get exactly
`limit` acquisitions per window: an atomicity failure lets more through."""

from __future__ import annotations

import threading

import pytest
from served_process import vellum_serve

limits = pytest.importorskip("limits")
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
