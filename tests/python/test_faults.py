"""Faults at the OS boundary: libc calls made to fail, fall short or be interrupted.

Each case runs a child Python process with tests/faults/fault_shim.c preloaded (see its
header for the environment it reads). The child opens a persistent cache, writes,
saves, and prints what it saw as JSON; this process then reopens the directory without
the shim. Failures must surface as the documented `last_error` texts while the data in
memory stays intact; interrupted calls and short writes must not surface at all.
"""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import pytest

from vellum._vellum import Cache

SHIM_SOURCE = pathlib.Path(__file__).resolve().parents[1] / "faults" / "fault_shim.c"
WRITES = 40

CHILD = r"""
import ctypes, json, os, sys, time
from vellum._vellum import Cache, Server

cfg = json.loads(sys.argv[1])
out = {"errors": [], "first_fault": None, "last_error": None, "refused": []}


def hits():
    try:
        return ctypes.CDLL(None).vellum_fault_hits()
    except AttributeError:
        return -1


def report():
    out["hits"] = hits()
    print(json.dumps(out), flush=True)


if cfg.get("server"):
    import redis
    c = Cache()
    s = Server(c, port=0)
    s.start()
    ok = 0
    for i in range(cfg["connections"]):
        r = redis.Redis(host="127.0.0.1", port=s.port, protocol=2, socket_timeout=10)
        ok += r.ping() is True and r.set(b"k%d" % i, b"v") is True
        r.close()
    out["served"] = ok
    s.stop()
    c.close()
    report()
    sys.exit(0)

try:
    c = Cache(persist_dir=cfg["dir"], fsync=cfg["fsync"], snapshot_interval=0)
except Exception as e:
    out["open_error"] = f"{type(e).__name__}: {e}"
    report()
    sys.exit(0)

for i in range(cfg["writes"]):
    try:
        c.set(b"k%d" % i, b"v%d" % i)
    except OSError as e:
        out["refused"].append(i)
        out.setdefault("refusal", str(e))
    if i == cfg.get("save_at"):
        try:
            c.save()
        except OSError as e:
            out["errors"].append(str(e))
    if out["first_fault"] is None and c.persist_stats["last_error"] is not None:
        out["first_fault"] = i
        out["last_error"] = c.persist_stats["last_error"]
if cfg["fsync"] == "everysec":
    # The background flush runs once a second.
    deadline = time.monotonic() + 15  # generous: the machine may be loaded
    while out["last_error"] is None and time.monotonic() < deadline:
        time.sleep(0.05)
        out["last_error"] = c.persist_stats["last_error"]
refused = set(out["refused"])
out["intact"] = all(c.get(b"k%d" % i) == (None if i in refused else b"v%d" % i) for i in range(cfg["writes"]))
if cfg["end"] == "crash":
    report()
    os._exit(0)
if cfg["end"] == "recover":
    try:
        c.save()
        out["after_recovery"] = c.persist_stats["last_error"]
    except OSError as e:
        out["recovery_error"] = str(e)
c.close()
out["after_close"] = c.persist_stats["last_error"]
report()
"""


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the fault shim")
    out = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"], check=True)
    return out


