"""Value codecs: how a `vellum.Cache` turns Python values into the bytes it stores.

A codec is any object with `encode(value) -> bytes` and `decode(data) -> value` such
that decode(encode(v)) == v. Keys are never passed through a codec. The built-in
codecs hold no state except the pickle codec's signing key, so one instance may be
shared by any number of caches and threads.
"""

from __future__ import annotations

import hashlib
import hmac
import importlib
import json
import json.scanner
import pickle
from typing import Any, Final, Literal, Protocol, TypeVar, overload

__all__ = [
    "Codec",
    "CodecError",
    "SignatureError",
    "BytesCodec",
    "StrCodec",
    "JsonCodec",
    "MsgpackCodec",
    "PickleCodec",
    "BYTES",
    "STR",
    "JSON",
    "resolve_codec",
]

V = TypeVar("V")


class Codec(Protocol[V]):
    """Turns values of one type into bytes and back."""

    name: str

    def encode(self, value: V) -> bytes: ...

    def decode(self, data: bytes) -> V: ...


class CodecError(ValueError):
    """A stored payload cannot be decoded by the cache's codec."""


class SignatureError(CodecError):
    """A pickle payload failed its HMAC check; it was not unpickled."""


class BytesCodec:
    """Stores bytes as they are; bytearray and memoryview are copied into bytes."""

    name = "bytes"

    def encode(self, value: bytes) -> bytes:
        if type(value) is bytes:
            return value
        if isinstance(value, (bytes, bytearray, memoryview)):
            return bytes(value)
        raise TypeError(f"the bytes codec stores bytes, not {type(value).__name__}; choose codec='str' or 'json'")

    def decode(self, data: bytes) -> bytes:
        return data


class StrCodec:
    """Stores text as strict UTF-8."""

    name = "str"

    def encode(self, value: str) -> bytes:
        if not isinstance(value, str):
            raise TypeError(f"the str codec stores str, not {type(value).__name__}")
        return value.encode("utf-8")

    def decode(self, data: bytes) -> str:
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError as err:
            raise CodecError(f"stored value is not UTF-8: {err}") from None


class JsonCodec:
    """Stores JSON text in UTF-8; tuples come back as lists, as JSON has no tuple.

    Keys are sorted and separators compact, so equal values encode to equal bytes (which
    keeps server-side comparisons and deduplication meaningful).
    """

    name = "json"

    def encode(self, value: Any) -> bytes:
        return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode("utf-8")

    def decode(self, data: bytes) -> Any:
        # The scanner parses one value without the whitespace and encoding detection of
        # json.loads, several times faster for the small values a cache holds. Anything it
        # does not consume whole (surrounding space, another encoding, an error) goes to
        # json.loads, which decides and words the error.
        try:
            text = data.decode("utf-8")
            value, end = _scan_once(text, 0)
            if end == len(text):
                return value
        except (UnicodeDecodeError, StopIteration, ValueError):
            pass
        try:
            return json.loads(data)
        except ValueError as err:
            raise CodecError(f"stored value is not JSON: {err}") from None


_scan_once = json.scanner.make_scanner(json.JSONDecoder())  # type: ignore[arg-type]  # the stub names the class, the call takes a decoder


class MsgpackCodec:
    """Stores MessagePack; needs the optional `msgpack` package."""

    name = "msgpack"

    def __init__(self) -> None:
        # msgpack is optional, so it is loaded when this codec is chosen rather than when
        # the package is imported; importlib keeps the type check independent of whether
        # msgpack is installed.
        try:
            self._msgpack: Any = importlib.import_module("msgpack")
        except ImportError:
            raise ImportError("codec 'msgpack' needs the msgpack package: pip install msgpack") from None

    def encode(self, value: Any) -> bytes:
        data: bytes = self._msgpack.packb(value, use_bin_type=True)
        return data

    def decode(self, data: bytes) -> Any:
        try:
            return self._msgpack.unpackb(data, raw=False)
        except Exception as err:  # msgpack raises several unrelated types for bad input.
            raise CodecError(f"stored value is not MessagePack: {err}") from None


class PickleCodec:
    """Stores pickles signed with HMAC-SHA256, for values no other codec can hold.

    Unpickling runs arbitrary code, so a payload is unpickled only after its signature
    has been checked against `key` in constant time; anyone who can write to the cache
    (a server client, a data directory) but does not know the key cannot get code run.
    Layout: 1 version byte (1), 32 bytes of HMAC-SHA256 over the pickle, the pickle.
    """

    name = "pickle"
    _VERSION: Final = b"\x01"
    _DIGEST: Final = 32

    def __init__(self, key: bytes, protocol: int = pickle.HIGHEST_PROTOCOL) -> None:
        if not isinstance(key, bytes) or len(key) < 16:
            raise ValueError("the pickle codec needs a secret key of at least 16 bytes")
        self._key = key
        self._protocol = protocol

    def __repr__(self) -> str:
        return "PickleCodec(key=<hidden>)"

    def _sign(self, body: bytes) -> bytes:
        return hmac.new(self._key, body, hashlib.sha256).digest()

    def encode(self, value: Any) -> bytes:
        body = pickle.dumps(value, protocol=self._protocol)
        return self._VERSION + self._sign(body) + body

    def decode(self, data: bytes) -> Any:
        head = 1 + self._DIGEST
        if len(data) < head or data[:1] != self._VERSION:
            raise SignatureError("stored value is not a signed pickle payload; refusing to unpickle it")
        body = data[head:]
        if not hmac.compare_digest(data[1:head], self._sign(body)):
            raise SignatureError("stored pickle payload failed its HMAC check; refusing to unpickle it")
        return pickle.loads(body)


BYTES: Final = BytesCodec()
STR: Final = StrCodec()
JSON: Final = JsonCodec()

CodecName = Literal["bytes", "str", "json", "msgpack"]


@overload
def resolve_codec(codec: None | Literal["bytes"]) -> Codec[bytes]: ...
@overload
def resolve_codec(codec: Literal["str"]) -> Codec[str]: ...
@overload
def resolve_codec(codec: Literal["json", "msgpack"]) -> Codec[Any]: ...
@overload
def resolve_codec(codec: Codec[V]) -> Codec[V]: ...
def resolve_codec(codec: object) -> object:
    """Maps a codec name (or None, meaning bytes) to a codec; a codec object is returned as is."""
    if codec is None or codec == "bytes":
        return BYTES
    if codec == "str":
        return STR
    if codec == "json":
        return JSON
    if codec == "msgpack":
        return MsgpackCodec()
    if codec == "pickle":
        raise ValueError("pickle must be chosen explicitly with a signing key: codec=PickleCodec(key)")
    if isinstance(codec, str):
        raise ValueError(f"unknown codec {codec!r}; expected 'bytes', 'str', 'json', 'msgpack' or a codec object")
    if not (callable(getattr(codec, "encode", None)) and callable(getattr(codec, "decode", None))):
        raise TypeError(f"a codec needs encode() and decode() methods; {type(codec).__name__} has not")
    return codec
