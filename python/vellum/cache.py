"""`vellum.Cache`: the typed, dict-like face of one native `_vellum.Cache`.

The native class cannot be subclassed, so a `Cache` holds one on its `native` attribute
(the object a `_vellum.Server` takes) and adds value codecs, mapping semantics, TTLs in
seconds or as timedeltas, prefix namespaces, memoization, statistics and a guarded
lifecycle. Thread safety is the native store's: any number of threads may use one
`Cache`; the wrapper keeps no mutable state of its own on the data path.

This module holds the wrapper's core: codecs on the data path, lifecycle, the fork guard,
the mapping protocol and the string and key commands. The collection commands come from
the mixins in `_collection_commands`; `Namespace` and `Transaction` live in their own
modules, and this one re-exports them.
"""

from __future__ import annotations

import ctypes
import logging
import os
import warnings
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping
from collections.abc import MutableMapping
from typing import TYPE_CHECKING, Any, Generic, Literal, NoReturn, TypeVar, overload

from . import _vellum
from ._collection_commands import HashCommands, ListCommands, SetCommands
from ._namespace import Namespace
from ._transaction import Transaction
from .codecs import BytesCodec, Codec, resolve_codec
from .keys import TTL, Key, key_bytes, ttl_to_ms
from .memoize import Memoizer
from .stats import CacheStats
from .units import parse_size

if TYPE_CHECKING:
    from _typeshed import SupportsKeysAndGetItem

__all__ = ["Cache", "Namespace", "ForkedCacheError", "Key", "TTL"]

logger = logging.getLogger("vellum")
logger.addHandler(logging.NullHandler())

V = TypeVar("V")
D = TypeVar("D")


# Only the exact bytes codec may be skipped on reads; a subclass may decode differently.
_IDENTITY_CODEC: type = BytesCodec


class ForkedCacheError(RuntimeError):
    """A persistent cache was used in a child process created by os.fork()."""


class _ForkedStore:
    """Stands in for the native store in a forked child: every use raises."""

    def __init__(self, message: str) -> None:
        self._message = message

    def __getattr__(self, name: str) -> NoReturn:
        raise ForkedCacheError(self._message)

    def fail(self, *args: object, **kwargs: object) -> NoReturn:
        raise ForkedCacheError(self._message)

    def __len__(self) -> NoReturn:
        raise ForkedCacheError(self._message)


# Open persistent caches of this process, so a fork can disarm them in the child.
# Keyed by id(): a mapping compares by contents, so it is not hashable.
_open_persistent: weakref.WeakValueDictionary[int, Cache[Any]] = weakref.WeakValueDictionary()
# Native stores inherited by a child; they must outlive the child (see _after_fork_in_child).
_inherited: list[object] = []


def _after_fork_in_child() -> None:
    # The child shares the parent's log file descriptor and directory lock. Writing
    # through them would interleave records with the parent's, and releasing the native
    # object would delete the parent's LOCK file. So the child keeps one extra reference
    # to each inherited store for its whole life and sees only a guard that raises.
    for cache in list(_open_persistent.values()):
        cache._disarm_after_fork()
    _open_persistent.clear()


os.register_at_fork(after_in_child=_after_fork_in_child)


