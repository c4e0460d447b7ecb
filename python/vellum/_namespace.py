"""`vellum.Namespace`: the keys of a `Cache` under one prefix, as a mapping of their own."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping
from collections.abc import MutableMapping
from typing import TYPE_CHECKING, Generic, TypeVar, overload

from .keys import TTL, Key, glob_escape, key_bytes

if TYPE_CHECKING:
    # For annotations only: vellum.cache imports this module to build Cache.namespace.
    from .cache import Cache

V = TypeVar("V")
D = TypeVar("D")


class Namespace(MutableMapping[Key, V], Generic[V]):
    """The keys of a cache that begin with one prefix, with the prefix hidden.

    Reads and writes go to the parent cache under prefix + key; iteration, len and
    clear() see only this prefix's live keys (clear deletes exactly those, in one call).
    """

    __slots__ = ("cache", "prefix", "_pattern")

    def __init__(self, cache: Cache[V], prefix: bytes) -> None:
        if not prefix:
            raise ValueError("a namespace prefix must not be empty")
        self.cache = cache
        self.prefix = prefix
        self._pattern = glob_escape(prefix)

    def __repr__(self) -> str:
        return f"<vellum.Namespace {self.prefix!r} of {self.cache!r}>"

    def _k(self, key: Key) -> bytes:
        return self.prefix + key_bytes(key)

    def __getitem__(self, key: Key) -> V:
        return self.cache[self._k(key)]

    def __setitem__(self, key: Key, value: V) -> None:
        self.cache[self._k(key)] = value

    def __delitem__(self, key: Key) -> None:
        del self.cache[self._k(key)]

    def __contains__(self, key: object) -> bool:
        return isinstance(key, (str, bytes)) and self.cache.exists(self._k(key))

    def _keys(self) -> list[bytes]:
        return self.cache.match(self._pattern)

    def __len__(self) -> int:
        return len(self._keys())

    def __iter__(self) -> Iterator[bytes]:
        cut = len(self.prefix)
        return (k[cut:] for k in self._keys())

    @overload
    def get(self, key: Key) -> V | None: ...
    @overload
    def get(self, key: Key, default: V) -> V: ...
    @overload
    def get(self, key: Key, default: D) -> V | D: ...
    def get(self, key: Key, default: object = None) -> object:
        return self.cache.get(self._k(key), default)

    def set(self, key: Key, value: V, ttl: TTL | None = None, nx: bool = False, xx: bool = False) -> bool:
        return self.cache.set(self._k(key), value, ttl=ttl, nx=nx, xx=xx)

    def delete(self, *keys: Key) -> int:
        return self.cache.delete(*(self._k(k) for k in keys))

    def expire(self, key: Key, ttl: TTL) -> bool:
        return self.cache.expire(self._k(key), ttl)

    def ttl(self, key: Key) -> float | None:
        return self.cache.ttl(self._k(key))

    def update(  # type: ignore[override]
        self, other: Mapping[Key, V] | Iterable[tuple[Key, V]] = (), /, **kwargs: V
    ) -> None:
        items: Iterable[tuple[Key, V]] = other.items() if isinstance(other, Mapping) else other
        pairs: dict[Key, V] = {self._k(k): v for k, v in items}
        pairs.update({self._k(k): v for k, v in kwargs.items()})
        self.cache.update(pairs)

    def clear(self) -> None:
        """Deletes this namespace's keys and nothing else."""
        keys = self._keys()
        if keys:
            self.cache.delete(*keys)

    def namespace(self, prefix: Key) -> Namespace[V]:
        return Namespace(self.cache, self.prefix + key_bytes(prefix))
