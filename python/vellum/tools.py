"""Command-line tools for `python -m vellum`: info, check (with --repair) and stats.

`info` and `check` read a data directory with the pure-Python readers of
`vellum.diskformat` and never open it as a cache, so they work on a directory that will
not open and never hold its lock (they only probe it). Exit codes: 0 ok, 1 a fault was
found or the command failed, 2 usage (argparse's own).
"""

from __future__ import annotations

import argparse
import fcntl
import json
import math
import os
import shlex
import stat
import sys
import time
from collections.abc import Callable
from typing import Any, TextIO

from .diskformat import SNAPSHOT, SegmentFault, SegmentReport, list_segments, scan_segment, scan_snapshot, set_aside

__all__ = ["add_subcommands", "cmd_info", "cmd_check", "cmd_stats"]


def add_subcommands(subparsers: Any) -> None:
    """Adds info, check and stats to an argparse subparsers object; each sets `run`."""
    p = subparsers.add_parser("info", help="describe a data directory (offline, read-only)")
    p.add_argument("dir")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=cmd_info)

    p = subparsers.add_parser("check", help="verify every checksum and structure of a data directory")
    p.add_argument("dir")
    p.add_argument("--repair", action="store_true",
                   help="move the damaged bytes of log segments to side files, keeping every intact record")
    p.add_argument("--yes", action="store_true", help="repair without asking")
    p.add_argument("--json", action="store_true")
    p.set_defaults(run=cmd_check)

    p = subparsers.add_parser("stats", help="show a running server's INFO")
    p.add_argument("address", metavar="HOST:PORT", type=_address_arg)
    p.add_argument("--password", default=None)
    p.add_argument("--watch", action="store_true",
                   help="refresh until interrupted, redrawing in place on a terminal")
    p.add_argument("--interval", type=_interval_arg, default=1.0,
                   help=f"seconds between refreshes (default 1; at least {MIN_INTERVAL})")
    p.add_argument("--count", type=_count_arg, default=0, help="with --watch, stop after this many refreshes")
    p.add_argument("--json", action="store_true")
    p.set_defaults(run=cmd_stats)


# The shortest pause between two refreshes of `stats --watch`; a shorter one is raised to
# it, since a frame a few microseconds after the last shows nothing new and floods the
# output.
MIN_INTERVAL = 0.1


def _address_arg(text: str) -> tuple[str, int]:
    """HOST:PORT (HOST may be empty for 127.0.0.1, or a bracketed IPv6 address)."""
    host, sep, port = text.rpartition(":")
    if not sep or not port.isascii() or not port.isdigit():
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, not {text!r}")
    if not 1 <= int(port) <= 65535:
        raise argparse.ArgumentTypeError(f"port must be between 1 and 65535, not {port}")
    if host.startswith("[") != host.endswith("]") or any(c.isspace() for c in host):
        raise argparse.ArgumentTypeError(f"not a host name or address: {host!r}")
    return host.strip("[]") or "127.0.0.1", int(port)


def _interval_arg(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not math.isfinite(seconds) or seconds <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text}")
    return seconds


