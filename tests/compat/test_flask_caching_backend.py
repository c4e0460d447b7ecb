"""Flask-Caching's generic backend tests against vellum.contrib.flask.VellumCache.

VELLUM_FLASK_CACHING_TESTS names the tests/ directory of an unpacked Flask-Caching sdist
(`make compat` downloads it). Each cache is built the way an application builds it:
`flask_caching.Cache(app)` with CACHE_TYPE set to the backend's dotted path, so the
backend's `factory` is what is under test, with the settings it reads from the config.
"""

from __future__ import annotations

import time

import flask
import flask_caching
import pytest
from compat_sdist import suite_dir

suite_dir("VELLUM_FLASK_CACHING_TESTS", "test_backend_cache.py", "Flask-Caching")

import test_backend_cache as backend_suite  # noqa: E402

from vellum.contrib.flask import VellumCache  # noqa: E402


class TestVellumFlaskCache(backend_suite.GenericCacheTests):
    @pytest.fixture
    def make_cache(self):
        def make(**config):
            app = flask.Flask(__name__)
            app.config.update(
                CACHE_TYPE="vellum.contrib.flask.VellumCache",
                CACHE_OPTIONS={"max_memory": "16MiB", "policy": "allkeys-lru"},
                **config,
            )
            cache = flask_caching.Cache(app).cache
            assert isinstance(cache, VellumCache)
            assert cache.key_prefix == "flask_cache_"  # Flask-Caching's default CACHE_KEY_PREFIX
            assert cache.store.max_memory == 16 << 20
            return cache

        return make

    @pytest.fixture
    def sleep(self):
        # The suite's fast clock patches SimpleCache's module; this store keeps real time.
        return time.sleep
