"""The data-directory surface: reopen, locking, corruption, save and close."""

import os
import pathlib
import signal
import stat
import subprocess
import sys

import pytest

from vellum._vellum import Cache, CacheLockedError, CorruptDataError


def test_reopen_keeps_every_kind_of_value(tmp_path):
    cache = Cache(persist_dir=tmp_path)
    cache.set(b"s", b"v")
    cache.rpush(b"l", b"a", b"b")
    cache.hset(b"h", b"f", b"v")
    cache.sadd(b"set", b"m")
    cache.set(b"t", b"v", ex=1000)
    cache.close()

    again = Cache(persist_dir=str(tmp_path))
    try:
        assert again.get(b"s") == b"v"
        assert again.lrange(b"l", 0, -1) == [b"a", b"b"]
        assert again.hgetall(b"h") == {b"f": b"v"}
        assert again.smembers(b"set") == {b"m"}
        assert 990 < again.ttl(b"t") <= 1000
        assert again.persist_stats["loaded_keys"] == 5
    finally:
        again.close()


def test_log_restores_writes_of_a_process_that_died_without_closing(tmp_path):
    code = (
        "import os, sys\n"
        "from vellum._vellum import Cache\n"
        "c = Cache(persist_dir=sys.argv[1], fsync='always')\n"
        "c.save()\n"
        "c.set(b'late', b'1')\n"
        "c.incr(b'late')\n"
        "os._exit(0)\n"
    )
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    cache = Cache(persist_dir=tmp_path)
    try:
        assert cache.get(b"late") == b"2"
    finally:
        cache.close()


def test_directory_held_by_another_process_is_refused(tmp_path):
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys\nfrom vellum._vellum import Cache\nc = Cache(persist_dir=sys.argv[1])\nprint('ready', flush=True)\n"
            "sys.stdin.read()\nc.close()\n",
            str(tmp_path),
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline().strip() == "ready"
        with pytest.raises(CacheLockedError) as err:
            Cache(persist_dir=tmp_path)
        # Since the holder is whoever holds LOCK's flock, the message names its pid.
        assert str(err.value) == f"data directory {tmp_path} is in use by another live process (pid {holder.pid})"
        assert isinstance(err.value, OSError)
    finally:
        holder.communicate("", timeout=60)
    Cache(persist_dir=tmp_path).close()


def test_second_open_in_the_same_process_says_so(tmp_path):
    first = Cache(persist_dir=tmp_path)
    try:
        with pytest.raises(CacheLockedError) as err:
            Cache(persist_dir=tmp_path)
        assert str(err.value) == (
            f"data directory {tmp_path} is already open in this process (pid {os.getpid()}); "
            "close the cache that holds it first"
        )
    finally:
        first.close()


@pytest.mark.parametrize("pid", [1, os.getppid(), os.getpid()], ids=["pid-1", "parent", "self"])
def test_stale_lock_naming_a_live_process_is_taken_over_with_a_warning(tmp_path, pid):
    # A crash leaves LOCK behind, and its pid may belong to some other live process by the
    # next start (pid 1 in a container). Nobody holds its lock, so the open goes ahead.
    (tmp_path / "LOCK").write_text(f"{pid}\n")
    cache = Cache(persist_dir=tmp_path)
    try:
        error = cache.persist_stats["last_error"]
        assert error.startswith("stale LOCK taken over: it names ") and f"pid {pid}" in error
        assert (tmp_path / "LOCK").read_text() == f"{os.getpid()}\n"
    finally:
        cache.close()


def modes(directory):
    return {p.name: stat.S_IMODE(p.stat().st_mode) for p in [directory, *directory.iterdir()]}


@pytest.mark.parametrize("umask", [0, 0o022, 0o277], ids=lambda m: f"umask-{m:04o}")
def test_native_open_makes_the_directory_and_its_files_private_whatever_the_umask(tmp_path, umask):
    data = tmp_path / "data"
    old = os.umask(umask)
    try:
        cache = Cache(persist_dir=data)
        cache.set(b"k", b"v")
        cache.save()  # a snapshot is written as a temporary file and renamed
        cache.set(b"k2", b"v")
        held = modes(data)
        cache.close()
    finally:
        os.umask(old)
    assert held == {"data": 0o700, "LOCK": 0o600, "snapshot.kvs": 0o600, "wal-1.log": 0o600}


