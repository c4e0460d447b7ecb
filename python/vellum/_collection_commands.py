"""The collection commands of `vellum.Cache`: one thin method per native call, by family.

Collections are bytes-level: fields, members and items are not passed through the codec,
so these methods forward straight to the native store. `Cache` inherits the three mixins;
each names the one attribute it uses from its host. After a fork, `_native` is the guard
that raises, so these methods need no check of their own.
"""

from __future__ import annotations

import builtins
from collections.abc import Iterable, Iterator
from typing import Literal, overload

from . import _vellum
from .keys import Key


class HashCommands:
    """Hash fields and values, as bytes."""

    __slots__ = ()
    _native: _vellum.Cache

    def hset(self, key: Key, field: Key, value: bytes | str) -> bool:
        return self._native.hset(key, field, value)

    def hget(self, key: Key, field: Key) -> bytes | None:
        return self._native.hget(key, field)

    def hdel(self, key: Key, *fields: Key) -> int:
        return self._native.hdel(key, *fields)

    def hgetall(self, key: Key) -> dict[bytes, bytes]:
        return self._native.hgetall(key)

    def hlen(self, key: Key) -> int:
        return self._native.hlen(key)

    def hmget(self, key: Key, *fields: Key) -> list[bytes | None]:
        return self._native.hmget(key, *fields)

    def hkeys(self, key: Key) -> list[bytes]:
        return self._native.hkeys(key)

    def hvals(self, key: Key) -> list[bytes]:
        return self._native.hvals(key)

    def hexists(self, key: Key, field: Key) -> bool:
        return self._native.hexists(key, field)

    def hstrlen(self, key: Key, field: Key) -> int:
        return self._native.hstrlen(key, field)

    def hsetnx(self, key: Key, field: Key, value: bytes | str) -> bool:
        return self._native.hsetnx(key, field, value)

    def hincrby(self, key: Key, field: Key, amount: int = 1) -> int:
        return self._native.hincrby(key, field, amount)

    def hincrbyfloat(self, key: Key, field: Key, amount: float = 1.0) -> float:
        return self._native.hincrbyfloat(key, field, amount)

    def hscan(
        self, key: Key, cursor: int = 0, match: str | None = None, count: int = 10
    ) -> tuple[int, dict[bytes, bytes]]:
        """One page of the hash's fields and values from `cursor` (0 starts; 0 comes back
        at the end). Every field present for a whole iteration is returned at least once."""
        return self._native.hscan(key, cursor, match, count)

    def hscan_iter(self, key: Key, match: str | None = None, count: int = 100) -> Iterator[tuple[bytes, bytes]]:
        """Yields the hash's (field, value) pairs a page at a time, never holding a lock
        between pages: every field present throughout is yielded at least once."""
        cursor = 0
        while True:
            cursor, page = self._native.hscan(key, cursor, match, count)
            yield from page.items()
            if cursor == 0:
                return


class ListCommands:
    """List items, as bytes."""

    __slots__ = ()
    _native: _vellum.Cache

    def lpush(self, key: Key, *values: bytes | str) -> int:
        return self._native.lpush(key, *values)

    def rpush(self, key: Key, *values: bytes | str) -> int:
        return self._native.rpush(key, *values)

    @overload
    def lpop(self, key: Key, count: None = None) -> bytes | None: ...
    @overload
    def lpop(self, key: Key, count: int) -> list[bytes]: ...
    def lpop(self, key: Key, count: int | None = None) -> bytes | list[bytes] | None:
        return self._native.lpop(key, count)

    @overload
    def rpop(self, key: Key, count: None = None) -> bytes | None: ...
    @overload
    def rpop(self, key: Key, count: int) -> list[bytes]: ...
    def rpop(self, key: Key, count: int | None = None) -> bytes | list[bytes] | None:
        return self._native.rpop(key, count)

    def lindex(self, key: Key, index: int) -> bytes | None:
        return self._native.lindex(key, index)

    def lpos(
        self, key: Key, element: bytes | str, rank: int = 1, count: int | None = None, maxlen: int = 0
    ) -> int | list[int] | None:
        """The first match's index (None: no match); with a count, a list of up to `count`
        indexes (0: all). A negative rank searches from the tail."""
        return self._native.lpos(key, element, rank, count, maxlen)

    def lrange(self, key: Key, start: int, stop: int) -> list[bytes]:
        return self._native.lrange(key, start, stop)

    def llen(self, key: Key) -> int:
        return self._native.llen(key)

    def lset(self, key: Key, index: int, value: bytes | str) -> None:
        """Replaces the item at `index` (negative: from the tail); KeyError when the key is
        missing, IndexError past either end."""
        self._native.lset(key, index, value)

    def ltrim(self, key: Key, start: int, stop: int) -> None:
        """Keeps the items from start to stop inclusive (as lrange reads them); a list left
        empty is removed."""
        self._native.ltrim(key, start, stop)

    def lrem(self, key: Key, count: int, value: bytes | str) -> int:
        """Removes items equal to `value`: the first `count` (count > 0), the last -count
        (count < 0) or all (0). The number removed."""
        return self._native.lrem(key, count, value)

    def linsert(self, key: Key, where: Literal["before", "after"], pivot: bytes | str, value: bytes | str) -> int:
        """Inserts `value` before or after the first item equal to `pivot`: the new length,
        -1 when no item equals `pivot`, 0 when the key is missing."""
        return self._native.linsert(key, where, pivot, value)

    def lmove(
        self, src: Key, dst: Key, wherefrom: Literal["left", "right"] = "left", whereto: Literal["left", "right"] = "right"
    ) -> bytes | None:
        """Pops an item from one end of src and pushes it onto one end of dst, atomically;
        the item, or None when src is missing. src == dst rotates the list."""
        return self._native.lmove(src, dst, wherefrom, whereto)

    def rpoplpush(self, src: Key, dst: Key) -> bytes | None:
        """lmove(src, dst, "right", "left")."""
        return self._native.rpoplpush(src, dst)


