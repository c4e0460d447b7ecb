import argparse
import io
import json
import os
import zlib

import pytest

from vellum import _vellum
from vellum.cache import Cache
from vellum.tools import add_subcommands


def run(*argv, confirm=None):
    parser = argparse.ArgumentParser(prog="vellum")
    add_subcommands(parser.add_subparsers(dest="command", required=True))
    args = parser.parse_args(argv)
    out = io.StringIO()
    if confirm is not None:
        code = args.run(args, out, confirm=confirm)
    else:
        code = args.run(args, out)
    return code, out.getvalue()


def crash_with_log(directory, writes):
    """Leaves a directory as a crash would: records in the log, no final snapshot."""
    native = _vellum.Cache(persist_dir=str(directory), fsync="always", snapshot_interval=0)
    writes(native)
    del native


def segment(directory):
    (path,) = sorted(directory.glob("wal-*.log"))
    return path


def test_info_reports_every_kind_of_value(tmp_path):
    with Cache(persist_dir=tmp_path) as c:
        c["s"] = b"v"
        c.rpush("l", "a", "b")
        c.hset("h", "f", "v")
        c.sadd("set", "m")
        c.set("soon", b"x", ttl=600)
    code, text = run("info", str(tmp_path), "--json")
    info = json.loads(text)
    assert code == 0
    assert info["snapshot"]["keys_by_kind"] == {"string": 2, "list": 1, "hash": 1, "set": 1}
    assert info["snapshot"]["fault"] is None and info["lock_holder"] is None
    code, text = run("info", str(tmp_path))
    assert code == 0 and "hash 1, list 1, set 1, string 2" in text


def test_info_counts_log_records_by_operation(tmp_path):
    crash_with_log(tmp_path, lambda n: (n.set("a", "1"), n.set("b", "2"), n.delete("a"), n.lpush("l", "x")))
    _, text = run("info", str(tmp_path), "--json")
    (seg,) = json.loads(text)["segments"]
    assert seg["ops"] == {"SET": 2, "DEL": 1, "LPUSH": 1} and seg["fault"] is None


def test_check_repair_cuts_a_zero_filled_tail_so_the_directory_opens(tmp_path):
    crash_with_log(tmp_path, lambda n: [n.set(f"k{i}", "v") for i in range(3)])
    wal = segment(tmp_path)
    good = wal.stat().st_size
    with open(wal, "ab") as f:
        f.write(b"\0" * 4096)
    with pytest.raises(_vellum.CorruptDataError):
        Cache(persist_dir=tmp_path)

    code, text = run("check", str(tmp_path))
    assert code == 1 and f"{wal.name}: record malformed: truncated at byte {good}" in text

    code, _ = run("check", str(tmp_path), "--repair", confirm=lambda prompt: False)
    assert code == 1 and wal.stat().st_size == good + 4096  # declined: nothing changed

    code, text = run("check", str(tmp_path), "--repair", "--yes")
    assert code == 0 and "(repaired)" in text and wal.stat().st_size == good
    assert run("check", str(tmp_path))[0] == 0
    with Cache(persist_dir=tmp_path) as c:
        assert sorted(c) == [b"k0", b"k1", b"k2"]


def test_check_refuses_to_repair_a_directory_in_use(tmp_path):
    with Cache(persist_dir=tmp_path) as c:
        c["k"] = b"v"
        with open(segment(tmp_path), "ab") as f:
            f.write(b"\0" * 8)
        code, _ = run("check", str(tmp_path), "--repair", "--yes")
        assert code == 1 and segment(tmp_path).stat().st_size > 8


def damage_checksum(data):
    return data[:-1] + bytes([data[-1] ^ 1])


def damage_magic(data):
    body = b"XVSNAP01" + data[8:-4]
    return body + zlib.crc32(body).to_bytes(4, "little")


def damage_count(data):
    body = data[:-12] + (int.from_bytes(data[-12:-4], "little") + 1).to_bytes(8, "little")
    return body + zlib.crc32(body).to_bytes(4, "little")


@pytest.mark.parametrize("damage, reason", [
    (damage_checksum, "checksum mismatch"), (damage_magic, "bad magic"), (damage_count, "record count mismatch"),
    (lambda d: d[:32], "file truncated")])
