"""What the Python surface says when it refuses: a Server of the wrapper, constructor
arguments out of range, a full cache, and a data directory that does not open."""

import shlex
import socket
import zlib

import pytest
import redis

import vellum
from vellum import _vellum
from vellum.cache import ForkedCacheError


@pytest.mark.parametrize("serve", [lambda c: c, lambda c: c.native], ids=["wrapper", "native"])
def test_server_serves_the_wrapper_and_the_native_cache_alike(serve):
    with vellum.Cache(codec="str") as cache:
        server = vellum.Server(serve(cache), port=0)
        server.start()
        try:
            client = redis.Redis(port=server.port, protocol=2)
            client.set("k", "from the wire")
            assert cache["k"] == "from the wire"
            cache["j"] = "from python"
            assert client.get("j") == b"from python"
            client.close()
        finally:
            server.stop()


class NativeIsNotACache:
    native = 3


class NativeRaises:
    @property
    def native(self):
        raise ForkedCacheError("opened by another process")


@pytest.mark.parametrize("obj, shown", [(object(), "object"), (3, "int"), ("cache", "str"),
                                        (NativeIsNotACache(), "NativeIsNotACache")])
def test_server_names_what_it_accepts(obj, shown):
    with pytest.raises(TypeError) as err:
        vellum.Server(obj)
    assert str(err.value) == f"argument 'cache': expected vellum.Cache or vellum._vellum.Cache, not {shown}"


def test_server_passes_on_the_error_of_a_wrapper_that_cannot_give_its_store():
    with pytest.raises(ForkedCacheError, match="opened by another process"):
        vellum.Server(NativeRaises())


BOTH = [_vellum.Cache, vellum.Cache]


