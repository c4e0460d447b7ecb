"""vellum: an in-process cache with a C++ core.

`Cache` is a thread-safe mapping with per-key expiry, an optional memory ceiling with
approximate-LRU eviction, value codecs, memoization and optional durability in a data
directory. `Server` serves a cache's data to RESP2 clients. The bytes-level native class
stays reachable as `vellum._vellum.Cache` (and as `Cache.native` on an instance).
"""

from ._vellum import CacheLockedError, CorruptDataError, Server
from .cache import Cache, ForkedCacheError, Namespace
from .codecs import CodecError, PickleCodec, SignatureError
from .stats import CacheStats

__version__ = "0.1.0"

__all__ = [
    "Cache",
    "Server",
    "CacheLockedError",
    "CorruptDataError",
    "ForkedCacheError",
    "Namespace",
    "PickleCodec",
    "CodecError",
    "SignatureError",
    "CacheStats",
]
