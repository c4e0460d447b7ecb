"""`vellum serve`: serve a cache over RESP2 until SIGINT or SIGTERM.

The cache is persistent by default (data in ./vellum-data) and is closed durably on the
way out: the server stops first, then the cache writes its final snapshot.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import threading
import time
from typing import Any

from . import _vellum
from .units import parse_size

log = logging.getLogger("vellum.serve")


def _size_arg(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_parser(subparsers: Any) -> None:
    p = subparsers.add_parser("serve", help="serve a cache to RESP2 clients over TCP",
                              description="Serve a cache to RESP2 clients until SIGINT or SIGTERM.")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=6380, help="TCP port (default 6380; 0 picks a free one)")
    p.add_argument("--dir", default="./vellum-data", help="data directory (default ./vellum-data)")
    p.add_argument("--no-persist", action="store_true", help="keep the data in memory only")
    p.add_argument("--password-file", help="file whose first line is the password clients must AUTH with")
    p.add_argument("--max-memory", type=_size_arg, default=0, help="memory ceiling, e.g. 256MiB (default none)")
    p.add_argument("--policy", default="noeviction", choices=["noeviction", "allkeys-lru", "volatile-lru"])
    p.add_argument("--fsync", default="everysec", choices=["always", "everysec", "never"])
    p.add_argument("--snapshot-interval", type=int, default=300, help="seconds between snapshots, 0 for none")
    p.add_argument("--request-budget", type=_size_arg, default=None,
                   help="bytes all clients together may hold in partly sent requests, e.g. 512MiB "
                        "(default 1GiB, or --max-memory when smaller)")
    p.add_argument("--script-time-limit-ms", type=int, default=5000,
                   help="milliseconds a script may run before it has written; past it, one that has not "
                        "written is stopped (default 5000)")
    p.set_defaults(run=run)


def _read_password(path: str | None) -> str | None:
    if path is None:
        return None
    with open(path, encoding="utf-8") as f:
        line = f.readline().rstrip("\r\n")
    if not line:
        raise ValueError(f"password file {path} is empty")
    return line


def run(args: argparse.Namespace) -> int:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s vellum: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False
    try:
        password = _read_password(args.password_file)
        started = time.monotonic()
        persist_dir = None if args.no_persist else args.dir
        cache = _vellum.Cache(max_memory=args.max_memory, policy=args.policy, persist_dir=persist_dir,
                              fsync=args.fsync, snapshot_interval=args.snapshot_interval)
    except (OSError, ValueError) as e:
        log.error("%s", e)
        return 1
    # A repair made while the directory opened (a torn log tail cut off) is the only
    # persistence error a fresh open can hold; it is shown before anything else.
    opened = cache.persist_stats
    if opened is not None and opened["last_error"]:
        log.warning("repaired while opening %s: %s", os.path.abspath(args.dir), opened["last_error"])
    try:
        server = _vellum.Server(cache, host=args.host, port=args.port, password=password,
                                request_budget=args.request_budget,
                                script_time_limit_ms=args.script_time_limit_ms)
        server.start()
    except (OSError, ValueError) as e:
        log.error("%s", e)
        cache.close()
        return 1

    stop = threading.Event()

    def on_signal(signum: int, _frame: object) -> None:
        log.info("received %s, shutting down", signal.Signals(signum).name)
        stop.set()

    # The handlers are in place before the "listening" line, so a supervisor that signals
    # as soon as it reads that line always gets the orderly shutdown.
    previous = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    where = "memory only" if persist_dir is None else f"data in {os.path.abspath(persist_dir)}"
    log.info("listening on %s:%d (%s), %d keys loaded in %.2fs", args.host, server.port, where, len(cache),
             time.monotonic() - started)
    try:
        while not stop.wait(0.5):
            pass
    finally:
        for s, h in previous.items():
            signal.signal(s, h)
        server.stop()
        try:
            cache.close()
        except OSError as e:
            log.error("closed with data lost: %s", e)
            return 1
        stats = cache.persist_stats
        if stats is not None and stats["last_error"]:
            log.error("closed with a persistence error: %s", stats["last_error"])
            return 1
        log.info("stopped; %d keys in the final state", len(cache))
    return 0