def test_serve_creates_a_private_data_directory(tmp_path):
    data = tmp_path / "served"
    server = subprocess.Popen(
        [sys.executable, "-m", "vellum", "serve", "--port", "0", "--dir", str(data)],
        stderr=subprocess.PIPE, text=True, preexec_fn=lambda: os.umask(0),
    )
    try:
        line = server.stderr.readline()
        assert "listening on" in line, line
        running = modes(data)
    finally:
        server.send_signal(signal.SIGTERM)
        server.communicate(timeout=60)
    assert running == {"served": 0o700, "LOCK": 0o600, "wal-0.log": 0o600}
    assert modes(data) == {"served": 0o700, "snapshot.kvs": 0o600, "wal-1.log": 0o600}


def test_damaged_snapshot_is_corrupt_data(tmp_path):
    cache = Cache(persist_dir=tmp_path)
    cache.mset({f"key{i}": "x" * 50 for i in range(20)})
    cache.close()
    snapshot = tmp_path / "snapshot.kvs"
    data = bytearray(snapshot.read_bytes())
    data[len(data) // 2] ^= 0xFF
    snapshot.write_bytes(bytes(data))
    with pytest.raises(CorruptDataError) as err:
        Cache(persist_dir=tmp_path)
    assert str(err.value).startswith(f"cannot load data from {tmp_path}: ")
    assert isinstance(err.value, ValueError)
    # The failed open gave the directory back.
    with pytest.raises(CorruptDataError):
        Cache(persist_dir=tmp_path)


def test_unusable_directory_is_a_plain_os_error(tmp_path):
    target = tmp_path / "file"
    target.write_bytes(b"not a directory")
    with pytest.raises(OSError) as err:
        Cache(persist_dir=target)
    assert type(err.value) is OSError
    assert str(err.value).startswith(f"cannot open data directory {target}: ")
    assert err.value.errno is None


def test_path_is_shown_as_given_with_surrogates_replaced(tmp_path):
    name = os.fsdecode(b"bad\xff")
    target = tmp_path / name
    target.write_bytes(b"")
    with pytest.raises(OSError) as err:
        Cache(persist_dir=target)
    assert str(err.value).startswith(f"cannot open data directory {tmp_path}/bad\ufffd: ")


def test_relative_paths_stay_relative_in_messages(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("plain").write_bytes(b"")
    with pytest.raises(OSError, match="^cannot open data directory plain: "):
        Cache(persist_dir="plain")


def test_save_and_close_semantics(tmp_path):
    memory = Cache()
    with pytest.raises(ValueError, match="^persistence is not enabled$"):
        memory.save()
    assert memory.persistent is False and memory.persist_stats is None
    memory.close()
    memory.close()

    cache = Cache(persist_dir=tmp_path)
    assert cache.persistent is True
    cache.set(b"k", b"v")
    assert cache.save() is None
    stats = cache.persist_stats
    assert list(stats) == ["last_save_ms", "snapshot_bytes", "wal_bytes", "loaded_keys", "last_error"]
    assert stats["last_save_ms"] > 0 and stats["snapshot_bytes"] > 0 and stats["last_error"] is None
    cache.close()
    cache.close()
    assert cache.get(b"k") == b"v"
    assert cache.persistent is True
    assert cache.persist_stats is not None
    with pytest.raises(OSError) as err:
        cache.save()
    assert str(err.value) == "save failed: store is closed"
    assert not (tmp_path / "LOCK").exists()


def test_close_is_safe_while_other_threads_write(tmp_path):
    import threading

    cache = Cache(persist_dir=tmp_path)
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            cache.set(i, i)
            i += 1

    threads = [threading.Thread(target=writer) for _ in range(2)]
    for t in threads:
        t.start()
    cache.close()
    stop.set()
    for t in threads:
        t.join()
    Cache(persist_dir=tmp_path).close()
