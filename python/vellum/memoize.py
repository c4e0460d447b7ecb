"""Memoization into a `vellum.Cache`: one decorator for plain and async functions.

Results are stored in the cache under "memo:{module}.{qualname}:{arguments}", encoded
by the memoizer's codec (the cache's own codec unless one is given), so a memoized
function's return values must be values that codec can hold: bytes for the default
cache, anything JSON can hold for codec="json", anything at all for a `PickleCodec`.
Keys are built from the arguments' values, never from their identity, so they mean the
same in every process that shares a persistent cache or a server; arguments other than
None, bool, int, float, str, bytes and tuples, lists, sets and dicts of those need
`key=`, a function of the same arguments returning a str or bytes key.

A plain (not async) memoized function remembers the values its recent hits decoded.
A later call with equal positional arguments of the simple types above (str, bytes,
int, float, bool, None) gets the remembered value without a copy or a decode, after one
check that the stored entry is live and has not been written since; any write,
deletion, expiry or eviction of the entry, from any thread or through a server, makes
the call read the store again. Only immutable values (str, bytes, numbers, None and
tuples and frozensets of those) are shared between calls this way; a mutable result is
decoded afresh on every call, so a caller may change what it gets.
"""

from __future__ import annotations

import asyncio
import functools
import hashlib
import inspect
import threading
from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any, NamedTuple, ParamSpec, Protocol, TypeVar, overload

from . import _vellum
from .codecs import Codec
from .keys import TTL, Key, glob_escape, key_bytes, ttl_to_ms

if TYPE_CHECKING:
    # For annotations only: vellum.cache imports this module to build Cache.memoize, so
    # a run-time import of it here would be a cycle.
    from .cache import Cache

__all__ = ["CacheInfo", "Memoized", "AsyncMemoized", "Memoizer", "make_key"]

P = ParamSpec("P")
R = TypeVar("R")

# Argument keys longer than this are replaced by a digest so keys stay short.
_MAX_ARG_TEXT = 200


class CacheInfo(NamedTuple):
    """As functools' cache_info(): maxsize is always None (the cache's memory ceiling
    bounds it instead) and currsize counts this function's live entries."""

    hits: int
    misses: int
    maxsize: int | None
    currsize: int


class Memoized(Protocol[P, R]):
    """A memoized function: the original signature plus cache control."""

    __wrapped__: Callable[P, R]

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> R: ...
    def cache_info(self) -> CacheInfo: ...
    def cache_clear(self) -> None: ...
    def invalidate(self, *args: P.args, **kwargs: P.kwargs) -> bool: ...


class AsyncMemoized(Protocol[P, R]):
    """A memoized coroutine function."""

    __wrapped__: Callable[P, Coroutine[Any, Any, R]]

    def __call__(self, *args: P.args, **kwargs: P.kwargs) -> Coroutine[Any, Any, R]: ...
    def cache_info(self) -> CacheInfo: ...
    def cache_clear(self) -> None: ...
    def invalidate(self, *args: P.args, **kwargs: P.kwargs) -> bool: ...


_SIMPLE = (str, bytes, int, type(None))
_FAST = frozenset((str, bytes, int))


def _canon(value: object, typed: bool) -> str:
    kind = type(value)
    if kind in _SIMPLE or kind is float:
        if not typed:
            # Equal numbers share one entry, as with functools: f(1), f(1.0), f(True).
            if kind is bool or (kind is float and value.is_integer()):  # type: ignore[attr-defined]
                return repr(int(value))  # type: ignore[call-overload]
            return repr(value)
        return f"{kind.__name__}:{value!r}"
    if kind is bool:
        return repr(int(value)) if not typed else f"bool:{value!r}"  # type: ignore[call-overload]
    if kind is tuple or kind is list:
        inner = ",".join(_canon(v, typed) for v in value)  # type: ignore[attr-defined]
        return f"({inner})" if kind is tuple else f"[{inner}]"
    if kind is frozenset or kind is set:
        return "{" + ",".join(sorted(_canon(v, typed) for v in value)) + "}"  # type: ignore[attr-defined]
    if kind is dict:
        pairs = sorted(f"{_canon(k, typed)}:{_canon(v, typed)}" for k, v in value.items())  # type: ignore[attr-defined]
        return "{" + ",".join(pairs) + "}"
    raise TypeError(
        f"memoize cannot build a key from a {kind.__name__} argument; pass key=lambda *args, **kwargs: ... "
        "returning a str or bytes"
    )