def run_child(shim, cfg, script=CHILD, **fault):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELLUM_FAULT_")}
    if shim is not None:
        # After anything already preloaded: a sanitizer runtime must stay first.
        env["LD_PRELOAD"] = f"{env['LD_PRELOAD']} {shim}" if env.get("LD_PRELOAD") else str(shim)
    for name, value in fault.items():
        env[f"VELLUM_FAULT_{name.upper()}"] = str(value)
    proc = subprocess.run(
        [sys.executable, "-c", script, json.dumps(cfg)], env=env, capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def reopened_contents(data_dir):
    c = Cache(persist_dir=str(data_dir), snapshot_interval=0)
    try:
        return {k: c.get(k) for k in c.keys()}, c.persist_stats["last_error"]
    finally:
        c.close()


def expected(indices):
    return {b"k%d" % i: b"v%d" % i for i in indices}


REFUSED = "; writes are refused until a save succeeds"
SUSPENDED = "; logging is suspended until a save succeeds"


# (fault settings, child settings, last_error prefix, OS error text it carries)
FAILURES = [
    pytest.param(
        dict(op="write", path_substr="wal-", after=10, errno="EIO"),
        dict(fsync="always", end="crash"),
        "WAL append failed: ",
        "(os error 5)",
        id="wal-write-eio",
    ),
    pytest.param(
        dict(op="write", path_substr="wal-", after=10, errno="ENOSPC", mode="torn"),
        dict(fsync="always", end="crash"),
        "WAL append failed: ",
        "(os error 28)",
        id="wal-write-torn",
    ),
    pytest.param(
        dict(op="write", path_substr="wal-", after=10, errno="ENOSPC"),
        dict(fsync="always", end="recover"),
        "WAL append failed: ",
        "(os error 28)",
        id="wal-write-enospc",
    ),
    pytest.param(
        dict(op="fdatasync", path_substr="wal-", after=10, errno="EIO"),
        dict(fsync="always", end="crash"),
        "WAL append failed: ",
        "(os error 5)",
        id="wal-fdatasync-always",
    ),
    pytest.param(
        dict(op="fdatasync", path_substr="wal-", errno="EIO"),
        dict(fsync="everysec", end="recover"),
        "fsync failed: ",
        "(os error 5)",
        id="wal-background-fdatasync",
    ),
    pytest.param(
        dict(op="write", path_substr="snapshot.tmp", errno="ENOSPC"),
        dict(fsync="always", save_at=20, end="recover"),
        "save failed: ",
        "(os error 28)",
        id="snapshot-write",
    ),
    pytest.param(
        dict(op="fsync", path_substr="snapshot.tmp", errno="EIO"),
        dict(fsync="always", save_at=20, end="recover"),
        "save failed: ",
        "(os error 5)",
        id="snapshot-fsync",
    ),
    pytest.param(
        dict(op="rename", path_substr="snapshot", errno="EIO"),
        dict(fsync="always", save_at=20, end="recover"),
        "save failed: ",
        "(os error 5)",
        id="snapshot-rename",
    ),
    pytest.param(
        dict(op="open", path_substr="snapshot.tmp", errno="EMFILE"),
        dict(fsync="always", save_at=20, end="recover"),
        "save failed: ",
        "(os error 24)",
        id="snapshot-open",
    ),
    pytest.param(
        dict(op="open", path_substr="wal-", after=1, errno="ENOSPC"),
        dict(fsync="always", save_at=20, end="recover"),
        "save failed: ",
        "(os error 28)",
        id="rotation-open",
    ),
]


@pytest.mark.parametrize("fault, cfg, prefix, os_text", FAILURES)
def test_os_failure_is_reported_and_loses_no_acknowledged_write(shim, tmp_path, fault, cfg, prefix, os_text):
    data = tmp_path / "data"
    got = run_child(shim, dict(cfg, dir=str(data), writes=WRITES), **fault)
    assert got["hits"] >= 1, "the fault was never injected"
    assert got["last_error"] is not None and got["last_error"].startswith(prefix), got
    message = got["last_error"]
    if prefix != "save failed: ":
        # Updated for the broken-log rules: a failed append or sync stops the log, which
        # last_error says, and under `always` refuses every write until a save.
        suffix = REFUSED if cfg["fsync"] == "always" else SUSPENDED
        assert message.endswith(suffix), got
        message = message[: -len(suffix)]
        if cfg["fsync"] == "always":
            assert got["refused"] == list(range(got["first_fault"], WRITES)), got
            assert got["refusal"] == "persistence failed: " + message + REFUSED, got
    assert message.endswith(os_text), got
    assert got["intact"], "the in-memory data changed after a persistence failure"
    acknowledged = [i for i in range(WRITES) if i not in got["refused"]]
    if "save_at" in cfg:
        # Cache.save raises the same text it records.
        assert got["errors"] == [got["last_error"]], got
    contents, reopen_error = reopened_contents(data)
    if cfg["end"] == "crash":
        # Exactly the acknowledged writes are on disk: a failed append leaves the log
        # ending on a whole record, and the refused writes are not in it.
        assert contents == expected(acknowledged)
        assert reopen_error is None, "the log was left with a torn record"
    else:
        assert got.get("after_recovery", "missing") is None, "a successful save did not clear last_error"
        assert got["after_close"] is None, got
        assert contents == expected(acknowledged)


def test_failed_final_save_is_reported_and_the_log_still_holds_every_write(shim, tmp_path):
    data = tmp_path / "data"
    got = run_child(
        shim,
        dict(dir=str(data), writes=WRITES, fsync="always", end="close"),
        op="write",
        path_substr="snapshot.tmp",
        errno="EIO",
    )
    assert got["hits"] == 1 and got["last_error"] is None, got
    assert got["after_close"].startswith("final save failed: "), got
    assert got["after_close"].endswith("(os error 5)"), got
    contents, _ = reopened_contents(data)
    assert contents == expected(range(WRITES))


def make_torn_tail(shim, data, n):
    """A directory whose log holds n whole records and then the start of one more."""
    got = run_child(None, dict(dir=str(data), writes=n, fsync="always", end="crash"))
    assert got["last_error"] is None
    (segment,) = data.glob("wal-*.log")
    with open(segment, "ab") as f:
        f.write(b"\x40\x00\x00")  # a length field of a record that never arrived
    return segment


@pytest.mark.parametrize(
    "fault, opens",
    [
        pytest.param(dict(op="ftruncate", path_substr="wal-", errno="EIO"), False, id="repair-ftruncate-fails"),
        pytest.param(dict(op="ftruncate", path_substr="wal-", mode="eintr"), True, id="repair-ftruncate-eintr"),
        pytest.param(dict(op="fsync", path_substr="wal-", mode="eintr"), True, id="repair-fsync-eintr"),
    ],
)
def test_torn_tail_repair_at_open(shim, tmp_path, fault, opens):
    data = tmp_path / "data"
    make_torn_tail(shim, data, 10)
    got = run_child(shim, dict(dir=str(data), writes=0, fsync="always", end="close"), **fault)
    assert got["hits"] >= 1, got
    if opens:
        assert "open_error" not in got, got
    else:
        assert got["open_error"].startswith(f"OSError: cannot open data directory {data}: "), got
        assert got["open_error"].endswith("(os error 5)"), got
    # Without the fault the directory opens, and the whole records survived the repair.
    contents, _ = reopened_contents(data)
    assert contents == expected(range(10))


def test_lock_write_failure_fails_the_open_and_leaves_a_stale_lock(shim, tmp_path):
    data = tmp_path / "data"
    got = run_child(
        shim, dict(dir=str(data), writes=5, fsync="always", end="close"), op="write", path_substr="LOCK", errno="ENOSPC"
    )
    assert got["open_error"].startswith(f"OSError: cannot open data directory {data}: "), got
    assert got["open_error"].endswith("(os error 28)"), got
    contents, last_error = reopened_contents(data)
    assert contents == {} and last_error is None


# Calls that are interrupted or transfer only part of their bytes: the platform layer
# retries them, so nothing may show. EVERY=2 interrupts every second matching call, so
# each retry gets through.
TRANSPARENT = [
    pytest.param(dict(op="write", mode="short", times=0), id="short-writes"),
    pytest.param(dict(op="write", mode="eintr", times=0, every=2), id="write-eintr"),
    pytest.param(dict(op="fsync", mode="eintr", times=0, every=2), id="fsync-eintr"),
    pytest.param(dict(op="fdatasync", mode="eintr", times=0, every=2), id="fdatasync-eintr"),
    pytest.param(dict(op="open", mode="eintr", times=0, every=2), id="open-eintr"),
]


@pytest.mark.parametrize("fault", TRANSPARENT)
@pytest.mark.parametrize("fsync", ["always", "everysec"])
def test_interrupted_and_short_calls_are_retried_transparently(shim, tmp_path, fault, fsync):
    data = tmp_path / "data"
    got = run_child(
        shim,
        dict(dir=str(data), writes=WRITES, fsync=fsync, save_at=20, end="close"),
        path_substr=str(data),
        **fault,
    )
    assert "open_error" not in got, got
    assert got["hits"] >= 1, "the fault was never injected"
    assert got["errors"] == [] and got["last_error"] is None and got["after_close"] is None, got
    assert got["intact"]
    contents, last_error = reopened_contents(data)
    assert contents == expected(range(WRITES)) and last_error is None


@pytest.mark.parametrize(
    "fault",
    [
        pytest.param(dict(op="accept", errno="ECONNABORTED", times=3), id="aborted"),
        pytest.param(dict(op="accept", errno="EMFILE", times=3), id="out-of-descriptors"),
        pytest.param(dict(op="accept", mode="eintr", times=0, every=2), id="eintr"),
    ],
)
def test_accept_failures_do_not_end_the_server(shim, fault):
    got = run_child(shim, dict(server=True, connections=10), **fault)
    assert got["hits"] >= 1, got
    assert got["served"] == 10, got


@pytest.fixture
def small_tmpfs(tmp_path):
    mnt = tmp_path / "tmpfs"
    mnt.mkdir()
    proc = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mnt)], capture_output=True, text=True
    )
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