def test_check_reports_the_first_snapshot_fault_and_agrees_with_the_open(tmp_path, damage, reason):
    with Cache(persist_dir=tmp_path) as c:
        c["k"] = b"v"
    snap = tmp_path / "snapshot.kvs"
    snap.write_bytes(damage(snap.read_bytes()))
    code, text = run("check", str(tmp_path), "--json")
    report = json.loads(text)
    assert code == 1 and report["faults"][0]["fault"] == reason
    with pytest.raises(_vellum.CorruptDataError, match=reason):
        Cache(persist_dir=tmp_path)


@pytest.mark.parametrize("tail, torn", [(b"\x05\x00\x00", True), (b"\x00" * 8, False),
                                        (b"\x01\x00\x00\x00" + zlib.crc32(b"\x0d").to_bytes(4, "little") + b"\x0d",
                                         False)])
def test_check_tells_torn_tails_from_malformed_records(tmp_path, tail, torn):
    crash_with_log(tmp_path, lambda n: n.set("k", "v"))
    with open(segment(tmp_path), "ab") as f:
        f.write(tail)
    code, text = run("check", str(tmp_path), "--json")
    (fault,) = json.loads(text)["faults"]
    assert code == 1 and fault["fault"].startswith("torn tail") is torn


def test_missing_directory_and_bad_usage(tmp_path):
    assert run("info", str(tmp_path / "none"))[0] == 1
    with pytest.raises(SystemExit) as exit_info:
        run("check")
    assert exit_info.value.code == 2


def test_stats_reads_a_live_server(tmp_path):
    pytest.importorskip("redis")
    with Cache() as c:
        c["k"] = b"v"
        server = _vellum.Server(c.native, port=0)
        server.start()
        try:
            code, text = run("stats", f"127.0.0.1:{server.port}", "--json")
            assert code == 0 and json.loads(text)["keys"] == 1
            code, text = run("stats", f"127.0.0.1:{server.port}", "--watch", "--count", "2", "--interval", "0.01")
            assert code == 0 and text.count("used_memory") == 2
        finally:
            server.stop()
        assert run("stats", f"127.0.0.1:{server.port}")[0] == 1


@pytest.mark.parametrize("state", ["absent", "held", "stale"])
def test_info_reports_the_lock_by_its_flock_not_by_the_pid_alone(tmp_path, state):
    Cache(persist_dir=tmp_path).close()
    holder = None
    if state == "held":
        holder = Cache(persist_dir=tmp_path)
    elif state == "stale":
        (tmp_path / "LOCK").write_text(f"{os.getppid()}\n")  # live, but holds nothing
    try:
        code, text = run("info", str(tmp_path), "--json")
        info = json.loads(text)
        _, shown = run("info", str(tmp_path))
    finally:
        if holder is not None:
            holder.close()
    pid = {"absent": None, "held": os.getpid(), "stale": os.getppid()}[state]
    assert code == 0 and info["lock"] == {"state": state, "pid": pid}
    assert info["lock_holder"] == (pid if state == "held" else None)
    line = {
        "absent": "not locked by a live process",
        "held": f"locked by live process {os.getpid()}",
        "stale": f"stale LOCK: it names pid {os.getppid()} but nobody holds its lock",
    }[state]
    assert line in shown


def test_a_stale_lock_neither_blocks_the_open_nor_a_repair(tmp_path):
    crash_with_log(tmp_path, lambda n: [n.set(f"k{i}", "v") for i in range(3)])
    wal = segment(tmp_path)
    good = wal.stat().st_size
    with open(wal, "ab") as f:
        f.write(b"\0" * 64)
    (tmp_path / "LOCK").write_text(f"{os.getppid()}\n")
    code, text = run("check", str(tmp_path), "--repair", "--yes")
    assert code == 0 and "(repaired)" in text and wal.stat().st_size == good
    with Cache(persist_dir=tmp_path) as c:
        assert sorted(c) == [b"k0", b"k1", b"k2"]


@pytest.mark.parametrize("mode, warned", [(0o700, False), (0o750, False), (0o755, True), (0o701, True)],
                         ids=["0700", "0750", "0755", "0701"])
def test_info_warns_about_a_directory_other_users_can_reach(tmp_path, mode, warned):
    Cache(persist_dir=tmp_path).close()
    os.chmod(tmp_path, mode)
    _, text = run("info", str(tmp_path))
    assert f"(mode {mode:04o})" in text
    assert (f"warning: mode {mode:04o} lets other users reach the cached data" in text) is warned
    info = json.loads(run("info", str(tmp_path), "--json")[1])
    assert bool(info["warnings"]) is warned
