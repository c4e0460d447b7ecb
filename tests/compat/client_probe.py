"""The redis client with its default settings against a served vellum, with one reply parser.

    python tests/compat/client_probe.py --port P [--password PW] --parser {hiredis,python}

`redis.Redis(port=P)` (or with password=PW), nothing else set: the client picks its
protocol with HELLO and authenticates in the same step. With --parser python, hiredis is
kept from importing, so the client falls back to its own parser as where hiredis is not
installed. Any warning, issued or logged, fails the probe, as does a reply the client
turns into anything but what its documented return types say. Prints one line per check
and exits non-zero on the first failure.
"""

from __future__ import annotations

import argparse
import logging
import sys
import warnings


class _Collect(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(f"{record.name}: {record.getMessage()}")


def probe(port: int, password: str | None, parser: str) -> list[str]:
    if parser == "python":
        sys.modules["hiredis"] = None  # type: ignore[assignment]  # import fails: as if not installed
    import redis
    from redis.utils import HIREDIS_AVAILABLE

    if HIREDIS_AVAILABLE != (parser == "hiredis"):
        raise AssertionError(f"hiredis available: {HIREDIS_AVAILABLE}, wanted the {parser} parser")
    done: list[str] = []

    def check(label: str, got: object, want: object) -> None:
        if got != want:
            raise AssertionError(f"{label}: got {got!r}, want {want!r}")
        done.append(label)

    kwargs = {"password": password} if password else {}
    r = redis.Redis(port=port, **kwargs)
    try:
        check("PING", r.ping(), True)
        conn = r.connection_pool.get_connection()
        try:
            check("protocol chosen by HELLO", str(conn.protocol), "3")
        finally:
            r.connection_pool.release(conn)
        r.flushdb()
        check("SET", r.set("probe:s", "v"), True)
        check("GET", r.get("probe:s"), b"v")
        check("SET GET", r.set("probe:s", "w", get=True), b"v")
        check("INCRBYFLOAT", r.incrbyfloat("probe:f", 1.5), 1.5)
        check("HSET", r.hset("probe:h", mapping={"a": "1", "b": "2"}), 2)
        check("HGETALL", r.hgetall("probe:h"), {b"a": b"1", b"b": b"2"})
        check("HINCRBYFLOAT", r.hincrbyfloat("probe:h", "a", 0.5), 1.5)
        check("SADD", r.sadd("probe:x", "m", "n"), 2)
        r.sadd("probe:y", "n")
        check("SMEMBERS", r.smembers("probe:x"), {b"m", b"n"})
        check("SINTER", r.sinter("probe:x", "probe:y"), {b"n"})
        check("SUNION", r.sunion("probe:x", "probe:y"), {b"m", b"n"})
        check("SDIFF", r.sdiff("probe:x", "probe:y"), {b"m"})
        check("LPOP count, missing list", r.lpop("probe:nolist", 2), None)
        check("EXPIRE", r.expire("probe:s", 100), True)
        check("TTL", 0 < r.ttl("probe:s") <= 100, True)
        with r.pipeline() as p:
            p.set("probe:t", "1").incr("probe:t")
            check("MULTI/EXEC", p.execute(), [True, 2])
        with r.pipeline() as p:
            p.watch("probe:w")
            r.set("probe:w", "changed")  # another client's write after WATCH
            p.multi()
            p.set("probe:w", "mine")
            try:
                p.execute()
                aborted = False
            except redis.WatchError:
                aborted = True
            check("EXEC after a WATCH abort raises WatchError", aborted, True)
        check("value after the aborted transaction", r.get("probe:w"), b"changed")
        keys: set[bytes] = set()
        for key in r.scan_iter("probe:*", count=2):
            keys.add(key)
        check("SCAN", keys, {b"probe:s", b"probe:f", b"probe:h", b"probe:x", b"probe:y", b"probe:t", b"probe:w"})
        r.flushdb()
    finally:
        r.close()
    return done


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--password")
    parser.add_argument("--parser", choices=["hiredis", "python"], required=True)
    args = parser.parse_args()
    logged = _Collect()
    logging.getLogger().addHandler(logged)
    logging.getLogger().setLevel(logging.WARNING)
    label = f"redis.Redis(port=P{', password=...' if args.password else ''}) with the {args.parser} parser"
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            done = probe(args.port, args.password, args.parser)
        if logged.messages:
            raise AssertionError(f"the client logged warnings: {logged.messages}")
    except Exception as e:  # noqa: BLE001 - any failure is the probe's verdict
        print(f"probe FAILED: {label}: {type(e).__name__}: {e}")
        return 1
    print(f"probe ok: {label}: {len(done)} checks ({', '.join(done)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
