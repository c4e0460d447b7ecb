"""Runs the clients' and frameworks' own test suites against vellum: `make compat`.

    python tests/compat/client_suites.py --sdists build/compat --redis-py redis-8.2.0 \\
        --django django-5.2.20 --cachelib cachelib-0.17.0 --flask-caching flask_caching-2.5.1

The directories are unpacked sdists under --sdists (the Makefile downloads them). This
script starts `vellum serve` on a free loopback port, with its data in a temporary
directory, and a second one that requires a password; it owns both and stops them when
it ends. Against them it runs, one after the other:

- the client probe (client_probe.py): `redis.Redis(port=P)` and with a password, with
  hiredis and with the client's own parser;
- redis-py's tests/test_commands.py, test_pipeline.py, test_lock.py, test_scripting.py and
  their asyncio forms, once with protocol 2 and once with 3, minus the tests listed in redis_py_deselected.txt
  (redis_py_plugin.py);
- the pytest modules of this folder: cachelib's and Flask-Caching's generic backend suites
  against vellum.contrib, and their RedisCache suites against the server;
- Django's cache tests (django_cache.py): BaseCacheTests against vellum.contrib, and its
  RedisCacheTests and cache-backed session tests with its built-in RedisCache backend.

Prints each suite's counts and a total line; exits non-zero when any suite failed or ran
nothing. --json writes the counts per suite.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

HERE = pathlib.Path(__file__).resolve().parent
REDIS_PY_FILES = [
    "tests/test_commands.py",
    "tests/test_pipeline.py",
    "tests/test_asyncio/test_commands.py",
    "tests/test_asyncio/test_pipeline.py",
    "tests/test_lock.py",
    "tests/test_scripting.py",
    "tests/test_asyncio/test_lock.py",
    "tests/test_asyncio/test_scripting.py",
]
# The suite's markers for other deployments: a cluster, the module-carrying server, TLS
# and replicas.
REDIS_PY_MARKERS = "not onlycluster and not redismod and not ssl and not replica"
LISTENING = re.compile(r"listening on (\S+):(\d+)")


class Served:
    """A `vellum serve` child on a free port of 127.0.0.1, stopped by stop()."""

    def __init__(self, data_dir: pathlib.Path, password: str | None = None) -> None:
        args = [sys.executable, "-m", "vellum", "serve", "--host", "127.0.0.1", "--port", "0", "--dir", str(data_dir)]
        if password:
            pw_file = data_dir.parent / (data_dir.name + ".password")
            pw_file.write_text(password + "\n", encoding="utf-8")
            args += ["--password-file", str(pw_file)]
        self.log: list[str] = []
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        found = threading.Event()
        self.port = 0

        def drain() -> None:
            assert self.proc.stderr is not None
            for line in self.proc.stderr:
                self.log.append(line.rstrip("\n"))
                m = LISTENING.search(line)
                if m and not found.is_set():
                    self.port = int(m.group(2))
                    found.set()
            found.set()

        threading.Thread(target=drain, daemon=True).start()
        if not found.wait(60) or not self.port:
            self.stop()
            raise RuntimeError("vellum serve did not start:\n" + "\n".join(self.log))

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def run(label: str, cmd: list[str], cwd: pathlib.Path | None = None, env: dict[str, str] | None = None) -> int:
    print(f"\n== {label}\n   {' '.join(cmd)}", flush=True)
    started = time.monotonic()
    rc = subprocess.call(cmd, cwd=cwd, env={**os.environ, **(env or {})}, stdin=subprocess.DEVNULL)
    print(f"== {label}: exit {rc} after {time.monotonic() - started:.0f}s", flush=True)
    return rc


def junit_counts(path: pathlib.Path) -> dict[str, int]:
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else list(root)
    total = {k: sum(int(s.get(k, 0)) for s in suites) for k in ("tests", "failures", "errors", "skipped")}
    failed = total["failures"] + total["errors"]
    return {"passed": total["tests"] - failed - total["skipped"], "failed": failed, "skipped": total["skipped"]}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sdists", type=pathlib.Path, required=True)
    ap.add_argument("--redis-py", required=True)
    ap.add_argument("--django", required=True)
    ap.add_argument("--cachelib", required=True)
    ap.add_argument("--flask-caching", required=True)
    ap.add_argument("--json", type=pathlib.Path)
    args = ap.parse_args()
    sdists = args.sdists.resolve()
    installed = importlib.metadata.version("redis")
    if args.redis_py.partition("-")[2] != installed:
        sys.exit(f"the installed redis is {installed}, the test suite is from {args.redis_py}")
    reports = sdists / "reports"
    reports.mkdir(parents=True, exist_ok=True)
    work = pathlib.Path(tempfile.mkdtemp(prefix="vellum-compat-"))
    results: dict[str, dict] = {}
    servers: list[Served] = []
    try:
        server = Served(work / "data")
        servers.append(server)
        guarded = Served(work / "data-auth", password="compat-secret")
        servers.append(guarded)
        print(f"vellum serving on 127.0.0.1:{server.port}, and with a password on 127.0.0.1:{guarded.port}")
        port_env = {"VELLUM_COMPAT_PORT": str(server.port)}

        probes = {"passed": 0, "failed": 0, "skipped": 0}
        for parser in ("hiredis", "python"):
            for port, password in ((server.port, None), (guarded.port, "compat-secret")):
                cmd = [sys.executable, str(HERE / "client_probe.py"), "--port", str(port), "--parser", parser]
                if password:
                    cmd += ["--password", password]
                rc = run(f"client probe ({parser}{', password' if password else ''})", cmd)
                probes["passed" if rc == 0 else "failed"] += 1
        results["client probe"] = probes

        redis_py = sdists / args.redis_py
        for protocol in (2, 3):
            report = reports / f"redis-py-resp{protocol}.json"
            report.unlink(missing_ok=True)
            cmd = [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "redis_py_plugin",
                   "-o", "addopts=", "-q", "--tb=short", "-rfEs", "-m", REDIS_PY_MARKERS,
                   "--redis-url", f"redis://127.0.0.1:{server.port}/0", "--protocol", str(protocol),
                   *REDIS_PY_FILES]
            env = {"PYTHONPATH": str(HERE), "VELLUM_COMPAT_REPORT": str(report)}
            rc = run(f"redis-py {args.redis_py} commands and pipelines, protocol {protocol}", cmd, cwd=redis_py, env=env)
            counts = json.loads(report.read_text()) if report.exists() else {"passed": 0, "failed": 1, "skipped": 0}
            if rc != 0 and counts["failed"] == 0:
                counts["failed"] = 1  # the run broke outside any test
            results[f"redis-py protocol {protocol}"] = counts

        junit = reports / "framework-suites.xml"
        env = {
            **port_env,
            "VELLUM_CACHELIB_TESTS": str(sdists / args.cachelib / "tests"),
            "VELLUM_FLASK_CACHING_TESTS": str(sdists / args.flask_caching / "tests"),
        }
        rc = run("cachelib and Flask-Caching suites", [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q",
                                                        "-rs", f"--junitxml={junit}", str(HERE)], env=env)
        counts = junit_counts(junit) if junit.exists() else {"passed": 0, "failed": 1, "skipped": 0}
        if rc != 0 and counts["failed"] == 0:
            counts["failed"] = 1
        results["cachelib and Flask-Caching"] = counts

        django_report = reports / "django.json"
        rc = run("Django cache and session suites",
                 [sys.executable, str(HERE / "django_cache.py"), str(sdists / args.django),
                  "--server-url", f"redis://127.0.0.1:{server.port}", "--json", str(django_report)])
        counts = json.loads(django_report.read_text()) if django_report.exists() else {"passed": 0, "failed": 1}
        counts = {"passed": counts["passed"], "failed": counts["failed"] or int(rc != 0),
                  "skipped": len(counts.get("skipped", []))}
        results["Django"] = counts
    finally:
        for s in servers:
            s.stop()
        shutil.rmtree(work, ignore_errors=True)

    print("\nSuites against vellum:")
    for name, c in results.items():
        extra = ""
        if c.get("deselected"):
            extra = f", {sum(c['deselected'].values())} deselected (redis_py_deselected.txt)"
        print(f"  {name}: {c['passed']} passed, {c['failed']} failed, {c.get('skipped', 0)} skipped{extra}")
    if args.json:
        args.json.write_text(json.dumps(results, indent=2) + "\n")
    passed = sum(c["passed"] for c in results.values())
    failed = sum(c["failed"] for c in results.values())
    skipped = sum(c.get("skipped", 0) for c in results.values())
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    ran_all = all(c["passed"] > 0 for c in results.values())
    return 0 if failed == 0 and ran_all else 1


if __name__ == "__main__":
    sys.exit(main())
