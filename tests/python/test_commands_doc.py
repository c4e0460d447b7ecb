"""docs/commands.md cannot drift from the server: its table is compared with the command
table (the rows of src/server/cmd_*.cpp) and with the running server's arity checks, and its
session is replayed against a server, reply by reply."""

import json
import pathlib
import re
import shlex
import socket

import pytest

import vellum

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOC = (ROOT / "docs" / "commands.md").read_text(encoding="utf-8")
SOURCE = "".join(p.read_text(encoding="utf-8") for p in sorted((ROOT / "src" / "server").glob("cmd_*.cpp")))

UNBOUNDED = None


def source_table():
    """(name, min, max) of each CommandSpec row."""
    rows = re.findall(r'CommandSpec\{"([A-Z_]+)",\s*(\d+),\s*(kAny|\d+)', SOURCE)
    return [(name, int(lo), UNBOUNDED if hi == "kAny" else int(hi)) for name, lo, hi in rows]


def parse_arity(text):
    if m := re.fullmatch(r"(\d+)\+", text):
        return int(m[1]), UNBOUNDED
    if m := re.fullmatch(r"(\d+)-(\d+)", text):
        return int(m[1]), int(m[2])
    return int(text), int(text)


def doc_table():
    """(name, arguments, min, max) of each row of the commands table, in order."""
    rows = []
    for line in DOC.splitlines():
        if not line.startswith("| `"):
            continue
        cells = [c.strip() for c in re.split(r"(?<!\\)\|", line)[1:-1]]
        name, arguments, arity = cells[0].strip("`"), cells[1].strip("`").replace("\\|", "|"), cells[2]
        rows.append((name, arguments, *parse_arity(arity)))
    return rows


def session():
    block = re.search(r"## One session.*?```text\n(.*?)```", DOC, flags=re.S)[1]
    return [tuple(part.strip() for part in line.partition(" -> ")[::2]) for line in block.splitlines()]


DOC_ROWS = doc_table()


def test_the_table_lists_every_command_with_the_servers_arity():
    assert len(source_table()) > 40
    assert sorted((name, lo, hi) for name, _, lo, hi in DOC_ROWS) == sorted(source_table())


@pytest.mark.parametrize("name, arguments, lo, hi", DOC_ROWS, ids=[r[0] for r in DOC_ROWS])
def test_the_argument_syntax_agrees_with_the_arity(name, arguments, lo, hi):
    required = re.sub(r"\[[^]]*\]", "", arguments).split()
    assert len(required) + 1 == lo
    if "..." in arguments:
        assert hi is UNBOUNDED


class Conn:
    """One RESP2 connection that renders each reply the way docs/commands.md writes it."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.file = self.sock.makefile("rb")

    def send(self, words):
        out = b"*%d\r\n" % len(words)
        for w in words:
            data = w.encode()
            out += b"$%d\r\n%s\r\n" % (len(data), data)
        self.sock.sendall(out)

    def reply(self):
        line = self.file.readline()
        kind, rest = line[:1], line[1:-2].decode()
        if kind == b"+":
            return rest
        if kind == b"-":
            return f"(error) {rest}"
        if kind == b":":
            return f"(integer) {rest}"
        if kind == b"$":
            if rest == "-1":
                return "(nil)"
            data = self.file.read(int(rest) + 2)[:-2]
            return json.dumps(data.decode("utf-8", "replace"), ensure_ascii=False)
        assert kind == b"*", line
        return "[" + ", ".join(self.reply() for _ in range(int(rest))) + "]"

    def call(self, words):
        self.send(words)
        return self.reply()

    def close(self):
        self.file.close()
        self.sock.close()


@pytest.fixture
def served(tmp_path):
    cache = vellum.Cache(persist_dir=tmp_path / "data", snapshot_interval=0)
    server = vellum.Server(cache, port=0)
    server.start()
    yield server.port
    server.stop()
    cache.close()


def test_the_session_replays_reply_by_reply(served):
    lines = session()
    assert {request.split()[0] for request, _ in lines} >= {name for name, *_ in DOC_ROWS}
    conn = Conn(served)
    try:
        for request, expected in lines:
            got = conn.call(shlex.split(request))
            pattern = re.escape(expected).replace(re.escape("..."), ".*")
            assert re.fullmatch(pattern, got), f"{request}: got {got}, the doc says {expected}"
        # The doc says QUIT closes the connection after its reply.
        assert conn.file.read(1) == b""
    finally:
        conn.close()


def bounds_to_probe():
    for name, _, lo, hi in DOC_ROWS:
        if lo > 1:
            yield name, lo - 1
        if hi is not UNBOUNDED:
            yield name, hi + 1


@pytest.mark.parametrize("name, words", list(bounds_to_probe()))
def test_the_server_refuses_one_word_outside_the_documented_arity(served, name, words):
    conn = Conn(served)
    try:
        got = conn.call([name] + ["0"] * (words - 1))
    finally:
        conn.close()
    assert got == f"(error) ERR wrong number of arguments for '{name.lower()}' command"
