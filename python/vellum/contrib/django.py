"""A Django cache backend over an in-process `vellum.Cache`.

    CACHES = {
        "default": {
            "BACKEND": "vellum.contrib.django.VellumCache",
            "LOCATION": "/var/cache/mysite",          # optional: a persistent data directory
            "TIMEOUT": 300,
            "OPTIONS": {"max_memory": "256MiB", "policy": "allkeys-lru"},
        }
    }

Every backend instance of one store shares one `vellum.Cache` in the process: the store
of a LOCATION is its directory, and the in-memory store is named by OPTIONS "name" (""
by default), so aliases that differ only in KEY_PREFIX, VERSION or KEY_FUNCTION are views
of one store, as LocMemCache's aliases with one LOCATION are. Values are pickled; with a
LOCATION the pickles are HMAC-signed with a key derived from SECRET_KEY, because a data
directory is a file that others may be able to edit.
"""

from __future__ import annotations

import atexit
import contextlib
import logging
import math
import os
import pickle
import threading
from collections.abc import Iterable, Iterator, Mapping
from datetime import timedelta
from typing import Any

from django.conf import settings
from django.core.cache.backends.base import DEFAULT_TIMEOUT, BaseCache, InvalidCacheBackendError
from django.utils.crypto import salted_hmac
from django.utils.module_loading import import_string

from ..cache import Cache
from ..codecs import Codec, PickleCodec, SignatureError, resolve_codec

__all__ = ["VellumCache"]

logger = logging.getLogger("vellum")

# OPTIONS this backend reads; anything else is refused so that a misspelt or unsupported
# option (Django's MAX_ENTRIES, say: this store is bounded by max_memory) fails loudly.
_OPTIONS = frozenset({"max_memory", "policy", "shards", "fsync", "snapshot_interval", "codec", "name"})

# A timeout longer than this many seconds (about 31,700 years) is kept without expiry;
# the store counts expiry in signed 64-bit milliseconds.
_LONGEST_TIMEOUT = 10**12

# Writers that create a value or change its expiry take one of these locks, chosen by the
# key, so that incr()'s read-modify-write is atomic against them (see VellumCache.incr).
_STRIPES = 64


class _PlainPickle:
    """Pickles for a store no one else can write: an in-memory cache of this process."""

    name = "pickle"

    def encode(self, value: Any) -> bytes:
        return pickle.dumps(value, pickle.HIGHEST_PROTOCOL)

    def decode(self, data: bytes) -> Any:
        return pickle.loads(data)


class _SignedPickle:
    """Signed pickles under SECRET_KEY, still readable after a rotation that keeps the
    old key in SECRET_KEY_FALLBACKS. A payload no key verifies is never unpickled."""

    name = "pickle"

    def __init__(self, keys: list[bytes]) -> None:
        self._codecs = [PickleCodec(key) for key in keys]
        self.encode = self._codecs[0].encode

    def decode(self, data: bytes) -> Any:
        for codec in self._codecs[:-1]:
            try:
                return codec.decode(data)
            except SignatureError:
                continue
        return self._codecs[-1].decode(data)


def _signing_key(secret: str | bytes) -> bytes:
    digest: bytes = salted_hmac("vellum.contrib.django.VellumCache", "pickle", secret=secret, algorithm="sha256").digest()
    return digest


def _value_codec(option: Any, persistent: bool) -> Codec[Any]:
    if option is None or option == "pickle":
        if not persistent:
            return _PlainPickle()
        secrets = [settings.SECRET_KEY, *getattr(settings, "SECRET_KEY_FALLBACKS", ())]
        return _SignedPickle([_signing_key(secret) for secret in secrets])
    if isinstance(option, str) and "." in option:
        found = import_string(option)
        return found() if isinstance(found, type) else found  # type: ignore[no-any-return]
    return resolve_codec(option)


