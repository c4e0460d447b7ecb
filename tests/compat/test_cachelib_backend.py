"""cachelib's own backend tests against vellum.contrib.cachelib and vellum.contrib.flask.

VELLUM_CACHELIB_TESTS names the tests/ directory of an unpacked cachelib sdist (`make
compat` downloads it). Its mixins (CommonTests, ClearTests, HasTests,
DeleteManyWithPrefixTests, SerializerTests) are the suite every cachelib backend runs;
they run here the way cachelib runs them for its Redis backend: with and without a key
prefix, and with the default serializer replaced on a subclass. The backend-neutral
tests of its SimpleCache suite (expiry, concurrency) run too; the ones that read
SimpleCache's private entry dict or its entry-count threshold are skipped, each with
its reason.
"""

from __future__ import annotations

import sys
import types

import pytest
from compat_sdist import suite_dir

# The suite imports its helpers as top-level modules, from its own directory.
suite_dir("VELLUM_CACHELIB_TESTS", "common.py", "cachelib")
# Its conftest.py (imported for TestData) needs pytest-xprocess only for the server
# fixtures of the networked backends, which this module does not use.
sys.modules.setdefault("xprocess", types.SimpleNamespace(ProcessStarter=object))

import test_simple_cache as simple_suite  # noqa: E402
from clear import ClearTests  # noqa: E402
from common import CommonTests  # noqa: E402
from delete_many_with_prefix import DeleteManyWithPrefixTests  # noqa: E402
from has import HasTests  # noqa: E402
from serializer import SerializerTests  # noqa: E402

from vellum.contrib.cachelib import VellumCache, VellumSerializer  # noqa: E402
from vellum.contrib.flask import VellumCache as FlaskVellumCache  # noqa: E402


class SillySerializer(VellumSerializer):
    """cachelib's own stand-in serializer (repr and eval), as its suites use it."""

    def dumps(self, value):
        return repr(value).encode()

    def loads(self, bvalue):
        if bvalue is None:
            return None
        return eval(bvalue.decode())


class CustomCache(VellumCache):
    serializer = SillySerializer()


@pytest.fixture(params=[None, "test-key-prefix:"], ids=["no_key_prefix", "with_key_prefix"])
def key_prefix(request):
    return request.param


@pytest.fixture(autouse=True, params=[VellumCache, CustomCache, FlaskVellumCache])
def cache_factory(request, key_prefix):
    made = []

    def _factory(self, *args, **kwargs):
        kwargs.setdefault("key_prefix", key_prefix)
        cache = request.param(*args, **kwargs)
        made.append(cache)
        return cache

    request.cls.cache_factory = _factory
    yield
    for cache in made:
        cache.close()


class TestVellumCache(CommonTests, ClearTests, HasTests, DeleteManyWithPrefixTests, SerializerTests):
    pass


_PRIVATE = "reads SimpleCache's private entry dict (_cache), which this backend does not have"
_THRESHOLD = "tests SimpleCache's entry-count threshold; this backend is bounded by max_memory"


class TestVellumCacheAsSimpleCache(simple_suite.TestSimpleCache):
    """SimpleCache's tests that hold for any in-process backend."""

    # The mixins already ran in TestVellumCache; only the SimpleCache tests run here.
    for _name in dir(CommonTests) + dir(ClearTests) + dir(HasTests) + dir(SerializerTests):
        if _name.startswith("test_"):
            locals()[_name] = None
    del _name

    @pytest.mark.skip(reason=_THRESHOLD)
    def test_threshold(self): ...

    @pytest.mark.skip(reason=_THRESHOLD)
    def test_prune_old_entries(self): ...

    @pytest.mark.skip(reason=_THRESHOLD)
    def test_threshold_zero_defaults_to_500(self): ...

    @pytest.mark.skip(reason=_PRIVATE)
    def test_concurrent_set_no_data_corruption(self): ...

    @pytest.mark.skip(reason=_PRIVATE)
    def test_concurrent_get_set_preserves_valid_shared_values(self): ...