class Cache(_vellum.CacheBase, HashCommands, ListCommands, SetCommands, MutableMapping[Key, V], Generic[V]):
    """An in-process cache of values of type V under str or bytes keys.

    Values pass through `codec` (bytes by default; "str", "json", "msgpack" or any
    codec object such as `PickleCodec(key)`). Keys are stored as bytes (str as UTF-8),
    so "a" and b"a" name the same entry and iteration yields bytes. The mapping view
    counts and iterates live keys only, over a snapshot taken when iteration starts.
    `native` is the underlying `_vellum.Cache`, for a `_vellum.Server` and for anything
    the wrapper does not forward.
    """

    # get, set and item access come from the native base, which also holds _native,
    # _encode, _decode and _raw: written here they would add a Python frame to every call.
    __slots__ = (
        "codec", "_max_memory", "_persist_dir", "_pid", "_closed", "_forked", "_last_error",
        "_get", "_set", "_delete", "_exists", "_mget", "_mset", "__weakref__",
    )

    # The base's set converts a TTL that is not whole seconds through this.
    _ttl_ms = staticmethod(ttl_to_ms)

    @overload
    def __init__(
        self: Cache[bytes],
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: int = 300,
        *,
        codec: Literal["bytes"] | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self: Cache[str],
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: int = 300,
        *,
        codec: Literal["str"],
    ) -> None: ...
    @overload
    def __init__(
        self: Cache[Any],
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: int = 300,
        *,
        codec: Literal["json", "msgpack"],
    ) -> None: ...
    @overload
    def __init__(
        self,
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: int = 300,
        *,
        codec: Codec[V],
    ) -> None: ...
    def __init__(
        self,
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
        persist_dir: str | os.PathLike[str] | None = None,
        fsync: str = "everysec",
        snapshot_interval: int = 300,
        *,
        codec: Any = None,
    ) -> None:
        self._closed = True  # until the native open succeeds, __del__ has nothing to report
        self._forked = False
        self.codec: Codec[V] = resolve_codec(codec)
        self._encode = self.codec.encode
        self._decode = self.codec.decode
        # The bytes codec is the identity on reads; skipping its call keeps get() cheap.
        self._raw = type(self.codec) is _IDENTITY_CODEC
        self._max_memory = parse_size(max_memory, "max_memory")
        path = None if persist_dir is None else os.fspath(persist_dir)
        if path is not None:
            _make_private_dir(path)
        self._native = _vellum.Cache(self._max_memory, policy, shards, path, fsync, snapshot_interval)
        self._persist_dir = path
        self._pid = os.getpid()
        self._last_error: str | None = None
        self._bind(self._native)
        self._closed = False
        if path is not None:
            _open_persistent[id(self)] = self
            self._check_last_error()  # a torn log tail repaired at open is reported here

    _get: Callable[[Key], bytes | None]
    _set: Callable[..., bool]
    _delete: Callable[..., int]
    _exists: Callable[[Key], bool]
    _mget: Callable[[Iterable[Key]], list[bytes | None]]
    _mset: Callable[[Mapping[Key, bytes]], None]

    # The native methods used on every data call, bound once so each call costs one
    # attribute load instead of two. After a fork they are rebound to the guard.
    def _bind(self, target: Any) -> None:
        self._get = target.get
        self._set = target.set
        self._delete = target.delete
        self._exists = target.exists
        self._mget = target.mget
        self._mset = target.mset

    def _disarm_after_fork(self) -> None:
        if self._closed:
            return
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(self._native))
        _inherited.append(self._native)
        message = (
            f"this persistent cache ({self._persist_dir}) was opened by process {self._pid} and cannot be "
            "used in a child created by os.fork(); open the Cache after forking (for example in the "
            "worker's initializer) with its own persist_dir, or share one cache through vellum.Server"
        )
        self._forked = True
        guard = _ForkedStore(message)
        self._native = guard  # type: ignore[assignment]
        self._get = self._set = self._delete = self._exists = self._mget = self._mset = guard.fail

    # ---- lifecycle ----

    @property
    def native(self) -> _vellum.Cache:
        """The underlying `_vellum.Cache`; pass it to `_vellum.Server` to serve this cache."""
        if self._forked:
            getattr(self._native, "native")  # raises ForkedCacheError
        return self._native

    @property
    def persist_dir(self) -> str | None:
        return self._persist_dir

    @property
    def max_memory(self) -> int:
        return self._max_memory

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops background work and, when persistent, writes a final snapshot and
        releases the data directory. Idempotent; data stays readable in memory.

        Everything is released even when the final save fails; OSError then follows when
        the log does not hold every acknowledged write either, so data was lost."""
        if self._forked:
            return  # the parent owns the directory; a child's close must not touch it
        try:
            self._native.close()
        finally:
            self._closed = True
            _open_persistent.pop(id(self), None)
            self._check_last_error()

    def save(self) -> None:
        """Writes a snapshot now. OSError on I/O failure, ValueError without persist_dir."""
        try:
            self._native.save()
        finally:
            self._check_last_error()

    def __enter__(self) -> Cache[V]:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # An unclosed persistent cache is reported like an unclosed file. It is not
        # closed here: a Server may still serve its store, and the native object's
        # release already leaves the log whole and the directory unlocked.
        try:
            if not self._closed and not self._forked and self._persist_dir is not None:
                warnings.warn(
                    f"persistent vellum.Cache({self._persist_dir!r}) was not closed; use 'with' or close()",
                    ResourceWarning,
                    source=self,
                )
        except Exception:
            pass  # interpreter shutdown may already have torn down warnings

    def __reduce_ex__(self, protocol: Any) -> NoReturn:
        raise TypeError(
            "a vellum.Cache cannot be pickled: it owns a live store; pass its settings "
            "and open a Cache in the other process instead"
        )

    def __repr__(self) -> str:
        where = f"persist_dir={self._persist_dir!r}" if self._persist_dir else "in-memory"
        state = ", closed" if self._closed else ""
        return f"<vellum.Cache {where}, codec={self.codec.name}{state}>"

    @property
    def persistent(self) -> bool:
        return self._native.persistent

    @property
    def persist_stats(self) -> dict[str, Any] | None:
        stats = self._native.persist_stats
        return None if stats is None else dict(stats)

    def _check_last_error(self) -> None:
        if self._persist_dir is None or self._forked:
            return
        stats = self._native.persist_stats
        message = None if stats is None else stats["last_error"]
        if message is not None and message != self._last_error:
            logger.warning("vellum persistence in %s: %s", self._persist_dir, message)
        self._last_error = message

    # ---- mapping protocol ----

    if TYPE_CHECKING:
        # Implemented by _vellum.CacheBase (see cache_base_type.cpp): reads decode with the
        # codec (the bytes codec passes values through), writes encode, a missing key
        # raises KeyError.
        def __getitem__(self, key: Key) -> V: ...
        def __setitem__(self, key: Key, value: V) -> None: ...
        def __delitem__(self, key: Key) -> None: ...

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, (str, bytes)):
            return False
        return self._exists(key)

    def __len__(self) -> int:
        return len(self._native)

    def __iter__(self) -> Iterator[bytes]:
        return iter(self._native.keys())

    if TYPE_CHECKING:
        # Implemented by _vellum.CacheBase. get returns default for a missing key. set
        # stores value and returns whether it was written (nx: only if absent, xx: only if
        # present); ttl is in seconds (int, float) or a timedelta, kept to the millisecond,
        # at least 1 ms.
        @overload
        def get(self, key: Key) -> V | None: ...
        @overload
        def get(self, key: Key, default: V) -> V: ...
        @overload
        def get(self, key: Key, default: D) -> V | D: ...
        def get(self, key: Key, default: object = None) -> object: ...
        def set(self, key: Key, value: V, ttl: TTL | None = None, nx: bool = False, xx: bool = False) -> bool: ...

    _NO_DEFAULT: Any = object()

    @overload
    def pop(self, key: Key) -> V: ...
    @overload
    def pop(self, key: Key, default: V) -> V: ...
    @overload
    def pop(self, key: Key, default: D) -> V | D: ...
    def pop(self, key: Key, default: object = _NO_DEFAULT) -> object:
        """Removes key and returns its value. A read and a delete: a concurrent write
        between them may be removed without being returned."""
        data = self._get(key)
        if data is None or not self._delete(key):
            if default is Cache._NO_DEFAULT:
                raise KeyError(key)
            return default
        return data if self._raw else self._decode(data)

    def popitem(self) -> tuple[bytes, V]:
        for key in self._native.keys():
            data = self._get(key)
            if data is not None and self._delete(key):
                value: Any = data if self._raw else self._decode(data)
                return key, value
        raise KeyError("popitem(): cache is empty")

    def setdefault(self, key: Key, default: V) -> V:
        """Returns the value at key, storing default first when the key is absent (atomic)."""
        data = self._encode(default)
        while True:
            if self._set(key, data, None, None, True, False):
                return default
            current = self._get(key)
            if current is not None:
                return current if self._raw else self._decode(current)  # type: ignore[return-value]
            # Deleted or expired between the two calls: try to store the default again.

    def update(  # type: ignore[override]
        self, other: SupportsKeysAndGetItem[Key, V] | Iterable[tuple[Key, V]] = (), /, **kwargs: V
    ) -> None:
        """Stores every pair in one native call; each pair replaces any earlier value."""
        encode = self._encode
        pairs: dict[Key, bytes] = {}
        if hasattr(other, "keys"):
            for k in other.keys():
                pairs[k] = encode(other[k])  # type: ignore[index]
        else:
            for k, v in other:
                pairs[k] = encode(v)
        for k, v in kwargs.items():
            pairs[k] = encode(v)
        if pairs:
            self._mset(pairs)

    def clear(self) -> None:
        """Removes every key of the cache (namespaces included)."""
        self._native.flush()

    # ---- forwarded data methods ----

    def mget(self, keys: Iterable[Key]) -> list[V | None]:
        found = self._mget(keys)
        if self._raw:
            raw: Any = found
            return raw  # type: ignore[no-any-return]
        decode = self._decode
        return [None if d is None else decode(d) for d in found]

    def delete(self, *keys: Key) -> int:
        return self._delete(*keys)

    def exists(self, key: Key) -> bool:
        return self._exists(key)

    def expire(self, key: Key, ttl: TTL) -> bool:
        """Gives a live key a TTL (seconds or timedelta); False when the key is missing."""
        return self._native.pexpire(key, ttl_to_ms(ttl))

    def persist(self, key: Key) -> bool:
        return self._native.persist(key)

    def ttl(self, key: Key) -> float | None:
        """Seconds left to live; None without expiry; KeyError when the key is missing."""
        ms = self._native.pttl(key)
        if ms == -2:
            raise KeyError(key)
        return None if ms == -1 else ms / 1000

    def pttl(self, key: Key) -> int:
        return self._native.pttl(key)

    def incr(self, key: Key, amount: int = 1) -> int:
        return self._native.incr(key, amount)

    def decr(self, key: Key, amount: int = 1) -> int:
        return self._native.decr(key, amount)

    def match(self, pattern: str = "*") -> list[bytes]:
        """The live keys matching a glob pattern (*, ?, [...], backslash escapes)."""
        return self._native.keys(pattern)

    # ---- further string and key operations ----

    def _decoded(self, data: bytes | None) -> V | None:
        if data is None:
            return None
        return data if self._raw else self._decode(data)  # type: ignore[return-value]

    def getdel(self, key: Key) -> V | None:
        """Removes the key and returns its value; None when it was missing."""
        return self._decoded(self._native.getdel(key))

    def getset(self, key: Key, value: V) -> V | None:
        """Stores value without expiry and returns the previous value (None when missing)."""
        data = value if self._raw and type(value) is bytes else self._encode(value)
        return self._decoded(self._native.getset(key, data))  # type: ignore[arg-type]

    def getex(self, key: Key, ttl: TTL | None = None, persist: bool = False) -> V | None:
        """Returns the value and gives the key a new TTL (or none with persist=True)."""
        if ttl is not None:
            return self._decoded(self._native.getex(key, px=ttl_to_ms(ttl)))
        return self._decoded(self._native.getex(key, persist=persist))

    def strlen(self, key: Key) -> int:
        """Length in bytes of the stored (encoded) value; 0 when the key is missing."""
        return self._native.strlen(key)

    def incrbyfloat(self, key: Key, amount: float) -> float:
        return self._native.incrbyfloat(key, amount)

    def type(self, key: Key) -> str:
        """"string", "list", "hash" or "set"; "none" when the key is missing."""
        return self._native.type(key)

    def rename(self, src: Key, dst: Key) -> None:
        """Moves src's value and TTL to dst, replacing it; KeyError when src is missing."""
        self._native.rename(src, dst)

    def renamenx(self, src: Key, dst: Key) -> bool:
        """As rename, only when dst is missing; False when it is present."""
        return self._native.renamenx(src, dst)

    def scan_iter(self, match: str | None = None, count: int = 100) -> Iterator[bytes]:
        """Yields the live keys (matching a glob pattern) a few at a time, never holding a
        lock between batches: every key present throughout is yielded at least once, some
        possibly twice."""
        cursor = 0
        while True:
            cursor, keys = self._native.scan(cursor, match, count)
            yield from keys
            if cursor == 0:
                return

    @property
    def used_memory(self) -> int:
        return self._native.used_memory

    # ---- statistics, namespaces, memoization ----

    def stats(self) -> CacheStats:
        """Counts of the native store now; RuntimeError when the native module has none."""
        counters = getattr(self._native, "_counters", None)
        if counters is None:
            raise RuntimeError(
                "stats() needs _vellum.Cache._counters(), which this build of the native module "
                "lacks; rebuild or upgrade vellum"
            )
        counts = counters()
        self._check_last_error()
        return CacheStats.from_counts(counts, len(self._native), self._native.used_memory, self._max_memory)

    def namespace(self, prefix: Key) -> Namespace[V]:
        """A view of the keys that start with prefix, presented without it."""
        return Namespace(self, key_bytes(prefix))

    def memoize(
        self,
        ttl: TTL | None = 60,
        typed: bool = False,
        key: Callable[..., Key] | None = None,
        codec: Codec[Any] | None = None,
    ) -> Memoizer:
        """A decorator caching a function's results in this cache; see `vellum.memoize`."""
        return Memoizer(self, ttl=ttl, typed=typed, key=key, codec=codec)


    # ---- transactions ----

    def transaction(self) -> Transaction[V]:
        """A transaction: operations recorded in a `with` block run together when it ends.

        No other thread or server connection observes part of it, and a persistent cache
        logs it as one record, so a crash keeps all of it or none. Results are in
        `tx.results` after the block, in order; reads inside the block return nothing.
        """
        return Transaction(self)


def _make_private_dir(path: str) -> None:
    # A data directory holds every cached value; one vellum creates is readable by its
    # owner only. An existing directory keeps the mode its owner gave it.
    if os.path.isdir(path):
        return
    try:
        os.makedirs(path, mode=0o700)
    except FileExistsError:
        return
    os.chmod(path, 0o700)