# Updated for the always-means-on-disk rule: the write that meets the full disk is
# refused, and so is every later one until a save succeeds.
def test_disk_full_keeps_memory_and_acknowledged_writes_until_space_returns(small_tmpfs):
    ballast = small_tmpfs / "ballast"
    ballast.write_bytes(b"\0" * (1536 << 10))
    data = small_tmpfs / "data"
    value = b"x" * 4000
    c = Cache(persist_dir=str(data), fsync="always", snapshot_interval=0)
    first_fault = None
    for i in range(400):  # at most 1.6 MB, far more than the 0.5 MB left
        try:
            c.set(b"k%d" % i, value)
        except OSError as e:
            assert str(e) == (
                "persistence failed: WAL append failed: No space left on device (os error 28)" + REFUSED
            )
            first_fault = i
            break
    assert first_fault is not None, "the disk never filled"
    assert c.persist_stats["last_error"] == "WAL append failed: No space left on device (os error 28)" + REFUSED
    assert all(c.get(b"k%d" % i) == value for i in range(first_fault))
    assert c.get(b"k%d" % first_fault) is None
    with pytest.raises(OSError, match="writes are refused"):
        c.set(b"later", value)
    with pytest.raises(OSError):
        c.save()
    assert c.persist_stats["last_error"].startswith("save failed: ")
    ballast.unlink()
    c.save()
    assert c.persist_stats["last_error"] is None
    assert c.set(b"later", value) is True
    c.close()
    contents, _ = reopened_contents(data)
    assert contents == {**{b"k%d" % i: value for i in range(first_fault)}, b"later": value}