def make_key(args: tuple[Any, ...], kwargs: dict[str, Any], typed: bool) -> str:
    """The argument part of a memo key: a canonical text, or a digest of a long one."""
    if not kwargs and len(args) == 1 and type(args[0]) in _FAST:
        text = repr(args[0])  # the common case, rendered exactly as _canon would
        if len(text) <= _MAX_ARG_TEXT:
            return text
    text = ",".join([_canon(a, typed) for a in args])
    if kwargs:
        text += ";" + ",".join(f"{k}={_canon(kwargs[k], typed)}" for k in sorted(kwargs))
    if len(text) > _MAX_ARG_TEXT:
        text = "#" + hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=20).hexdigest()
    return text


class _KeyLocks:
    """One lock per key being computed, dropped when its last waiter leaves."""

    def __init__(self) -> None:
        self._guard = threading.Lock()
        self._locks: dict[bytes, tuple[threading.Lock, int]] = {}

    def acquire(self, key: bytes) -> threading.Lock:
        with self._guard:
            lock, users = self._locks.get(key, (None, 0))
            if lock is None:
                lock = threading.Lock()
            self._locks[key] = (lock, users + 1)
        lock.acquire()
        return lock

    def release(self, key: bytes, lock: threading.Lock) -> None:
        lock.release()
        with self._guard:
            _, users = self._locks[key]
            if users == 1:
                del self._locks[key]
            else:
                self._locks[key] = (lock, users - 1)


