"""Shared setup of the per-family command tests: a persistent native Cache served on a
loopback port, a redis client on it, its reopening, and the checks run after each step."""

from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import redis

from vellum._vellum import Cache, Server

WRONGTYPE = "WRONGTYPE Operation against a key holding the wrong kind of value"


def audit_ok(cache: Any) -> None:
    a = cache._audit()
    assert a["charge_sum"] == a["used_memory"]
    assert a["empty_collections"] == 0


def assert_refused(cache: Any, client: Any, args: tuple[str, ...], message: str) -> None:
    """Sends a command that must fail with `message`, and checks it used no memory."""
    used = cache.used_memory
    with pytest.raises(redis.ResponseError) as err:
        client.execute_command(*args)
    # The client drops the generic "ERR " code from the text it raises.
    assert str(err.value) == message.removeprefix("ERR ")
    assert cache.used_memory == used


def serve(tmp_path: Path, shards: int) -> Iterator[tuple[Any, Any, dict[str, Any]]]:
    """Yields (cache, client, box); `reopen(box)` replaces the cache in
    box["cache"], which is the one closed at the end."""
    path = tmp_path / "data"
    cache = Cache(shards=shards, persist_dir=path, snapshot_interval=0, fsync="always")
    server = Server(cache, port=0)
    server.start()
    client = redis.Redis(host="127.0.0.1", port=server.port, protocol=2)
    box: dict[str, Any] = {"cache": cache, "path": path, "shards": shards}
    yield cache, client, box
    client.close()
    server.stop()
    box["cache"].close()


def reopen(box: dict[str, Any]) -> Any:
    """Closes the served cache and opens its data directory again with the same shards:
    the new cache (no longer served) holds what the log and snapshot replay."""
    box["cache"].close()
    box["cache"] = Cache(shards=box["shards"], persist_dir=box["path"], snapshot_interval=0)
    return box["cache"]


def segment_ops(path: Path) -> dict[str, int]:
    """Runs `vellum check` and `vellum info --json` on a data directory of one log segment,
    both of which must succeed and find no fault; the counts of each operation in it."""
    import argparse
    import io
    import json

    from vellum.tools import add_subcommands

    parser = argparse.ArgumentParser(prog="vellum")
    add_subcommands(parser.add_subparsers(dest="command", required=True))
    ops: dict[str, int] = {}
    for argv in (["check", str(path)], ["info", str(path), "--json"]):
        args = parser.parse_args(argv)
        out = io.StringIO()
        assert args.run(args, out) == 0, out.getvalue()
        if argv[0] == "info":
            (seg,) = json.loads(out.getvalue())["segments"]
            assert seg["fault"] is None
            ops = seg["ops"]
    return ops