REFUSAL_CHILD = r"""
import json, sys
import redis
from vellum._vellum import Cache, Server

cfg = json.loads(sys.argv[1])
c = Cache(persist_dir=cfg["dir"], fsync="always", snapshot_interval=0)
# Six log records pass; the fault shim fails the next write to the log.
c.set(b"s", b"1"); c.set(b"n", b"5"); c.set(b"t", b"x", ex=600)
c.hset(b"h", b"f", b"v"); c.rpush(b"l", b"a", b"b"); c.sadd(b"m", b"x", b"y")


def state():
    return [repr(c.get(b"s")), repr(c.get(b"n")), c.ttl(b"t"), repr(c.hgetall(b"h")), repr(c.lrange(b"l", 0, -1)),
            repr(sorted(c.smembers(b"m"))), repr(sorted(c.keys()))]


def outcome(call):
    try:
        call()
        return "accepted"
    except OSError as e:
        return str(e)


out = {"first": outcome(lambda: c.set(b"first", b"1")), "native": {}, "wire": {}}
before = state()
native = {
    "set": lambda: c.set(b"s", b"2"), "mset": lambda: c.mset({b"s": b"2"}), "incr": lambda: c.incr(b"n"),
    "decr": lambda: c.decr(b"n"), "append": lambda: c.append(b"s", b"z"), "delete": lambda: c.delete(b"s"),
    "expire": lambda: c.expire(b"s", 10), "pexpire": lambda: c.pexpire(b"s", 10), "persist": lambda: c.persist(b"t"),
    "hset": lambda: c.hset(b"h", b"f", b"w"), "hdel": lambda: c.hdel(b"h", b"f"), "lpush": lambda: c.lpush(b"l", b"c"),
    "rpush": lambda: c.rpush(b"l", b"c"), "lpop": lambda: c.lpop(b"l"), "rpop": lambda: c.rpop(b"l"),
    "sadd": lambda: c.sadd(b"m", b"z"), "srem": lambda: c.srem(b"m", b"x"), "flush": lambda: c.flush(),
}
for name, call in native.items():
    out["native"][name] = outcome(call)
out["native_unchanged"] = state() == before

server = Server(c, port=0)
server.start()
r = redis.Redis(port=server.port, protocol=2)
wire = [["SET", "s", "2"], ["MSET", "s", "2"], ["INCR", "n"], ["APPEND", "s", "z"], ["DEL", "s"], ["EXPIRE", "s", "9"],
        ["PERSIST", "t"], ["HSET", "h", "f", "w"], ["HDEL", "h", "f"], ["LPUSH", "l", "c"], ["RPOP", "l"],
        ["SADD", "m", "z"], ["SREM", "m", "x"], ["FLUSHALL"]]
for args in wire:
    try:
        r.execute_command(*args)
        out["wire"][args[0]] = "accepted"
    except redis.ResponseError as e:
        out["wire"][args[0]] = f"{type(e).__name__}: {e}"
out["wire_get"] = r.get("s").decode()
out["wire_unchanged"] = state() == before
out["save"] = r.execute_command("SAVE")
out["after_save"] = r.set("s", "3")
r.close()
server.stop()
c.close()
print(json.dumps(out))
"""