class _Memo:
    """State shared by the wrapper of one function."""

    def __init__(
        self, cache: Cache[Any], fn: Callable[..., Any], ttl: TTL | None, typed: bool,
        key: Callable[..., Key] | None, codec: Codec[Any],
    ) -> None:
        self.cache = cache
        self.native = cache.native
        self.px = None if ttl is None else ttl_to_ms(ttl)
        self.typed = typed
        self.key_fn = key
        self.encode = codec.encode
        self.decode = codec.decode
        self.prefix = f"memo:{fn.__module__}.{fn.__qualname__}:".encode()
        # Counters are bumped with the interpreter lock held and no call in between, so
        # no update is lost between threads; they count calls of this process only.
        self.hits = 0
        self.misses = 0
        self.locks = _KeyLocks()
        self.inflight: dict[bytes, asyncio.Future[Any]] = {}
        # The native callable of a plain function, which answers calls from the values it
        # remembers and counts those hits itself; None for a coroutine function.
        self.remembered: _vellum.Memo | None = None

    def key(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bytes:
        if self.key_fn is not None:
            return self.prefix + key_bytes(self.key_fn(*args, **kwargs))
        return self.prefix + make_key(args, kwargs, self.typed).encode("utf-8", "surrogatepass")

    def store(self, key: bytes, value: Any) -> None:
        self.native.set(key, self.encode(value), None, self.px)

    def info(self) -> CacheInfo:
        live = len(self.native.keys(glob_escape(self.prefix)))
        hits = self.hits + (self.remembered._hits if self.remembered is not None else 0)
        return CacheInfo(hits, self.misses, None, live)

    def clear(self) -> None:
        keys = self.native.keys(glob_escape(self.prefix))
        if keys:
            self.native.delete(*keys)
        if self.remembered is not None:
            self.remembered._clear()
        self.hits = self.misses = 0

    def invalidate(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool:
        return bool(self.native.delete(self.key(args, kwargs)))


_SCALARS = frozenset((str, bytes, int, float, bool, complex, type(None)))


def _immutable(value: object) -> bool:
    """Whether value, returned from a remembered decode, can be shared between callers
    without one caller's change showing in another's result."""
    kind = type(value)
    if kind in _SCALARS:
        return True
    if kind is tuple or kind is frozenset:
        return all(_immutable(v) for v in value)  # type: ignore[attr-defined]
    return False


def _wrap_sync(memo: _Memo, fn: Callable[P, R]) -> Memoized[P, R]:
    prefix, decode, custom_key = memo.prefix, memo.decode, memo.key_fn is not None

    def found(args: tuple[Any, ...], kwargs: dict[str, Any], key: bytes, hit: tuple[bytes, int]) -> Any:
        memo.hits += 1
        value = decode(hit[0])
        # Later calls with these arguments get this very object while the entry keeps
        # this version, so only an immutable one is shared; a mutable result is decoded
        # afresh on every call.
        if not kwargs and _immutable(value):
            remember(args, key, hit[1], value)
        return value

    # Every call that the native Memo cannot answer from a remembered value.
    def miss(*args: Any, **kwargs: Any) -> Any:
        # The common call, one str, bytes or int argument, builds its key inline.
        if not kwargs and not custom_key and len(args) == 1 and type(args[0]) in _FAST:
            text = repr(args[0])
            key = prefix + text.encode("utf-8", "surrogatepass") if len(text) <= _MAX_ARG_TEXT else memo.key(args, kwargs)
        else:
            key = memo.key(args, kwargs)
        hit = load(key)
        if hit is not None:
            return found(args, kwargs, key, hit)
        # Concurrent callers with one key wait here for a single computation.
        lock = memo.locks.acquire(key)
        try:
            hit = load(key)
            if hit is not None:
                return found(args, kwargs, key, hit)
            memo.misses += 1
            result = fn(*args, **kwargs)  # an exception leaves nothing stored
            memo.store(key, result)
            return result
        finally:
            memo.locks.release(key, lock)

    # A custom key function maps arguments to keys in ways argument equality does not
    # see, so its calls are never answered from remembered values.
    native = _vellum.Memo(memo.native, miss, typed=memo.typed, fast=not custom_key)
    load, remember = native._load, native._remember
    memo.remembered = native
    functools.update_wrapper(native, fn)
    memoized: Any = _attach(native, memo)
    return memoized  # type: ignore[no-any-return]


def _wrap_async(memo: _Memo, fn: Callable[P, Coroutine[Any, Any, R]]) -> AsyncMemoized[P, R]:
    get = memo.native.get

    async def compute(key: bytes, args: Any, kwargs: Any) -> R:
        # Runs as its own task, awaited through shield(), so a cancelled caller does not
        # cancel the computation the other callers wait for.
        result = await fn(*args, **kwargs)
        memo.store(key, result)
        return result

    @functools.wraps(fn)
    async def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        key = memo.key(args, kwargs)
        data = get(key)
        if data is not None:
            memo.hits += 1
            return memo.decode(data)  # type: ignore[no-any-return]
        task = memo.inflight.get(key)
        if task is not None and task.get_loop() is asyncio.get_running_loop():
            memo.hits += 1
        else:
            memo.misses += 1
            task = asyncio.ensure_future(compute(key, args, kwargs))
            memo.inflight[key] = task
            task.add_done_callback(functools.partial(_forget, memo.inflight, key))
        result: R = await asyncio.shield(task)
        return result

    memoized: Any = _attach(wrapper, memo)
    return memoized  # type: ignore[no-any-return]


def _forget(inflight: dict[bytes, asyncio.Future[Any]], key: bytes, task: asyncio.Future[Any]) -> None:
    if inflight.get(key) is task:
        del inflight[key]


def _attach(wrapper: Any, memo: _Memo) -> Any:
    wrapper.cache_info = memo.info
    wrapper.cache_clear = memo.clear
    wrapper.invalidate = lambda *args, **kwargs: memo.invalidate(args, kwargs)
    wrapper.cache_parameters = lambda: {"ttl_ms": memo.px, "typed": memo.typed, "prefix": memo.prefix}
    return wrapper


class Memoizer:
    """What `Cache.memoize(...)` returns: apply it to a function or coroutine function.

    Concurrent calls with one key run the function once: threads wait on a per-key lock,
    asyncio tasks of one event loop await one shared task. A call that raises stores
    nothing, so the next call computes again. ttl None stores results without expiry.
    """

    def __init__(
        self, cache: Cache[Any], ttl: TTL | None = 60, typed: bool = False,
        key: Callable[..., Key] | None = None, codec: Codec[Any] | None = None,
    ) -> None:
        self._cache = cache
        self._ttl = ttl
        self._typed = typed
        self._key = key
        self._codec = codec if codec is not None else cache.codec
        if ttl is not None:
            ttl_to_ms(ttl)  # refuse a bad ttl at decoration time, not at the first call

    @overload
    def __call__(  # type: ignore[overload-overlap]
        self, fn: Callable[P, Coroutine[Any, Any, R]]
    ) -> AsyncMemoized[P, R]: ...
    @overload
    def __call__(self, fn: Callable[P, R]) -> Memoized[P, R]: ...
    def __call__(self, fn: Callable[..., Any]) -> Any:
        memo = _Memo(self._cache, fn, self._ttl, self._typed, self._key, self._codec)
        if inspect.iscoroutinefunction(fn):
            return _wrap_async(memo, fn)
        return _wrap_sync(memo, fn)
