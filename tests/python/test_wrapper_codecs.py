import pickle

import pytest

from vellum.cache import Cache
from vellum.codecs import CodecError, JsonCodec, PickleCodec, SignatureError, StrCodec, resolve_codec

KEY = b"0123456789abcdef-secret"

try:
    import msgpack  # noqa: F401

    HAVE_MSGPACK = True
except ImportError:
    HAVE_MSGPACK = False


@pytest.mark.parametrize("codec, value", [
    (None, b"\x00raw\xff"),
    ("str", "naïve ☃"),
    ("json", {"a": [1, 2.5, None, True], "b": "x"}),
    ("json", 0),
    (PickleCodec(KEY), {"set": {1, 2}, "tuple": (1, "a"), "bytes": b"\x00"}),
    pytest.param("msgpack", {"a": [1, b"bin", "s"]},
                 marks=pytest.mark.skipif(not HAVE_MSGPACK, reason="msgpack not installed")),
])
def test_values_round_trip_through_the_cache(codec, value):
    with Cache(codec=codec) as c:
        c["k"] = value
        c.set("t", value, ttl=60)
        assert c["k"] == value and c.get("t") == value
        assert c.mget(["k", "missing"]) == [value, None]


def test_json_encoding_is_canonical():
    assert JsonCodec().encode({"b": 1, "a": [1, 2]}) == b'{"a":[1,2],"b":1}'


@pytest.mark.parametrize("codec, value", [(None, "text"), (None, 5), ("str", b"bytes"), ("json", object())])
def test_values_the_codec_cannot_hold_are_refused(codec, value):
    with Cache(codec=codec) as c:
        with pytest.raises(TypeError):
            c["k"] = value
        assert "k" not in c


@pytest.mark.parametrize("codec, stored", [("str", b"\xff\xfe"), ("json", b"{not json")])
def test_undecodable_stored_bytes_raise_codec_error(codec, stored):
    with Cache(codec=codec) as c:
        c.native.set("k", stored)
        with pytest.raises(CodecError):
            c["k"]


def tamper_flip_body(p):
    return p[:-1] + bytes([p[-1] ^ 1])


def tamper_flip_mac(p):
    return p[:5] + bytes([p[5] ^ 1]) + p[6:]


@pytest.mark.parametrize("tamper", [
    tamper_flip_body,
    tamper_flip_mac,
    lambda p: p[:20],                               # shorter than the header
    lambda p: b"\x02" + p[1:],                      # unknown version
    lambda p: PickleCodec(b"another key of 16+ bytes").encode(["x"]),  # signed with another key
    lambda p: pickle.dumps(["unsigned"]),           # a bare pickle
])
def test_tampered_pickle_payload_is_refused_without_unpickling(monkeypatch, tamper):
    codec = PickleCodec(KEY)
    with Cache(codec=codec) as c:
        c["k"] = ["x"]
        c.native.set("k", tamper(c.native.get("k")))

        def forbidden(*a, **k):
            raise AssertionError("unpickled an unverified payload")

        monkeypatch.setattr(pickle, "loads", forbidden)
        with pytest.raises(SignatureError):
            c["k"]


@pytest.mark.parametrize("codec, error", [("pickle", ValueError), ("yaml", ValueError), (42, TypeError)])
def test_codec_choice_is_explicit(codec, error):
    with pytest.raises(error):
        resolve_codec(codec)


def test_pickle_codec_needs_a_real_key_and_hides_it():
    with pytest.raises(ValueError):
        PickleCodec(b"short")
    assert KEY.decode() not in repr(PickleCodec(KEY))


def test_str_codec_is_strict_utf8():
    with pytest.raises(UnicodeEncodeError):
        StrCodec().encode("\ud800")
