import pytest

from vellum._vellum import Cache


@pytest.fixture
def cache():
    c = Cache()
    yield c
    c.close()


@pytest.fixture
def one_shard():
    """A cache whose keys all land in one shard, so table charges are predictable."""
    c = Cache(shards=1)
    yield c
    c.close()
