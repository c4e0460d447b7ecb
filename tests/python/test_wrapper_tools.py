import argparse
import io
import json
import logging
import os
import random
import subprocess
import sys
import zlib
from collections import Counter

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
    # Since a zero-filled remainder became a torn tail, the open cuts it by itself
    # (test_zero_filled_tail_is_cut_at_open_and_logged), so the offline check and repair
    # run before any open, and the finding reads as a torn tail.
    code, text = run("check", str(tmp_path))
    assert code == 1 and f"{wal.name}: torn tail: empty record at byte {good}" in text

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


# Zero bytes after the last record read as a torn tail since a zero-filled remainder became one.
@pytest.mark.parametrize("tail, torn", [(b"\x05\x00\x00", True), (b"\x00" * 8, True),
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


def record_starts(data):
    """Offsets of the records of an undamaged segment, and its end."""
    starts, pos = [], 0
    while pos < len(data):
        starts.append(pos)
        pos += 8 + int.from_bytes(data[pos:pos + 4], "little")
    assert pos == len(data)
    return starts + [pos]


def test_byte_flip_mid_segment_is_refused_then_set_aside_keeping_every_intact_record(tmp_path):
    crash_with_log(tmp_path, lambda n: [n.set(f"k{i:04}", f"v{i:04}" * 3) for i in range(2000)])
    wal = segment(tmp_path)
    original = wal.read_bytes()
    starts = record_starts(original)
    assert len(starts) == 2001 and original[30000] != 0xFF
    with open(wal, "r+b") as f:  # printf '\xff' | dd of=wal bs=1 seek=30000 conv=notrunc
        f.seek(30000)
        f.write(b"\xff")
    damaged = wal.read_bytes()
    r = max(i for i, at in enumerate(starts) if at <= 30000)
    start, end, after = starts[r], starts[r + 1], 2000 - r - 1

    with pytest.raises(_vellum.CorruptDataError) as err:
        Cache(persist_dir=tmp_path)
    text = str(err.value)
    assert f"WAL segment {wal.name} is damaged at byte {start} (" in text, text
    assert f"{after} intact records follow it" in text and f"`vellum check --repair {tmp_path}`" in text, text
    assert wal.read_bytes() == damaged

    code, text = run("check", str(tmp_path))
    assert code == 1 and f"{wal.name}: damaged record: " in text
    assert f"at byte {start}, followed by {after} intact records; an open refuses the directory" in text, text

    code, _ = run("check", str(tmp_path), "--repair", confirm=lambda prompt: False)
    assert code == 1 and wal.read_bytes() == damaged

    prompts = []
    code, text = run("check", str(tmp_path), "--repair", confirm=lambda prompt: prompts.append(prompt) or True)
    side = tmp_path / f"{wal.name}.damaged-{start}"
    assert code == 0 and f"damaged bytes kept in {side.name}" in text, text
    assert f"bytes {start}..{end}" in prompts[0] and side.name in prompts[0] and "1999 intact records" in prompts[0]
    assert side.read_bytes() == damaged[start:end]
    assert wal.read_bytes() == original[:start] + original[end:]
    assert run("check", str(tmp_path))[0] == 0
    with Cache(persist_dir=tmp_path) as c:
        # Intact records destroyed: none; only the damaged record's key is missing.
        assert len(c) == 1999 and f"k{r:04}" not in c
        assert all(c[f"k{i:04}"] == f"v{i:04}".encode() * 3 for i in range(2000) if i != r)


@pytest.mark.parametrize("damage, kinds", [
    # two flips far apart: two spans, both set aside in one rewrite
    (lambda d, s: {s[10] + 12: 0x01, s[1500] + 12: 0x01}, ["damaged", "damaged"]),
    # a flip in the last record and a zero-filled tail: one torn span to the end
    (lambda d, s: {s[-2] + 12: 0x01}, ["torn"]),
    # a malformed record (valid checksum, unknown operation) in the middle
    (lambda d, s: "malformed", ["malformed"]),
])
def test_check_and_open_agree_on_every_kind_of_segment_fault(tmp_path, damage, kinds):
    crash_with_log(tmp_path, lambda n: [n.set(f"k{i:04}", "v" * (i % 300)) for i in range(2000)])
    wal = segment(tmp_path)
    data = bytearray(wal.read_bytes())
    starts = record_starts(bytes(data))
    changes = damage(data, starts)
    if changes == "malformed":
        bad = b"\x0d" + b"k"
        at = starts[700]
        data[at:at] = len(bad).to_bytes(4, "little") + zlib.crc32(bad).to_bytes(4, "little") + bad
    else:
        for at, value in changes.items():
            data[at] ^= value
    if kinds == ["torn"]:
        data += b"\0" * 5000
    wal.write_bytes(bytes(data))
    code, text = run("check", str(tmp_path), "--json")
    faults = json.loads(text)["faults"]
    assert code == 1 and [f["kind"] for f in faults] == kinds
    first = faults[0]
    if first["kind"] == "torn":
        with Cache(persist_dir=tmp_path) as c:
            assert len(c) == 1999 and wal.stat().st_size == first["offset"]
        return
    with pytest.raises(_vellum.CorruptDataError) as err:
        Cache(persist_dir=tmp_path)
    assert f"at byte {first['offset']}" in str(err.value)
    if first["kind"] == "damaged":
        assert f"{first['intact_after']} intact records follow it" in str(err.value)
    code, text = run("check", str(tmp_path), "--repair", "--yes", "--json")
    report = json.loads(text)
    assert code == 0 and len(report["set_aside"]) == len(kinds)
    with Cache(persist_dir=tmp_path) as c:
        assert len(c) == 2000 - kinds.count("damaged")


def test_zero_filled_tail_is_cut_at_open_and_logged(tmp_path, caplog):
    crash_with_log(tmp_path, lambda n: [n.set(f"k{i}", "v") for i in range(3)])
    wal = segment(tmp_path)
    good = wal.stat().st_size
    with open(wal, "ab") as f:
        f.write(b"\0" * 4096)
    with caplog.at_level(logging.WARNING, logger="vellum"):
        with Cache(persist_dir=tmp_path) as c:
            assert sorted(c) == [b"k0", b"k1", b"k2"]
    warnings = [r.getMessage() for r in caplog.records if r.name == "vellum" and r.levelno == logging.WARNING]
    assert any(f"truncated torn WAL tail in {wal.name} at byte {good}" in w for w in warnings), warnings


def test_serve_prints_a_repair_made_at_open(tmp_path):
    crash_with_log(tmp_path, lambda n: n.set("k", "v"))
    wal = segment(tmp_path)
    good = wal.stat().st_size
    with open(wal, "ab") as f:
        f.write(b"\x05\x00")
    proc = subprocess.Popen([sys.executable, "-m", "vellum", "serve", "--port", "0", "--dir", str(tmp_path),
                             "--snapshot-interval", "0"], stderr=subprocess.PIPE, text=True)
    try:
        lines = []
        for line in proc.stderr:
            lines.append(line)
            if "listening on" in line:
                break
        repair = f"truncated torn WAL tail in {wal.name} at byte {good}"
        assert any(repair in line for line in lines[:-1]), lines
        assert "1 keys loaded" in lines[-1], lines
    finally:
        # Killed rather than stopped: this test is about what is printed at startup, and
        # serve installs its signal handlers only after announcing that it listens.
        proc.kill()
        proc.communicate(timeout=30)


def random_damage(rng, data):
    """Up to three of: a changed byte, a cut, a zero-filled or noisy tail, zeroed bytes."""
    data = bytearray(data)
    for _ in range(rng.randrange(4)):
        kind = rng.randrange(5)
        if kind == 0 and data:
            data[rng.randrange(len(data))] ^= rng.randrange(1, 256)
        elif kind == 1:
            del data[rng.randrange(len(data) + 1):]
        elif kind == 2:
            data += bytes(rng.randrange(1, 5000))
        elif kind == 3:
            data += rng.randbytes(rng.randrange(1, 60))
        elif data:
            at = rng.randrange(len(data))
            data[at:at + 8] = bytes(len(data[at:at + 8]))
    return bytes(data)


def test_check_and_open_agree_on_random_damage(tmp_path):
    """The offline reader and the native replay are two implementations of one rule; on
    every damaged segment they must name the same first fault, and a repair must leave a
    segment that opens with every intact record."""
    rng = random.Random(20240611)
    base = tmp_path / "base"
    crash_with_log(base, lambda n: [(n.set(f"k{i % 40}", "v" * rng.randrange(600)), n.rpush("l", "a", "b"),
                                     n.delete(f"k{(i * 7) % 40}")) for i in range(60)])
    original = segment(base).read_bytes()
    seen = Counter()
    for case in range(250):
        d = tmp_path / str(case)
        d.mkdir()
        wal = d / "wal-0.log"
        damaged = random_damage(rng, original)
        wal.write_bytes(damaged)
        (report,) = json.loads(run("check", str(d), "--json")[1])["faults"][:1] or [None]
        try:
            native = _vellum.Cache(persist_dir=str(d), snapshot_interval=0)
            torn = native.persist_stats["last_error"]
            del native
        except _vellum.CorruptDataError as err:
            assert wal.read_bytes() == damaged
            assert report is not None and report["kind"] in ("damaged", "malformed"), (case, err, report)
            assert f" at byte {report['offset']}" in str(err), (case, err, report)
            if report["kind"] == "damaged":
                assert f"and {report['intact_after']} intact record" in str(err), (case, err, report)
            seen[report["kind"]] += 1
            assert run("check", str(d), "--repair", "--yes")[0] == 0
            native = _vellum.Cache(persist_dir=str(d), snapshot_interval=0)
            assert native.persist_stats["last_error"] is None
            del native
            continue
        if torn is None:
            assert report is None, (case, report)
            seen["ok"] += 1
        else:
            assert report is not None and report["kind"] == "torn", (case, torn, report)
            assert torn == f"truncated torn WAL tail in wal-0.log at byte {report['offset']}"
            seen["torn"] += 1
    assert all(seen[k] > 10 for k in ("ok", "torn", "damaged")), seen


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
