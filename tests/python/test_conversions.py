"""Argument conversions and their exact messages, seen through Cache methods."""

import pytest

from vellum._vellum import Cache


class Boom(Exception):
    pass


class LoudInt(int):
    def __str__(self):
        return "loud"


class BrokenInt(int):
    def __str__(self):
        raise Boom("no text")


class BrokenStr(str):
    def __str__(self):
        raise Boom("never called")


@pytest.mark.parametrize(
    "key, stored",
    [
        (b"k", b"k"),
        ("k", b"k"),
        ("é€", "é€".encode()),
        (10, b"10"),
        (-7, b"-7"),
        (2**100, str(2**100).encode()),
        (1.5, b"1.5"),
        (1e20, b"1e+20"),
        (LoudInt(3), b"loud"),
        (BrokenStr("plain"), b"plain"),
    ],
)
def test_extract_bytes_accepts_bytes_str_int_float(cache, key, stored):
    assert cache.set(key, b"v") is True
    assert cache.keys() == [stored]


@pytest.mark.parametrize(
    "obj, name",
    [(True, "bool"), (None, "NoneType"), ([], "list"), (object(), "object"), (bytearray(b"x"), "bytearray")],
)
def test_extract_bytes_refuses_other_types_by_name(cache, obj, name):
    with pytest.raises(TypeError) as err:
        cache.get(obj)
    assert str(err.value) == f"expected bytes, str, int or float, not {name}"


def test_lone_surrogate_propagates_unicode_encode_error(cache):
    with pytest.raises(UnicodeEncodeError):
        cache.set("\ud800", b"v")
    assert len(cache) == 0


def test_number_subclass_str_failure_propagates(cache):
    with pytest.raises(Boom):
        cache.set(b"k", BrokenInt(1))


def test_values_go_through_the_same_conversion(cache):
    cache.set(b"k", 2.5)
    assert cache.get(b"k") == b"2.5"
    cache.set(1, 2)
    assert cache.get(b"1") == b"2"


@pytest.mark.parametrize(
    "ex, message",
    [
        (1.5, "ex must be a positive integer"),
        ("10", "ex must be a positive integer"),
        (True, "ex must be a positive integer"),
        (0, "ex must be a positive integer"),
        (-5, "ex must be a positive integer"),
        (2**63, "ex is out of range"),
        (-(2**63) - 1, "ex is out of range"),
        (18446744073709552, "ex is too large"),
    ],
)
def test_extract_positive_refusals_are_value_errors(cache, ex, message):
    with pytest.raises(ValueError) as err:
        cache.set(b"k", b"v", ex=ex)
    assert str(err.value) == message
    assert not cache.exists(b"k")


def test_largest_accepted_expiries(cache):
    assert cache.set(b"a", b"v", ex=18446744073709551) is True
    assert cache.set(b"b", b"v", px=2**63 - 1) is True
    with pytest.raises(ValueError, match="^px is out of range$"):
        cache.set(b"c", b"v", px=2**63)


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda c: c.keys(b"*"), "argument 'pattern': "),
        (lambda c: c.set(b"k", b"v", nx=1), "argument 'nx': "),
        (lambda c: c.set(b"k", b"v", xx=None), "argument 'xx': "),
        (lambda c: c.incr(b"k", 1.5), "argument 'amount': "),
        (lambda c: c.lrange(b"k", "0", 1), "argument 'start': "),
        (lambda c: c.lrange(b"k", 0, None), "argument 'stop': "),
    ],
)
def test_type_errors_of_declared_arguments_name_the_argument(cache, call, prefix):
    with pytest.raises(TypeError) as err:
        call(cache)
    assert str(err.value).startswith(prefix)
    assert type(err.value) is TypeError


@pytest.mark.parametrize(
    "kwargs, exc",
    [
        ({"max_memory": -1}, OverflowError),
        ({"max_memory": 2**64}, OverflowError),
        ({"snapshot_interval": 2**63}, OverflowError),
        ({"policy": "\udc80"}, UnicodeEncodeError),
    ],
)
def test_non_type_errors_of_conversions_pass_through(kwargs, exc):
    with pytest.raises(exc) as err:
        Cache(**kwargs)
    assert not str(err.value).startswith("argument ")


def test_index_objects_and_bools_are_signed_integers(cache):
    class Two:
        def __index__(self):
            return 2

    assert cache.incr(b"n", Two()) == 2
    assert cache.incr(b"n", True) == 3
    assert cache.decr(b"n", False) == 3


def test_numpy_bools_are_flags(cache):
    np = pytest.importorskip("numpy")
    assert cache.set(b"k", b"v", nx=np.bool_(True)) is True
    assert cache.set(b"k", b"w", nx=np.bool_(True)) is False
    assert cache.set(b"k", b"w", xx=np.bool_(False)) is True


def test_persist_dir_conversion(tmp_path):
    with pytest.raises(TypeError, match="^argument 'persist_dir': "):
        Cache(persist_dir=b"dir")
    with pytest.raises(TypeError, match="^argument 'persist_dir': "):
        Cache(persist_dir=3)
