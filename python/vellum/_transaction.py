"""`Cache.transaction()`: operations recorded in a `with` block, run as one when it ends."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, TypeVar, cast

from .keys import TTL, Key, key_bytes, ttl_to_ms

if TYPE_CHECKING:
    # For annotations only: vellum.cache imports this module to build Cache.transaction.
    from .cache import Cache

V = TypeVar("V")


class Transaction(Generic[V]):
    """Operations of one `Cache.transaction()`; they run when the `with` block ends.

    An exception inside the block discards them. A command the cache refuses before running
    (unknown, wrong arguments) raises ValueError and nothing runs; one that fails while
    running (TypeError for the wrong kind of value) stands in `results` as its exception
    while the others run.
    """

    def __init__(self, cache: Cache[V]) -> None:
        self._cache = cache
        self._commands: list[list[bytes | str]] = []
        self._decoders: list[bool] = []
        self.results: list[Any] = []

    def __enter__(self) -> Transaction[V]:
        return self

    def __exit__(self, exc_type: object, exc: object, tb: object) -> None:
        if exc_type is None:
            self.execute()

    def call(self, *words: Key | int) -> None:
        """Queues one command in the server's own words, e.g. call("HSET", "h", "f", "v")."""
        self._commands.append([w if isinstance(w, (bytes, str)) else str(w) for w in words])
        self._decoders.append(False)

    def set(self, key: Key, value: V, ttl: TTL | None = None) -> None:
        c = self._cache
        data = value if c._raw and type(value) is bytes else c._encode(value)
        words: list[bytes | str] = ["SET", key_bytes(key), cast(bytes, data)]
        if ttl is not None:
            words += ["PX", str(ttl_to_ms(ttl))]
        self._commands.append(words)
        self._decoders.append(False)

    def get(self, key: Key) -> None:
        self._commands.append(["GET", key_bytes(key)])
        self._decoders.append(True)

    def delete(self, *keys: Key) -> None:
        self.call("DEL", *(key_bytes(k) for k in keys))

    def incr(self, key: Key, amount: int = 1) -> None:
        self.call("INCRBY", key_bytes(key), amount)

    def execute(self) -> list[Any]:
        """Runs the queued operations as one transaction and returns their results."""
        commands, decoders = self._commands, self._decoders
        self._commands, self._decoders = [], []
        if not commands:
            self.results = []
            return self.results
        c = self._cache
        raw = c._native.transaction(commands)
        self.results = [
            (r if c._raw or r is None or isinstance(r, BaseException) else c._decode(r)) if d else r
            for r, d in zip(raw, decoders)
        ]
        return self.results