def test_refused_writes_raise_oserror_and_error_replies_until_a_save(shim, tmp_path):
    data = tmp_path / "data"
    got = run_child(shim, dict(dir=str(data)), script=REFUSAL_CHILD, op="write", path_substr="wal-", after=6,
                    errno="ENOSPC")
    text = "persistence failed: WAL append failed: No space left on device (os error 28)" + REFUSED
    assert got["first"] == text
    assert got["native"] == {name: text for name in got["native"]}, got["native"]
    assert got["native_unchanged"], "a refused call changed the data"
    assert got["wire"] == {name: "ResponseError: " + text for name in got["wire"]}, got["wire"]
    assert got["wire_get"] == "1", "reads must go on"
    assert got["wire_unchanged"]
    assert got["save"] is True and got["after_save"] is True
    c = Cache(persist_dir=str(data), snapshot_interval=0)
    try:
        assert (c.get(b"s"), c.get(b"n"), c.get(b"first")) == (b"3", b"5", None)
        assert c.lrange(b"l", 0, -1) == [b"a", b"b"] and c.hgetall(b"h") == {b"f": b"v"}
    finally:
        c.close()


def fill_until_logging_stops(cache, value):
    """Writes under everysec until the disk is full and the log has stopped; returns the
    keys written before the write that met the full disk."""
    for i in range(2000):
        cache.set(b"k%d" % i, value)
        last_error = cache.persist_stats["last_error"]
        if last_error is not None:
            assert last_error == "WAL append failed: No space left on device (os error 28)" + SUSPENDED
            return [b"k%d" % j for j in range(i)]
    pytest.fail("the disk never filled")


@pytest.mark.parametrize("how", ["native-close", "wrapper-close", "wrapper-with"])
def test_close_releases_everything_then_raises_when_writes_are_lost(small_tmpfs, how):
    import vellum

    ballast = small_tmpfs / "ballast"
    ballast.write_bytes(b"\0" * (1536 << 10))
    data = small_tmpfs / "data"
    value = b"x" * 4000
    kwargs = dict(persist_dir=str(data), fsync="everysec", snapshot_interval=0)
    c = Cache(**kwargs) if how == "native-close" else vellum.Cache(**kwargs)
    logged = fill_until_logging_stops(c, value)
    c.set(b"after", value)  # accepted in memory, never logged
    with pytest.raises(OSError) as raised:
        if how == "wrapper-with":
            with c:
                pass
        else:
            c.close()
    assert str(raised.value) == (
        "final save failed: No space left on device (os error 28); the writes made since the log stopped "
        "(WAL append failed: No space left on device (os error 28)) are lost"
    )
    if how != "native-close":
        assert c.closed
    assert not (data / "LOCK").exists()
    ballast.unlink()
    contents, _ = reopened_contents(data)  # the lock was released: the directory opens
    assert sorted(contents) == sorted(logged), "the reopened state is not the one at the break"


def test_serve_exits_1_with_the_loss_on_stderr(small_tmpfs):
    redis = pytest.importorskip("redis")
    ballast = small_tmpfs / "ballast"
    ballast.write_bytes(b"\0" * (1536 << 10))
    data = small_tmpfs / "data"
    proc = subprocess.Popen(
        [sys.executable, "-m", "vellum", "serve", "--dir", str(data), "--port", "0", "--fsync", "everysec",
         "--snapshot-interval", "0"],
        stderr=subprocess.PIPE, text=True,
    )
    try:
        for _ in range(20):
            line = proc.stderr.readline()
            if "listening on 127.0.0.1:" in line or not line:
                break
        assert "listening on 127.0.0.1:" in line, line
        port = int(line.split("listening on 127.0.0.1:")[1].split()[0])
        r = redis.Redis(port=port, protocol=2)
        for i in range(2000):
            assert r.set(b"k%d" % i, b"x" * 4000) is True
            if "logging is suspended" in str(r.info()):
                break
        else:
            pytest.fail("the disk never filled")
        r.close()
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 1, err
    assert "closed with data lost: final save failed: No space left on device (os error 28)" in err, err
