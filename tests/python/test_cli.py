"""The command line's usage errors, its interactive behaviour and the `make run` recipe."""

import io
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

from vellum import _vellum
from vellum.__main__ import build_parser, main
from vellum.cache import Cache
from vellum.tools import MIN_INTERVAL, cmd_stats

ROOT = pathlib.Path(__file__).resolve().parents[2]


def vellum_cli(*argv, **kwargs):
    return subprocess.run([sys.executable, "-m", "vellum", *argv], capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL, **kwargs)


def test_no_command_prints_the_help_and_exits_2():
    out = vellum_cli()
    assert out.returncode == 2 and out.stdout == ""
    assert out.stderr.startswith("usage: vellum")
    for command in ("serve", "info", "check", "stats", "demo"):
        assert f"    {command} " in out.stderr


@pytest.mark.parametrize("argv, message", [
    (["localhost"], "expected HOST:PORT, not 'localhost'"),
    (["127.0.0.1:http"], "expected HOST:PORT"),
    (["127.0.0.1:"], "expected HOST:PORT"),
    (["127.0.0.1:0"], "port must be between 1 and 65535, not 0"),
    (["127.0.0.1:65536"], "port must be between 1 and 65535, not 65536"),
    (["127.0.0.1:٣"], "expected HOST:PORT"),
    (["[::1:6380"], "not a host name or address: '[::1'"),
    (["my host:6380"], "not a host name or address"),
    (["h:1", "--interval", "0"], "--interval: must be a positive number of seconds, not 0"),
    (["h:1", "--interval", "-1"], "must be a positive number of seconds, not -1"),
    (["h:1", "--interval", "nan"], "must be a positive number of seconds, not nan"),
    (["h:1", "--interval", "inf"], "must be a positive number of seconds, not inf"),
    (["h:1", "--interval", "soon"], "not a number of seconds: 'soon'"),
    (["h:1", "--count", "-1"], "--count: must be 0 (no limit) or more, not -1"),
])
def test_stats_usage_errors_exit_2_before_connecting(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        main(["stats", *argv])
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: vellum stats") and message in err and "Traceback" not in err


@pytest.mark.parametrize("address, host", [(":6390", "127.0.0.1"), ("[::1]:6390", "::1"), ("db.local:6390", "db.local")])
def test_stats_addresses(address, host):
    assert build_parser().parse_args(["stats", address]).address == (host, 6390)


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def server_port():
    with Cache() as c:
        c["k"] = b"v"
        server = _vellum.Server(c, port=0)
        server.start()
        yield server.port
        server.stop()


@pytest.mark.parametrize("terminal", [True, False])
def test_watch_redraws_in_place_only_on_a_terminal_and_never_faster_than_the_minimum(server_port, capsys,
                                                                                     terminal):
    pytest.importorskip("redis")
    args = build_parser().parse_args(["stats", f"127.0.0.1:{server_port}", "--watch", "--count", "3",
                                      "--interval", "0.001"])
    out = Terminal() if terminal else io.StringIO()
    started = time.monotonic()
    assert cmd_stats(args, out) == 0
    assert time.monotonic() - started >= 2 * MIN_INTERVAL
    assert "below the minimum; refreshing every 0.1 s" in capsys.readouterr().err
    text = out.getvalue()
    frames = text.split("\x1b[H")
    if terminal:
        # Each frame: home, every line cleared to its end, then the screen below it.
        assert frames[0] == "" and len(frames) == 4
        for frame in frames[1:]:
            assert frame.endswith("\x1b[J") and frame.count("\x1b[K\n") == frame.count("\n") >= 3
            assert "  keys                 1\x1b[K\n" in frame
    else:
        assert "\x1b" not in text and text.count("vellum server ") == 3


def damaged_directory(path):
    """A data directory whose log has a zero-filled tail, which check --repair cuts."""
    native = _vellum.Cache(persist_dir=str(path), fsync="always", snapshot_interval=0)
    native.set("k", "v")
    del native
    (wal,) = path.glob("wal-*.log")
    with open(wal, "ab") as f:
        f.write(b"\0" * 64)
    return wal, wal.stat().st_size


@pytest.mark.parametrize("extra", [[], ["--json"]])
def test_repair_without_a_terminal_changes_nothing_and_names_yes(tmp_path, extra):
    wal, size = damaged_directory(tmp_path)
    out = vellum_cli("check", str(tmp_path), "--repair", *extra)
    assert out.returncode == 1 and wal.stat().st_size == size
    assert "nothing was changed" in out.stderr and f"vellum check --repair --yes {tmp_path}" in out.stderr
    assert "run with --repair" not in out.stdout
    out = vellum_cli("check", str(tmp_path), "--repair", "--yes", *extra)
    assert out.returncode == 0 and wal.stat().st_size == size - 64 and out.stderr == ""


def test_check_without_repair_still_points_at_it(tmp_path):
    damaged_directory(tmp_path)
    out = vellum_cli("check", str(tmp_path))
    assert out.returncode == 1 and "run with --repair" in out.stdout and out.stderr == ""


def test_serve_stops_cleanly_on_a_signal_sent_as_it_announces_itself(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "vellum", "serve", "--port", "0", "--dir", str(tmp_path)],
                            stderr=subprocess.PIPE, text=True)
    try:
        for line in proc.stderr:
            if "listening on" in line:
                proc.send_signal(signal.SIGINT)
                break
        rest = proc.communicate(timeout=60)[1]
    finally:
        proc.kill()
    assert proc.returncode == 0 and "stopped" in rest and "Traceback" not in rest
    assert (tmp_path / "snapshot.kvs").exists() and not (tmp_path / "LOCK").exists()


def make_dry_run(*argv):
    return subprocess.run(["make", "-n", *argv], cwd=ROOT, capture_output=True, text=True, timeout=60).stdout


@pytest.mark.skipif(shutil.which("make") is None or not (ROOT / "Makefile").exists(), reason="needs make")
def test_make_run_rebuilds_only_for_a_changed_source_and_passes_args():
    if subprocess.run(["make", "-q", "dist/.built"], cwd=ROOT).returncode != 0:
        pytest.skip("the wheel is not up to date with the sources, so every recipe would rebuild it")
    unchanged = make_dry_run("run", "ARGS=--fsync always")
    assert "pip wheel" not in unchanged and "vellum serve --fsync always" in unchanged
    for source in ("src/glue.h", "python/vellum/serve.py", "CMakeLists.txt", "pyproject.toml"):
        changed = make_dry_run("-W", source, "run")
        assert "pip wheel" in changed and "[test,bench]" not in changed, source