class _Store:
    """One `vellum.Cache` with the value codec and the write locks its backends share."""

    def __init__(self, location: str | None, options: Mapping[str, Any]) -> None:
        self.location = location
        self.options = dict(options)
        self.codec = _value_codec(options.get("codec"), location is not None)
        self.cache: Cache[bytes] = Cache(
            max_memory=options.get("max_memory", 0),
            policy=options.get("policy", "noeviction"),
            shards=options.get("shards", 64),
            persist_dir=location,
            fsync=options.get("fsync", "everysec"),
            snapshot_interval=options.get("snapshot_interval", 300),
        )
        self.locks = tuple(threading.Lock() for _ in range(_STRIPES))

    def lock(self, key: str) -> threading.Lock:
        return self.locks[hash(key) % _STRIPES]

    @contextlib.contextmanager
    def lock_all(self, keys: Iterable[str]) -> Iterator[None]:
        # Stripes are taken in index order, so two bulk writers never wait on each other
        # in a cycle.
        held = [self.locks[i] for i in sorted({hash(k) % _STRIPES for k in keys})]
        with contextlib.ExitStack() as stack:
            for lock in held:
                stack.enter_context(lock)
            yield


_stores: dict[tuple[str, str], _Store] = {}
_stores_lock = threading.Lock()


def _new_locks_in_child() -> None:
    # A lock that another thread held at fork() stays held in the child, whose copy of
    # that thread does not exist; the child gets fresh ones. (A persistent store itself
    # refuses use in the child: see ForkedCacheError.)
    global _stores_lock
    _stores_lock = threading.Lock()
    for store in _stores.values():
        store.locks = tuple(threading.Lock() for _ in range(_STRIPES))


os.register_at_fork(after_in_child=_new_locks_in_child)


def _open_store(location: str, options: Mapping[str, Any]) -> _Store:
    unknown = set(options) - _OPTIONS
    if unknown:
        raise InvalidCacheBackendError(
            f"VellumCache does not support OPTIONS {sorted(unknown)}; it reads {sorted(_OPTIONS)} "
            "(the store is bounded by max_memory with an eviction policy, not by an entry count)"
        )
    path = os.path.realpath(os.fspath(location)) if location else None
    ident = ("dir", path) if path is not None else ("memory", str(options.get("name", "")))
    with _stores_lock:
        store = _stores.get(ident)
        if store is None:
            store = _Store(path, options)
            _stores[ident] = store
            if path is not None:
                # A final snapshot at exit, and the directory lock released.
                atexit.register(store.cache.close)
        elif store.options != dict(options):
            raise InvalidCacheBackendError(
                f"VellumCache store {ident[1]!r} is already open in this process with OPTIONS "
                f"{store.options!r}; every alias using it must give the same OPTIONS"
            )
    return store


