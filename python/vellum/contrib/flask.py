"""The cachelib `VellumCache` as a Flask-Caching backend.

    app.config["CACHE_TYPE"] = "vellum.contrib.flask.VellumCache"
    app.config["CACHE_OPTIONS"] = {"max_memory": "64MiB", "policy": "allkeys-lru"}
    cache = flask_caching.Cache(app)

Flask-Caching builds the backend through `VellumCache.factory` with its
CACHE_DEFAULT_TIMEOUT, CACHE_IGNORE_ERRORS and CACHE_KEY_PREFIX; CACHE_OPTIONS passes
max_memory, policy and shards on. CACHE_THRESHOLD, an entry count, does not apply: the
store is bounded by max_memory.
"""

from __future__ import annotations

import datetime as dt
from collections.abc import Callable
from typing import Any

from flask import Flask
from flask_caching.backends.base import BaseCache

from .cachelib import VellumCache as _CachelibVellumCache

__all__ = ["VellumCache"]


class VellumCache(BaseCache, _CachelibVellumCache):
    """A Flask-Caching backend over one in-process `vellum.Cache` per app cache."""

    def __init__(
        self,
        default_timeout: int | dt.timedelta = 300,
        key_prefix: str | Callable[[], str] | None = None,
        ignore_delete_many_errors: bool = False,
        max_memory: int | str = 0,
        policy: str = "noeviction",
        shards: int = 64,
    ) -> None:
        _CachelibVellumCache.__init__(
            self,
            default_timeout=default_timeout,
            key_prefix=key_prefix,
            ignore_delete_many_errors=ignore_delete_many_errors,
            max_memory=max_memory,
            policy=policy,
            shards=shards,
        )

    @classmethod
    def factory(cls, app: Flask, config: dict[str, Any], args: list[Any], kwargs: dict[str, Any]) -> VellumCache:
        key_prefix = config.get("CACHE_KEY_PREFIX")
        if key_prefix:
            kwargs.setdefault("key_prefix", key_prefix)
        return cls(*args, **kwargs)
