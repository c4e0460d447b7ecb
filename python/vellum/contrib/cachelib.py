"""A cachelib cache over an in-process `vellum.Cache`.

    from vellum.contrib.cachelib import VellumCache

    cache = VellumCache(default_timeout=300, max_memory="64MiB", policy="allkeys-lru")
    cache.set("user:1", {"name": "Ada"})

Each instance owns one in-memory `vellum.Cache`, bounded by bytes rather than by an entry
count. Values pass through `serializer` (cachelib's interface, replaceable per instance
or per subclass); the default stores ints as decimal text and everything else as
pickles, so that `inc`/`dec` run as one atomic native increment on int values.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

from cachelib.base import BaseCache
from cachelib.serializers import BaseRedisSerializer

from ..cache import Cache

__all__ = ["VellumCache", "VellumSerializer"]


class VellumSerializer(BaseRedisSerializer):
    """ints (exactly int, not bool) as decimal text, anything else as b"!" and a pickle.

    Decimal text is the form the store's native increment reads and writes. A pickle
    never starts with a digit or "-", and never with "!" unprefixed, so the two forms
    cannot be confused.
    """


class VellumCache(BaseCache):
    """cachelib's cache interface over an in-process `vellum.Cache`.

    Timeouts follow cachelib: None is `default_timeout`, 0 (or less) never expires,
    otherwise whole seconds or a timedelta. `key_prefix` (a str, or a callable returning
    one) is prepended to every key. `max_memory`, `policy` and `shards` configure the
    store as for `vellum.Cache`. Every call is one native call under the store's locks,
    except `inc`/`dec` on a value that is not an int in the signed 64-bit range, which
    fall back to cachelib's read-then-write.
    """

    serializer: Any = VellumSerializer()

    def __init__(
        self,
        default_timeout: int | dt.timedelta = 300,
        key_prefix: str | Callable[[], str] | None = None,
        ignore_delete_many_errors: bool = True,
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
    ) -> None:
        BaseCache.__init__(self, default_timeout, ignore_delete_many_errors=ignore_delete_many_errors)
        self.key_prefix = key_prefix or ""
        self._cache: Cache[bytes] = Cache(max_memory=max_memory, policy=policy, shards=shards)

    @property
    def store(self) -> Cache[bytes]:
        """The underlying `vellum.Cache` (raw stored bytes), for statistics and inspection."""
        return self._cache

    def _key(self, key: str) -> str:
        prefix = self.key_prefix if isinstance(self.key_prefix, str) else self.key_prefix()
        return prefix + key

    def _ttl(self, timeout: int | dt.timedelta | None) -> int | None:
        seconds = self._normalize_timeout(timeout)
        return seconds if seconds > 0 else None

    def _load(self, data: bytes | None) -> Any:
        return None if data is None else self.serializer.loads(data)

    def get(self, key: str) -> Any:
        return self._load(self._cache.get(self._key(key)))

    def get_many(self, *keys: str) -> list[Any]:
        return [self._load(data) for data in self._cache.mget([self._key(k) for k in keys])]

    def set(self, key: str, value: Any, timeout: int | dt.timedelta | None = None) -> bool:
        data = self.serializer.dumps(value)
        if data is None:  # the serializer reported the error and stored nothing
            return False
        return self._cache.set(self._key(key), data, ttl=self._ttl(timeout))

    def add(self, key: str, value: Any, timeout: int | dt.timedelta | None = None) -> bool:
        data = self.serializer.dumps(value)
        if data is None:
            return False
        return self._cache.set(self._key(key), data, ttl=self._ttl(timeout), nx=True)

    def set_many(self, mapping: dict[str, Any], timeout: int | dt.timedelta | None = None) -> list[Any]:
        ttl = self._ttl(timeout)
        pairs: dict[str, bytes] = {}
        for key, value in mapping.items():
            data = self.serializer.dumps(value)
            if data is not None:
                pairs[key] = data
        if ttl is None:
            if pairs:
                prefixed: dict[str | bytes, bytes] = {self._key(k): v for k, v in pairs.items()}
                self._cache.update(prefixed)  # one native call
        else:
            for key, data in pairs.items():
                self._cache.set(self._key(key), data, ttl=ttl)
        return list(pairs)

    def delete(self, key: str) -> bool:
        return self._cache.delete(self._key(key)) > 0

    def delete_many(self, *keys: str) -> list[Any]:
        """Deletes every key in one native call. Nothing can make a delete fail, so every
        key is reported deleted whatever ignore_delete_many_errors says."""
        if keys:
            self._cache.delete(*(self._key(k) for k in keys))
        return list(keys)

    def has(self, key: str) -> bool:
        return self._cache.exists(self._key(key))

    def clear(self) -> bool:
        self._cache.clear()
        return True

    def inc(self, key: str, delta: int = 1) -> Any:
        """Adds delta to an int and returns the sum; a missing key counts as 0.

        One native increment, atomic against every other call, while the value is an int
        in the signed 64-bit range stored as decimal text (as the default serializer
        stores ints). Any other value goes through cachelib's get-add-set, which is not.
        """
        try:
            return self._cache.incr(self._key(key), delta)
        except (ValueError, OverflowError):
            return super().inc(key, delta)

    def dec(self, key: str, delta: int = 1) -> Any:
        return self.inc(key, -delta)

    def close(self) -> None:
        """Releases the store's background work; the instance must not be used after."""
        self._cache.close()
