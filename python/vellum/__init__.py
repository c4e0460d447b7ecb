"""vellum: an in-process cache with a C++ core.

`Cache` is a bytes-level key-value store with expiry, an optional memory ceiling and
optional durability in a data directory; `Server` serves a cache's data to RESP2 clients.
"""

from ._vellum import Cache, CacheLockedError, CorruptDataError, Server

__all__ = ["Cache", "Server", "CacheLockedError", "CorruptDataError"]