class VellumCache(BaseCache):  # type: ignore[misc]  # Django ships no type information
    """Django's cache API over a shared in-process `vellum.Cache`.

    Timeouts follow Django: None keeps a value forever, 0 (or less) stores nothing and
    removes the key, and an omitted timeout is the alias's TIMEOUT. `add` is atomic;
    `incr`/`decr` raise ValueError for a missing key and are atomic for every value.
    `close()` keeps the store open: Django calls it after every request, and the store
    belongs to the process (a persistent one is closed at interpreter exit).
    """

    def __init__(self, location: str, params: dict[str, Any]) -> None:
        super().__init__(params)
        self._store = _open_store(location, params.get("OPTIONS") or {})
        self._cache = self._store.cache
        self._encode = self._store.codec.encode
        self._decode = self._store.codec.decode

    def get_backend_timeout(self, timeout: Any = DEFAULT_TIMEOUT) -> float | None:
        """Seconds to live, 0 for "expire now", or None for no expiry.

        Relative, unlike BaseCache's absolute time, because the store takes relative TTLs.
        """
        if timeout is DEFAULT_TIMEOUT:
            timeout = self.default_timeout
        if timeout is None:
            return None
        seconds = float(timeout)
        if seconds > _LONGEST_TIMEOUT or math.isnan(seconds):
            return None
        return max(0.0, seconds)

    def _load(self, key: str, data: bytes, default: Any, locked: bool = False) -> Any:
        try:
            return self._decode(data)
        except SignatureError:
            pass
        # A payload that fails its signature check was not written by this site under its
        # current or fallback SECRET_KEY. It is never unpickled: it reads as a miss and is
        # removed, unless a writer has replaced it meanwhile (writers hold the key's lock,
        # so the comparison and the delete see the same value).
        logger.warning("vellum Django cache: the value at %r fails its signature check; dropped unread", key)
        with contextlib.nullcontext() if locked else self._store.lock(key):
            if self._cache.get(key) == data:
                self._cache.delete(key)
        return default

    def add(self, key: Any, value: Any, timeout: Any = DEFAULT_TIMEOUT, version: int | None = None) -> bool:
        key = self.make_and_validate_key(key, version=version)
        data = self._encode(value)  # outside the lock: pickling may run arbitrary code
        ttl = self.get_backend_timeout(timeout)
        with self._store.lock(key):
            if ttl == 0:
                # Added and expired at once: the answer is whether it could be added.
                return not self._cache.exists(key)
            return self._cache.set(key, data, ttl=ttl, nx=True)

    def get(self, key: Any, default: Any = None, version: int | None = None) -> Any:
        key = self.make_and_validate_key(key, version=version)
        data = self._cache.get(key)
        if data is None:
            return default
        return self._load(key, data, default)

    def set(self, key: Any, value: Any, timeout: Any = DEFAULT_TIMEOUT, version: int | None = None) -> None:
        key = self.make_and_validate_key(key, version=version)
        data = self._encode(value)
        ttl = self.get_backend_timeout(timeout)
        if ttl == 0:
            self._cache.delete(key)
            return
        with self._store.lock(key):
            self._cache.set(key, data, ttl=ttl)

    def touch(self, key: Any, timeout: Any = DEFAULT_TIMEOUT, version: int | None = None) -> bool:
        key = self.make_and_validate_key(key, version=version)
        ttl = self.get_backend_timeout(timeout)
        if ttl == 0:
            return self._cache.delete(key) > 0
        with self._store.lock(key):
            if ttl is None:
                return self._cache.persist(key) or self._cache.exists(key)
            return self._cache.expire(key, ttl)

    def delete(self, key: Any, version: int | None = None) -> bool:
        key = self.make_and_validate_key(key, version=version)
        return self._cache.delete(key) > 0

    def get_many(self, keys: Iterable[Any], version: int | None = None) -> dict[Any, Any]:
        made = {self.make_and_validate_key(key, version=version): key for key in keys}
        found: dict[Any, Any] = {}
        missing = object()
        for made_key, data in zip(made, self._cache.mget(list(made))):
            if data is not None:
                value = self._load(made_key, data, missing)
                if value is not missing:
                    found[made[made_key]] = value
        return found

    def has_key(self, key: Any, version: int | None = None) -> bool:
        key = self.make_and_validate_key(key, version=version)
        return self._cache.exists(key)

    def incr(self, key: Any, delta: int = 1, version: int | None = None) -> Any:
        """Adds delta to the value at key and returns the sum; ValueError if key is missing.

        Atomic for every value: the read, the addition and the write happen under the
        key's lock, which every writer that stores a value or changes an expiry (set,
        add, set_many, touch, incr) takes too. Deletes, clear(), expiry and eviction do
        not take it; they can only remove the key, and the write is conditional on the
        key still existing (xx), so a key removed meanwhile raises ValueError instead of
        coming back. The remaining time to live is carried over, as Django's own
        backends keep it.
        """
        made = self.make_and_validate_key(key, version=version)
        with self._store.lock(made):
            left_ms = self._cache.pttl(made)
            data = None if left_ms == -2 else self._cache.get(made)
            missing: Any = object()
            value = missing if data is None else self._load(made, data, missing, locked=True)
            if value is missing:
                raise ValueError(f"Key '{key}' not found")
            result = value + delta
            ttl = None if left_ms < 0 else timedelta(milliseconds=max(1, left_ms))
            if not self._cache.set(made, self._encode(result), ttl=ttl, xx=True):
                raise ValueError(f"Key '{key}' not found")
        return result

    def set_many(self, data: Mapping[Any, Any], timeout: Any = DEFAULT_TIMEOUT, version: int | None = None) -> list[Any]:
        pairs = {self.make_and_validate_key(key, version=version): self._encode(value) for key, value in data.items()}
        if not pairs:
            return []
        ttl = self.get_backend_timeout(timeout)
        if ttl == 0:
            self._cache.delete(*pairs)
            return []
        with self._store.lock_all(pairs):
            if ttl is None:
                self._cache.update(pairs)  # one native call
            else:
                for key, payload in pairs.items():
                    self._cache.set(key, payload, ttl=ttl)
        return []

    def delete_many(self, keys: Iterable[Any], version: int | None = None) -> None:
        made = [self.make_and_validate_key(key, version=version) for key in keys]
        if made:
            self._cache.delete(*made)

    def clear(self) -> None:
        """Empties the store, and with it every alias that shares the store."""
        self._cache.clear()

    def close(self, **kwargs: Any) -> None:
        """Nothing to release per request: the store stays open for the process."""
