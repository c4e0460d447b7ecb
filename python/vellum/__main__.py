"""Command line of vellum: `serve` serves a cache, `info`, `check` and `stats` inspect a
data directory or a running server, and `demo` shows the cache at work. Without a command
it prints its help and exits 2, as for any other usage error."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence

from . import __version__, serve, tools
from ._vellum import Cache


def demo(args: argparse.Namespace) -> int:
    """Runs a short tour of an in-memory cache, printing what each call returns."""
    cache = Cache(shards=4)
    steps: list[tuple[str, Callable[[], object]]] = [
        ("cache.set(b'greeting', b'hello', ex=60)", lambda: cache.set(b"greeting", b"hello", ex=60)),
        ("cache.get(b'greeting')", lambda: cache.get(b"greeting")),
        ("cache.ttl(b'greeting')", lambda: cache.ttl(b"greeting")),
        ("cache.incr(b'visits')", lambda: cache.incr(b"visits")),
        ("cache.incr(b'visits', 10)", lambda: cache.incr(b"visits", 10)),
        ("cache.rpush(b'queue', b'a', b'b', b'c')", lambda: cache.rpush(b"queue", b"a", b"b", b"c")),
        ("cache.lpop(b'queue')", lambda: cache.lpop(b"queue")),
        ("cache.hset(b'user:1', b'name', b'Ada')", lambda: cache.hset(b"user:1", b"name", b"Ada")),
        ("cache.hgetall(b'user:1')", lambda: cache.hgetall(b"user:1")),
        ("cache.sadd(b'tags', b'fast', b'small', b'fast')", lambda: cache.sadd(b"tags", b"fast", b"small", b"fast")),
        ("sorted(cache.keys())", lambda: sorted(cache.keys())),
        ("len(cache)", lambda: len(cache)),
        ("cache.used_memory", lambda: cache.used_memory),
    ]
    print("vellum demo: an in-memory Cache(shards=4)")
    for label, call in steps:
        print(f"  {label} -> {call()!r}")
    cache.close()
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The command line; each subcommand sets `run` to the function that carries it out."""
    parser = argparse.ArgumentParser(prog="vellum", description="vellum: an in-process cache with a C++ core.")
    parser.add_argument("--version", action="version", version=f"vellum {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    serve.add_parser(sub)
    tools.add_subcommands(sub)
    sub.add_parser("demo", help="show a short tour of an in-memory cache").set_defaults(run=demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        # The whole help rather than argparse's one-line error: with no command at all,
        # the user is asking what the commands are.
        parser.print_help(sys.stderr)
        return 2
    run: Callable[[argparse.Namespace], int] = args.run
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
