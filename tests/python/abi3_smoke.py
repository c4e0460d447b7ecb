"""Imports the installed abi3 wheel and uses it once; run under every other CPython."""

import sys

import vellum
from vellum._vellum import Cache, CacheLockedError, CorruptDataError, Server

cache = Cache(shards=1)
assert cache.set(b"k", b"v", ex=60) is True
assert cache.get("k") == b"v"
assert cache.incr(b"n", 2) == 2
assert cache.rpush(b"l", 1, 2.5) == 2 and cache.lrange(b"l", 0, -1) == [b"1", b"2.5"]
assert cache.hgetall(b"missing") == {}
assert len(cache) == 3 and cache.used_memory > 0
try:
    cache.set(True, b"v")
except TypeError as err:
    assert str(err) == "expected bytes, str, int or float, not bool"
else:
    raise AssertionError("bool key accepted")
server = Server(cache, port=0)
server.start()
assert server.running and server.port != 0
server.stop()
cache.close()
assert issubclass(CacheLockedError, OSError) and issubclass(CorruptDataError, ValueError)

# The package's Cache runs get, set and item access in its native base; a memoized
# function is a native callable with a __dict__ that binds as a method.
typed = vellum.Cache(codec="json")
typed["j"] = {"a": [1]}
assert typed["j"] == {"a": [1]} and typed.get("none", 5) == 5 and typed.set("t", 1, ttl=0.5)
calls = []


@typed.memoize(ttl=None)
def double(x):
    calls.append(x)
    return 2 * x


assert [double(4) for _ in range(3)] == [8, 8, 8] and calls == [4] and double._hits == 1
assert double.__name__ == "double" and double.cache_info().hits == 2
typed.close()
print(f"vellum abi3 smoke ok under Python {sys.version.split()[0]} ({vellum.__file__})")