def _count_arg(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if count < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (no limit) or more, not {count}")
    return count


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


def _error(message: str) -> int:
    print(f"vellum: {message}", file=sys.stderr)
    return 1


def _lock_pid(content: bytes) -> int | None:
    """The pid LOCK names, as the core reads it: a decimal with at most one "+", trimmed."""
    try:
        text = content.decode("utf-8").strip()
    except UnicodeDecodeError:
        return None
    digits = text[1:] if text.startswith("+") else text
    if not (digits.isascii() and digits.isdigit()) or int(digits) > 0xFFFFFFFF:
        return None
    return int(digits)


def _lock_state(directory: str) -> dict[str, Any]:
    """The directory lock: "held" while a process holds the flock on LOCK (pid: the one LOCK
    names), "stale" when LOCK is there but nobody holds it (the next open takes it over,
    whatever pid it names), "absent" without LOCK, "unknown" when it cannot be probed."""
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as err:
        return {"state": "unknown", "pid": None, "error": str(err)}
    try:
        # An opener holds the directory's own flock while it takes LOCK's, so holding it
        # here too never sees a lock half taken, and the probe below never makes an
        # opener believe the directory is in use.
        fcntl.flock(dir_fd, fcntl.LOCK_EX)
        try:
            fd = os.open(os.path.join(directory, "LOCK"), os.O_RDONLY)
        except FileNotFoundError:
            return {"state": "absent", "pid": None}
        except OSError as err:
            return {"state": "unknown", "pid": None, "error": str(err)}
        try:
            content = os.read(fd, 4096)
            try:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                held = False
            except BlockingIOError:
                held = True
        finally:
            os.close(fd)
    finally:
        os.close(dir_fd)
    return {"state": "held" if held else "stale", "pid": _lock_pid(content)}


def _survey(directory: str) -> dict[str, Any]:
    snap_path = os.path.join(directory, SNAPSHOT)
    result: dict[str, Any] = {"dir": directory, "files": [], "snapshot": None, "segments": []}
    for name in sorted(os.listdir(directory)):
        full = os.path.join(directory, name)
        if os.path.isfile(full):
            result["files"].append({"name": name, "bytes": os.path.getsize(full)})
    if os.path.isfile(snap_path):
        s = scan_snapshot(snap_path, _now_ms())
        result["snapshot"] = {
            "bytes": s.size, "wal_seq": s.wal_seq, "records": s.records, "keys_by_kind": dict(s.kinds),
            "expired": s.expired, "fault": s.fault, "fault_offset": s.fault_offset,
        }
    for number, name in list_segments(directory):
        seg = scan_segment(number, os.path.join(directory, name))
        result["segments"].append(_segment_dict(name, seg))
    result["log_bytes"] = sum(s["bytes"] for s in result["segments"])
    lock = _lock_state(directory)
    result["lock"] = lock
    result["lock_holder"] = lock["pid"] if lock["state"] == "held" else None
    mode = stat.S_IMODE(os.stat(directory).st_mode)
    result["mode"] = f"{mode:04o}"
    result["warnings"] = []
    if mode & (stat.S_IROTH | stat.S_IXOTH):
        result["warnings"].append(
            f"mode {mode:04o} lets other users reach the cached data; chmod 700 {directory} makes it private"
        )
    return result


def _segment_dict(name: str, seg: SegmentReport) -> dict[str, Any]:
    return {
        "name": name, "number": seg.number, "bytes": seg.size, "records": seg.records,
        "good_bytes": seg.good_bytes, "ops": dict(seg.ops), "fault": seg.fault,
        "fault_offset": seg.fault_offset, "torn": seg.torn,
        "faults": [{"offset": f.offset, "end": f.end, "kind": f.kind, "reason": f.reason, "text": f.text,
                    "intact_after": f.intact_after, "gave_up": f.gave_up} for f in seg.faults],
    }


def _consequence(kind: str, intact_after: int, gave_up: bool = False) -> str:
    """What an open does about a segment fault, as a suffix of its line."""
    if kind == "damaged" and gave_up and intact_after == 0:
        return ", and intact records may follow (the search for them gave up); an open refuses the directory"
    if kind == "damaged":
        noun = "record" if intact_after == 1 else "records"
        least = "at least " if gave_up else ""
        return f", followed by {least}{intact_after} intact {noun}; an open refuses the directory"
    if kind == "malformed":
        return "; an open refuses the directory"
    return "; an open cuts it"


def cmd_info(args: argparse.Namespace, out: TextIO | None = None) -> int:
    out = out or sys.stdout
    if not os.path.isdir(args.dir):
        return _error(f"{args.dir}: not a directory")
    survey = _survey(args.dir)
    if args.json:
        json.dump(survey, out, indent=2, sort_keys=True)
        out.write("\n")
        return 0
    w = out.write
    w(f"data directory {args.dir} (mode {survey['mode']})\n")
    lock = survey["lock"]
    if lock["state"] == "held":
        w(f"  locked by live process {lock['pid']}\n" if lock["pid"] is not None else "  locked by a live process\n")
    elif lock["state"] == "stale":
        named = f"names pid {lock['pid']}" if lock["pid"] is not None else "names no pid"
        w(f"  stale LOCK: it {named} but nobody holds its lock; the next open takes it over\n")
    elif lock["state"] == "absent":
        w("  not locked by a live process\n")
    else:
        w(f"  lock state unknown: {lock['error']}\n")
    for warning in survey["warnings"]:
        w(f"  warning: {warning}\n")
    w("files:\n")
    for f in survey["files"]:
        w(f"  {f['name']:<24} {f['bytes']:>12} bytes\n")
    snap = survey["snapshot"]
    if snap is None:
        w("snapshot: none\n")
    else:
        kinds = ", ".join(f"{k} {n}" for k, n in sorted(snap["keys_by_kind"].items())) or "no keys"
        w(f"snapshot: wal_seq {snap['wal_seq']}, {snap['records']} records ({kinds}; {snap['expired']} expired)\n")
        if snap["fault"]:
            w(f"  fault: {snap['fault']} at byte {snap['fault_offset']}\n")
    w(f"log: {len(survey['segments'])} segments, {survey['log_bytes']} bytes\n")
    for seg in survey["segments"]:
        ops = ", ".join(f"{k} {n}" for k, n in sorted(seg["ops"].items())) or "empty"
        w(f"  {seg['name']}: {seg['records']} records ({ops})\n")
        for f in seg["faults"]:
            w(f"    fault: {f['text']} at byte {f['offset']}"
              f"{_consequence(f['kind'], f['intact_after'], f['gave_up'])}\n")
    return 0


def _confirm(prompt: str) -> bool:
    return input(f"{prompt} [y/N] ").strip().lower() in ("y", "yes")


def _can_ask() -> bool:
    return sys.stdin is not None and sys.stdin.isatty()


def _repair_prompt(name: str, faults: list[dict[str, Any]], records: int) -> str:
    moves = "; ".join(f"bytes {f['offset']}..{f['end']} ({f['fault']}) to {name}.damaged-{f['offset']}" for f in faults)
    noun = "record" if records == 1 else "records"
    return f"{name}: move {moves}, keeping its {records} intact {noun}?"


def cmd_check(args: argparse.Namespace, out: TextIO | None = None,
              confirm: Callable[[str], bool] | None = None) -> int:
    """`confirm` answers each repair prompt; by default the user answers on the terminal,
    and without one (and without --yes) nothing is repaired and the report says so."""
    out = out or sys.stdout
    if confirm is None and _can_ask():
        confirm = _confirm
    if not os.path.isdir(args.dir):
        return _error(f"{args.dir}: not a directory")
    survey = _survey(args.dir)
    faults: list[dict[str, Any]] = []
    snap = survey["snapshot"]
    if snap is not None and snap["fault"]:
        faults.append({"file": SNAPSHOT, "fault": snap["fault"], "offset": snap["fault_offset"], "repairable": False})
    for seg in survey["segments"]:
        for f in seg["faults"]:
            faults.append({"file": seg["name"], "fault": f["text"], "kind": f["kind"], "offset": f["offset"],
                           "end": f["end"], "intact_after": f["intact_after"], "gave_up": f["gave_up"],
                           "repairable": True, "bytes": seg["bytes"]})
    repaired: list[str] = []
    side_files: list[str] = []
    unasked = args.repair and not args.yes and confirm is None
    if args.repair and not unasked and any(f["repairable"] for f in faults):
        holder = survey["lock_holder"]
        if holder is not None:
            return _error(f"{args.dir} is in use by process {holder}; close that cache before repairing")
        # A segment's faults are set aside together: the segment is rewritten once.
        for seg in survey["segments"]:
            mine = [f for f in faults if f["file"] == seg["name"]]
            if not mine:
                continue
            if args.yes or (confirm is not None and confirm(_repair_prompt(seg["name"], mine, seg["records"]))):
                spans = [SegmentFault(f["offset"], f["end"], f["kind"], f["fault"]) for f in mine]
                sides = set_aside(os.path.join(args.dir, seg["name"]), spans)
                side_files.extend(os.path.basename(p) for p in sides)
                repaired.append(seg["name"])
    remaining = [f for f in faults if f["file"] not in repaired]
    if args.json:
        json.dump({"dir": args.dir, "faults": faults, "repaired": repaired, "set_aside": side_files,
                   "ok": not remaining}, out, indent=2)
        out.write("\n")
    else:
        checked = (1 if snap else 0) + len(survey["segments"])
        for f in faults:
            state = " (repaired)" if f["file"] in repaired else ""
            after = _consequence(f["kind"], f["intact_after"], f["gave_up"]) if "kind" in f and not state else ""
            out.write(f"{f['file']}: {f['fault']} at byte {f['offset']}{after}{state}\n")
        for name in side_files:
            out.write(f"damaged bytes kept in {name}\n")
        if remaining:
            files = len({f["file"] for f in remaining})
            hint = ""
            if any(f["repairable"] for f in remaining) and not args.repair:
                hint = "; run with --repair to move the damaged bytes aside"
            out.write(f"{files} of {checked} files have faults{hint}\n")
        else:
            out.write(f"ok: {checked} files checked\n")
    if unasked and any(f["repairable"] for f in faults):
        # Said on stderr in every output format, so that a script running without a
        # terminal learns why its --repair did nothing.
        print(f"vellum: nothing was changed: --repair asks before each repair and there is no terminal to "
              f"answer on; add --yes to repair without asking (vellum check --repair --yes {shlex.quote(args.dir)})",
              file=sys.stderr)
    return 1 if remaining else 0


_HOME, _CLEAR_LINE, _CLEAR_BELOW = "\x1b[H", "\x1b[K", "\x1b[J"
_SHOWN = ("uptime_in_seconds", "keys", "used_memory", "persistence_enabled", "last_save_time",
          "wal_bytes", "snapshot_bytes", "last_error")


def cmd_stats(args: argparse.Namespace, out: TextIO | None = None) -> int:
    out = out or sys.stdout
    # redis is an optional dependency that only this command needs, so it is imported
    # here: the package and the offline tools work without it.
    try:
        import redis
    except ImportError:
        return _error("stats needs the redis client: pip install redis")
    host, port = args.address
    interval = args.interval
    if args.watch and interval < MIN_INTERVAL:
        print(f"vellum: --interval {interval:g} is below the minimum; refreshing every {MIN_INTERVAL} s",
              file=sys.stderr)
        interval = MIN_INTERVAL
    # protocol=2: the server speaks RESP2 only, and a client that asks for RESP3 opens with
    # HELLO, which the server does not know.
    client = redis.Redis(host=host, port=port, password=args.password, protocol=2, socket_timeout=5)
    in_place = args.watch and out.isatty()
    shown = 0
    try:
        while True:
            info: dict[str, Any] = client.info()
            if args.json:
                out.write(json.dumps({k: info.get(k) for k in _SHOWN}) + "\n")
            else:
                frame = [f"vellum server {host}:{port}  {time.strftime('%H:%M:%S')}"]
                frame += [f"  {k:<20} {info[k]}" for k in _SHOWN if k in info]
                if in_place:
                    # Cursor home, then each line cleared to its end and the rest of the
                    # screen below the frame: the frame replaces the last one in place.
                    out.write(_HOME + "".join(line + _CLEAR_LINE + "\n" for line in frame) + _CLEAR_BELOW)
                else:
                    out.write("".join(line + "\n" for line in frame))
            out.flush()
            shown += 1
            if not args.watch or (args.count and shown >= args.count):
                return 0
            time.sleep(interval)
    except KeyboardInterrupt:
        return 0
    except redis.RedisError as err:
        return _error(f"{host}:{port}: {err}")
    finally:
        client.close()
