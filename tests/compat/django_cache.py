"""Runs Django's own cache backend tests against vellum.contrib.django.VellumCache.

    python tests/compat/django_cache.py path/to/django-X.Y.Z [--server-url URL] [--json REPORT]

The argument is an unpacked Django sdist (this script downloads nothing). Its
tests/cache/tests.py holds BaseCacheTests, the class every built-in backend's tests
derive from; here it is run twice the way LocMemCacheTests configures it: against an
in-memory store, and against a persistent store (a LOCATION data directory, values in
signed pickles). The "cull" and "zero_cull" aliases are left out, as Django's own Redis
and memcached test classes leave them out, because this backend is bounded by memory
rather than by MAX_ENTRIES; the tests that need them skip themselves. Exit status 0 means
no failure and no error; the counts and every skip's reason are printed, and written as
JSON with --json.

With --server-url (a vellum server, redis://host:port/0), Django's built-in RedisCache
backend with its default options is the default cache, pointed at that server, and its
own RedisCacheTests run too, with the session tests that keep sessions in the cache
(the cache backend and the cache-backed database backend).
"""

from __future__ import annotations

import argparse
import atexit
import json
import os
import pathlib
import shutil
import sys
import tempfile
import unittest

BACKEND = "vellum.contrib.django.VellumCache"
# Aliases whose only purpose is count-based culling (MAX_ENTRIES, CULL_FREQUENCY).
EXCLUDED_ALIASES = {"cull", "zero_cull"}


REDIS_BACKEND = "django.core.cache.backends.redis.RedisCache"
SESSION_TEST_CLASSES = ("CacheSessionTests", "CacheDBSessionTests", "CacheDBSessionWithTimeZoneTests")


def configure(sdist: pathlib.Path, server_url: str | None = None) -> None:
    import django
    from django.conf import settings

    tests_dir = sdist / "tests"
    if not (tests_dir / "cache" / "tests.py").is_file():
        sys.exit(f"{sdist} is not an unpacked Django sdist: {tests_dir / 'cache' / 'tests.py'} is missing")
    wanted = sdist.name.partition("-")[2]
    if wanted and django.get_version() != wanted:
        sys.exit(f"the installed Django is {django.get_version()}, the test suite is from {sdist.name}")
    # The suite imports as the package "cache" (its KEY_FUNCTION setting names
    # "cache.tests.custom_key_func"), as Django's runtests.py imports it.
    sys.path.insert(0, str(tests_dir))
    apps = ["django.contrib.contenttypes", "django.contrib.auth", "cache"]
    default_cache = {"BACKEND": "django.core.cache.backends.locmem.LocMemCache"}
    if server_url:
        # The suite finds the backends to test among the configured caches when it is
        # imported, as Django's own test settings name a Redis server.
        apps += ["django.contrib.sessions", "sessions_tests"]
        default_cache = {"BACKEND": REDIS_BACKEND, "LOCATION": server_url}
    settings.configure(
        DEBUG=False,
        SECRET_KEY="vellum-compat-suite-secret-key-0123456789",
        INSTALLED_APPS=apps,
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3"}},
        CACHES={"default": default_cache},
        MIDDLEWARE=[],
        ROOT_URLCONF=None,
        USE_TZ=False,
        DEFAULT_AUTO_FIELD="django.db.models.AutoField",
        PASSWORD_HASHERS=["django.contrib.auth.hashers.MD5PasswordHasher"],
    )
    django.setup()


def build_suite(server_url: str | None = None) -> unittest.TestSuite:
    from cache.tests import BaseCacheTests, caches_setting_for_tests
    from django.test import TestCase, override_settings

    data_dir = tempfile.mkdtemp(prefix="vellum-django-compat-")
    # Registered before the store opens its directory, so it runs after the store's own
    # close at exit (atexit runs last-registered first).
    atexit.register(shutil.rmtree, data_dir, True)

    from django.core.cache import caches

    from vellum.contrib.django import VellumCache

    @override_settings(CACHES=caches_setting_for_tests(BACKEND=BACKEND, exclude=EXCLUDED_ALIASES))
    class VellumCacheTests(BaseCacheTests, TestCase):
        def test_suite_runs_on_vellum(self) -> None:
            self.assertIsInstance(caches["default"], VellumCache)
            self.assertFalse(caches["default"]._cache.persistent)

    @override_settings(
        CACHES=caches_setting_for_tests(BACKEND=BACKEND, LOCATION=data_dir, exclude=EXCLUDED_ALIASES)
    )
    class VellumPersistentCacheTests(BaseCacheTests, TestCase):
        def test_suite_runs_on_vellum(self) -> None:
            self.assertIsInstance(caches["default"], VellumCache)
            self.assertEqual(caches["default"]._cache.persist_dir, os.path.realpath(data_dir))

    classes: list[type] = [VellumCacheTests, VellumPersistentCacheTests]
    if server_url:
        import cache.tests
        import sessions_tests.tests

        classes.append(cache.tests.RedisCacheTests)
        classes += [getattr(sessions_tests.tests, name) for name in SESSION_TEST_CLASSES]
    loader = unittest.defaultTestLoader
    return unittest.TestSuite(loader.loadTestsFromTestCase(cls) for cls in classes)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sdist", type=pathlib.Path, help="an unpacked Django sdist")
    parser.add_argument("--json", type=pathlib.Path, help="write the counts and skip reasons here")
    parser.add_argument("--server-url", help="also run the Redis backend and session suites against this server")
    parser.add_argument("-v", "--verbosity", type=int, default=1)
    args = parser.parse_args()
    configure(args.sdist.resolve(), args.server_url)

    from django.test.runner import DiscoverRunner

    runner = DiscoverRunner(verbosity=args.verbosity, interactive=False)
    runner.setup_test_environment()
    suite = build_suite(args.server_url)
    old_config = runner.setup_databases()
    try:
        result = runner.run_suite(suite)
    finally:
        runner.teardown_databases(old_config)
        runner.teardown_test_environment()

    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = [(test.id().rpartition(".")[2], test.id().split(".")[-2], reason) for test, reason in result.skipped]
    passed = result.testsRun - failed - len(skipped) - len(result.expectedFailures)
    what = f"BaseCacheTests against {BACKEND}"
    if args.server_url:
        what += f", RedisCacheTests and the cache session tests against {args.server_url}"
    print(f"\nDjango {args.sdist.name} {what}:")
    for name, cls, reason in skipped:
        print(f"  skipped {cls}.{name}: {reason}")
    if args.json:
        args.json.write_text(
            json.dumps(
                {
                    "suite": args.sdist.name,
                    "passed": passed,
                    "failed": failed,
                    "skipped": [{"test": f"{cls}.{name}", "reason": reason} for name, cls, reason in skipped],
                },
                indent=2,
            )
            + "\n"
        )
    print(f"{passed} passed, {failed} failed, {len(skipped)} skipped")
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