class SetCommands:
    """Set members, as bytes."""

    # Annotations say builtins.set: the host, Cache, has a method named set.
    __slots__ = ()
    _native: _vellum.Cache

    def sadd(self, key: Key, *members: bytes | str) -> int:
        return self._native.sadd(key, *members)

    def srem(self, key: Key, *members: bytes | str) -> int:
        return self._native.srem(key, *members)

    def smembers(self, key: Key) -> builtins.set[bytes]:
        return self._native.smembers(key)

    def sismember(self, key: Key, member: bytes | str) -> bool:
        return self._native.sismember(key, member)

    def scard(self, key: Key) -> int:
        return self._native.scard(key)

    def smismember(self, key: Key, *members: bytes | str) -> list[bool]:
        return self._native.smismember(key, *members)

    @overload
    def srandmember(self, key: Key, count: None = None) -> bytes | None: ...
    @overload
    def srandmember(self, key: Key, count: int) -> list[bytes]: ...
    def srandmember(self, key: Key, count: int | None = None) -> bytes | list[bytes] | None:
        """One random member (None when empty); with a count a list: count >= 0 distinct
        members, count < 0 exactly -count members with repeats."""
        return self._native.srandmember(key, count)

    @overload
    def spop(self, key: Key, count: None = None) -> bytes | None: ...
    @overload
    def spop(self, key: Key, count: int) -> list[bytes]: ...
    def spop(self, key: Key, count: int | None = None) -> bytes | list[bytes] | None:
        return self._native.spop(key, count)

    def smove(self, src: Key, dst: Key, member: bytes | str) -> bool:
        return self._native.smove(src, dst, member)

    def sinter(self, *keys: Key) -> builtins.set[bytes]:
        return self._native.sinter(*keys)

    def sunion(self, *keys: Key) -> builtins.set[bytes]:
        return self._native.sunion(*keys)

    def sdiff(self, *keys: Key) -> builtins.set[bytes]:
        return self._native.sdiff(*keys)

    def sinterstore(self, dst: Key, *keys: Key) -> int:
        return self._native.sinterstore(dst, *keys)

    def sunionstore(self, dst: Key, *keys: Key) -> int:
        return self._native.sunionstore(dst, *keys)

    def sdiffstore(self, dst: Key, *keys: Key) -> int:
        return self._native.sdiffstore(dst, *keys)

    def sintercard(self, keys: Iterable[Key], limit: int = 0) -> int:
        return self._native.sintercard(keys, limit)

    def sscan(self, key: Key, cursor: int = 0, match: str | None = None, count: int = 10) -> tuple[int, list[bytes]]:
        """One page of the set's members from `cursor` (0 starts; 0 comes back at the end).
        Every member present for a whole iteration is returned at least once."""
        return self._native.sscan(key, cursor, match, count)

    def sscan_iter(self, key: Key, match: str | None = None, count: int = 100) -> Iterator[bytes]:
        """Yields the set's members a page at a time, never holding a lock between pages:
        every member present throughout is yielded at least once."""
        cursor = 0
        while True:
            cursor, members = self._native.sscan(key, cursor, match, count)
            yield from members
            if cursor == 0:
                return