@pytest.mark.parametrize("cls", BOTH, ids=["native", "wrapper"])
@pytest.mark.parametrize("kwargs, message", [
    ({"max_memory": 2**64}, "max_memory must be at most 2**64-1"),
    ({"max_memory": 10**30}, "max_memory must be at most 2**64-1"),
    ({"shards": 2**64}, "shards must be at most 2**64-1"),
    ({"shards": -1}, "shards must not be negative"),
    ({"shards": -(2**70)}, "shards must not be negative"),
    ({"snapshot_interval": 2**63}, "snapshot_interval must be at most 2**63-1"),
    ({"snapshot_interval": -(2**63) - 1}, "snapshot_interval must be at least -2**63"),
])
def test_constructor_overflows_name_the_argument_and_its_range(cls, kwargs, message):
    with pytest.raises(OverflowError) as err:
        cls(**kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("make, exc, message", [
    (lambda: _vellum.Cache(max_memory=-1), OverflowError, "max_memory must not be negative"),
    (lambda: vellum.Cache(max_memory=-1), ValueError, "max_memory must be >= 0, not -1"),
    (lambda: vellum.Cache(max_memory="256M"), ValueError, "invalid max_memory '256M': unknown unit 'M'"),
    (lambda: vellum.Cache(max_memory="lots"), ValueError, "invalid max_memory 'lots': expected a number"),
    (lambda: vellum.Cache(max_memory=1.5), TypeError, "max_memory must be an int or a str"),
    (lambda: vellum.Cache(max_memory="20000000TB"), OverflowError, "max_memory must be at most 2**64-1"),
    (lambda: _vellum.Server(_vellum.Cache(), port=2**64), OverflowError, "port must be between 0 and 65535"),
    (lambda: _vellum.Cache().incr(b"n", 2**63), OverflowError, "amount must be at most 2**63-1"),
    (lambda: _vellum.Cache().lrange(b"l", -(2**63) - 1, 0), OverflowError, "start must be at least -2**63"),
])
def test_conversion_errors_name_the_argument(make, exc, message):
    with pytest.raises(exc) as err:
        make()
    assert type(err.value) is exc and str(err.value).startswith(message)


FULL = "cache is full: the write would take used memory past max_memory"


@pytest.mark.parametrize("write", [
    lambda c: c.set(b"k", b"x" * 4096),
    lambda c: c.mset({b"a": b"x" * 4096}),
    lambda c: c.hset(b"h", b"f", b"x" * 4096),
    lambda c: c.rpush(b"l", b"x" * 4096),
    lambda c: c.sadd(b"s", b"x" * 4096),
    lambda c: c.append(b"k", b"x" * 4096),
])
@pytest.mark.parametrize("policy", ["noeviction", "volatile-lru"])
def test_a_full_cache_raises_memory_error_in_the_caches_own_terms(write, policy):
    cache = _vellum.Cache(max_memory=1024, policy=policy)
    with pytest.raises(MemoryError) as err:
        write(cache)
    assert str(err.value).startswith(FULL) and "OOM" not in str(err.value)
    assert len(cache) == 0


def test_the_wire_keeps_its_own_out_of_memory_reply():
    cache = _vellum.Cache(max_memory=1024)
    # The request budget defaults to max_memory when that is smaller; this request must
    # reach the store to meet its ceiling.
    server = _vellum.Server(cache, port=0, request_budget=1 << 20)
    server.start()
    try:
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as conn:
            conn.sendall(b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$4096\r\n" + b"x" * 4096 + b"\r\n")
            reply = conn.makefile("rb").readline()
    finally:
        server.stop()
    assert reply == b"-OOM command not allowed when used memory > 'maxmemory'\r\n"
    with pytest.raises(MemoryError, match=f"^{FULL}"):
        vellum.Cache(max_memory=1024)["k"] = b"x" * 4096


def written_snapshot(directory):
    with vellum.Cache(persist_dir=directory) as c:
        c["k"] = b"v"
    return (directory / "snapshot.kvs").read_bytes()


def with_crc(body):
    return body + zlib.crc32(body).to_bytes(4, "little")


SNAPSHOT_DAMAGE = {
    "checksum mismatch": lambda d: d[:-1] + bytes([d[-1] ^ 1]),
    "bad magic": lambda d: with_crc(b"XVSNAP01" + d[8:-4]),
    "file truncated": lambda d: d[:32],
    # A record that runs into the checksum bytes of a file whose checksum holds.
    "a record runs past the end of the data": lambda d: with_crc(
        b"KVSNAP01" + (1).to_bytes(4, "little") + (0).to_bytes(8, "little") + b"\x01\xe8\x07" + b"k" * 16),
}


@pytest.mark.parametrize("name", ["data", "my data", "it's"])
@pytest.mark.parametrize("reason", list(SNAPSHOT_DAMAGE))
def test_a_refused_snapshot_names_the_file_the_reason_and_the_check(tmp_path, name, reason):
    directory = tmp_path / name
    directory.mkdir()
    snapshot = directory / "snapshot.kvs"
    damaged = SNAPSHOT_DAMAGE[reason](written_snapshot(directory))
    snapshot.write_bytes(damaged)
    with pytest.raises(_vellum.CorruptDataError) as err:
        vellum.Cache(persist_dir=directory)
    text = str(err.value)
    # The snapshot's own text stays the start of the reason, as the core words it.
    assert text.startswith(f"cannot load data from {directory}: snapshot: {reason}")
    hint = ", in snapshot.kvs; the file was left unchanged. Inspect it with `vellum check "
    assert hint in text and text.endswith("`")
    assert shlex.split(text[text.index(hint) + len(hint):-1]) == [str(directory)]
    assert snapshot.read_bytes() == damaged


def test_a_refused_log_names_the_segment_the_offset_and_the_check(tmp_path):
    native = _vellum.Cache(persist_dir=str(tmp_path), fsync="always", snapshot_interval=0)
    native.set("k", "v")
    del native
    (wal,) = tmp_path.glob("wal-*.log")
    at = wal.stat().st_size
    with open(wal, "ab") as f:  # a record whose checksum holds but whose operation is unknown
        f.write(b"\x01\x00\x00\x00" + zlib.crc32(b"\x0d").to_bytes(4, "little") + b"\x0d")
    with pytest.raises(_vellum.CorruptDataError) as err:
        vellum.Cache(persist_dir=tmp_path)
    assert f"in {wal.name} at byte {at}" in str(err.value) and f"`vellum check {tmp_path}`" in str(err.value)
