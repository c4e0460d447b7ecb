"""Flask-Caching's own RedisCache tests against a vellum server.

Its TestRedisCache class (the generic backend tests plus its Redis-specific ones) runs
unchanged from VELLUM_FLASK_CACHING_TESTS; only the fixtures that start a server of their
own and name its fixed port are replaced by the server client_suites.py started, on
VELLUM_COMPAT_PORT.
"""

from __future__ import annotations

import time

import pytest
import redis
from compat_sdist import suite_dir
from served import served_port

PORT = served_port()
suite_dir("VELLUM_FLASK_CACHING_TESTS", "test_backend_cache.py", "Flask-Caching")

import test_backend_cache as backend_suite  # noqa: E402
from flask_caching import backends  # noqa: E402


class TestRedisCacheOnVellum(backend_suite.TestRedisCache):
    @pytest.fixture(scope="class", autouse=True)
    @classmethod
    def requirements(cls):
        """The server is already running."""

    @pytest.fixture
    def sleep(self):
        # The suite sleeps for real on this class (_can_use_fast_sleep is False); its
        # fixture asks for a fake clock from its conftest.py, which is not loaded here.
        return time.sleep

    # The suite's own parameters and branches, with the served port: a host name, then a
    # StrictRedis client for each true parameter (its callable one included, as in the
    # suite), and a Redis client.
    @pytest.fixture(params=(None, False, True, backend_suite.TestRedisCache.gen_key_prefix))
    def make_cache(self, request):
        key_prefix = "werkzeug-test-case:"
        if request.param is None:
            host = "localhost"
        elif request.param:
            host = redis.StrictRedis(port=PORT)
        else:
            host = redis.Redis(port=PORT)
        c = backends.RedisCache(host=host, key_prefix=key_prefix, port=PORT)
        yield lambda: c
        c.clear()
