"""cachelib's own RedisCache tests against a vellum server.

The suite's test classes run unchanged (cachelib's tests/ directory from VELLUM_CACHELIB_TESTS);
only its fixtures that start a server of their own on a fixed port are replaced: the
server is the one client_suites.py started, on VELLUM_COMPAT_PORT.
"""

from __future__ import annotations

import sys
import types

import pytest
from compat_sdist import suite_dir
from served import served_port

PORT = served_port()
suite_dir("VELLUM_CACHELIB_TESTS", "test_redis_cache.py", "cachelib")
sys.modules.setdefault("xprocess", types.SimpleNamespace(ProcessStarter=object))

import test_redis_cache as redis_suite  # noqa: E402


@pytest.fixture(scope="class")
def redis_server():
    """The server is already running."""


@pytest.fixture(params=[None, "test-key-prefix:"], ids=["no_key_prefix", "with_key_prefix"])
def key_prefix(request):
    return request.param


@pytest.fixture(autouse=True, params=[redis_suite.RedisCache, redis_suite.CustomCache])
def cache_factory(request, key_prefix):
    # The suite's own factory, with the served port in place of its fixed one.
    def _factory(self, *args, **kwargs):
        kwargs.setdefault("key_prefix", key_prefix)
        rc = request.param(*args, port=PORT, **kwargs)
        rc._write_client.flushdb()
        return rc

    request.cls.cache_factory = _factory


class TestRedisCacheOnVellum(redis_suite.TestRedisCache):
    pass


class TestRedisCacheCheckConnectionOnVellum(redis_suite.TestRedisCacheCheckConnection):
    pass


class TestRedisCacheCheckConnectionLiveOnVellum:
    # The suite's live check, against the served port.
    def test_reachable_server_constructs_and_works(self):
        cache = redis_suite.RedisCache(port=PORT, check_connection=True)
        assert cache.set("check-connection-key", "value")
        assert cache.get("check-connection-key") == "value"
