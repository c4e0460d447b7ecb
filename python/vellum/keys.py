"""Keys and TTLs in the forms the Python wrapper accepts, and their stored forms.

A key is str or bytes and is stored as bytes (str as UTF-8); a TTL is seconds (int or
float) or a timedelta and is stored as whole milliseconds. `vellum.cache` and
`vellum.memoize` both build on these helpers; this module imports nothing else of the
package, so either can import it without an import cycle.
"""

from __future__ import annotations

import math
from datetime import timedelta

__all__ = ["Key", "TTL", "key_bytes", "ttl_to_ms", "glob_escape"]

Key = str | bytes
TTL = float | int | timedelta


def ttl_to_ms(ttl: TTL) -> int:
    """Milliseconds for a TTL in seconds (int or float) or a timedelta; at least 1 ms.

    Raises ValueError for a TTL that is zero, negative or not finite, TypeError for a
    bool or any other type.
    """
    if isinstance(ttl, timedelta):
        if ttl <= timedelta(0):
            raise ValueError(f"ttl must be positive, not {ttl!r}")
        return max(1, round(ttl / timedelta(milliseconds=1)))
    if isinstance(ttl, bool) or not isinstance(ttl, (int, float)):
        raise TypeError(f"ttl must be seconds as an int or float, or a timedelta, not {type(ttl).__name__}")
    if not ttl > 0 or not math.isfinite(ttl):
        raise ValueError(f"ttl must be a positive number of seconds, not {ttl!r}")
    return max(1, round(ttl * 1000))


def key_bytes(key: Key) -> bytes:
    """The stored form of a key: bytes as they are, str as UTF-8."""
    if isinstance(key, bytes):
        return key
    if isinstance(key, str):
        return key.encode("utf-8")
    raise TypeError(f"keys must be str or bytes, not {type(key).__name__}")


def glob_escape(prefix: bytes) -> str:
    """A key pattern matching exactly the keys that start with `prefix`."""
    text = prefix.decode("utf-8", "surrogateescape")
    for ch in "\\*?[]":
        text = text.replace(ch, "\\" + ch)
    return text + "*"
