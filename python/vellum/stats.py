"""The statistics snapshot returned by `Cache.stats()`."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["CacheStats"]


@dataclass(frozen=True, slots=True)
class CacheStats:
    """Counts of one cache at one moment.

    hits, misses, evictions and expired count since the store was built (not since the
    data directory was first used). keys counts live keys only, the same number as
    len(cache); used_memory and max_memory are bytes, max_memory 0 meaning no ceiling.
    hit_rate is hits / (hits + misses), 0.0 before the first lookup.
    """

    hits: int
    misses: int
    evictions: int
    expired: int
    keys: int
    used_memory: int
    max_memory: int
    hit_rate: float

    @classmethod
    def from_counts(cls, counters: dict[str, int], keys: int, used_memory: int, max_memory: int) -> CacheStats:
        hits, misses = counters["hits"], counters["misses"]
        lookups = hits + misses
        return cls(
            hits=hits,
            misses=misses,
            evictions=counters["evictions"],
            expired=counters["expired"],
            keys=keys,
            used_memory=used_memory,
            max_memory=max_memory,
            hit_rate=hits / lookups if lookups else 0.0,
        )
