"""A pytest plugin for running redis-py's own test suite against a vellum server.

Loaded with `-p redis_py_plugin` (this folder on PYTHONPATH) from the root of an unpacked
redis-py sdist; client_suites.py does that. It does two things:

- The suite's session start reads the server's version, word size and cluster mode from
  INFO to decide which tests apply, and stops when they are missing. vellum reports
  none of them, so they are filled in with what the suite itself assumes of a server it
  cannot ask: every version gate open, 64 bits, no cluster.
- Tests that exercise what vellum does not serve are deselected, as listed with their
  reasons in redis_py_deselected.txt. A listed name that matches no collected test is an
  error, so the list cannot drift from the suite.

With VELLUM_COMPAT_RUN_DESELECTED=1 only the listed tests run instead, to check that each
still fails (an entry whose test passes has no reason left to stand).

VELLUM_COMPAT_REPORT, when set, names a JSON file that receives the counts per outcome
and the deselected tests by reason.
"""

from __future__ import annotations

import collections
import fnmatch
import json
import os
import pathlib
import sys

import pytest

DESELECTED = pathlib.Path(__file__).with_name("redis_py_deselected.txt")

# What the suite's session start assumes when it finds no server (its own defaults).
ASSUMED_SERVER = {"redis_version": "10.0.0", "arch_bits": 64, "cluster_enabled": False}


def load_deselected(path: pathlib.Path = DESELECTED) -> list[tuple[str, str]]:
    """(pattern, reason) pairs. A "[reason]" line opens a section; each later line is a
    test name, "Class::name", "file.py::Class::name" (the path under tests/, for a test
    that fails in one form only) or a glob of these; "#" starts a comment."""
    entries: list[tuple[str, str]] = []
    reason = None
    for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            reason = line[1:-1].strip()
            if not reason:
                raise ValueError(f"{path}:{number}: a section needs a reason")
            continue
        if reason is None:
            raise ValueError(f"{path}:{number}: {line!r} stands before any [reason]")
        entries.append((line, reason))
    return entries


def matches(pattern: str, item: pytest.Item) -> bool:
    name = getattr(item, "originalname", item.name)
    if ".py::" in pattern:  # one file's test: path under tests/, Class::name
        path = item.nodeid.split("::", 1)[0].removeprefix("tests/")
        cls = item.cls.__name__ if getattr(item, "cls", None) is not None else ""
        return fnmatch.fnmatchcase(f"{path}::{cls}::{name}", pattern)
    if "::" in pattern:
        cls = item.cls.__name__ if getattr(item, "cls", None) is not None else ""
        return fnmatch.fnmatchcase(f"{cls}::{name}", pattern)
    return fnmatch.fnmatchcase(name, pattern)


def _suite_conftest():
    for module in list(sys.modules.values()):
        if getattr(module, "__name__", "").endswith("conftest") and hasattr(module, "_get_info"):
            return module
    return None


@pytest.hookimpl(tryfirst=True)
def pytest_sessionstart(session):
    conftest = _suite_conftest()
    if conftest is None:
        raise pytest.UsageError("redis_py_plugin: redis-py's tests/conftest.py was not loaded")
    read_info = conftest._get_info

    def _get_info(url):
        info = read_info(url)
        for key, value in ASSUMED_SERVER.items():
            info.setdefault(key, value)
        return info

    conftest._get_info = _get_info


def pytest_collection_modifyitems(session, config, items):
    entries = load_deselected()
    used = collections.Counter()
    kept, dropped = [], []
    by_reason: dict[str, list[str]] = collections.defaultdict(list)
    for item in items:
        for pattern, reason in entries:
            if matches(pattern, item):
                used[pattern] += 1
                dropped.append(item)
                by_reason[reason].append(item.nodeid)
                break
        else:
            kept.append(item)
    stale = [pattern for pattern, _ in entries if not used[pattern]]
    if stale:
        raise pytest.UsageError(f"redis_py_deselected.txt lists names that match no test: {stale}")
    if os.environ.get("VELLUM_COMPAT_RUN_DESELECTED") == "1":
        kept, dropped = dropped, kept
    items[:] = kept
    config.hook.pytest_deselected(items=dropped)
    config._vellum_deselected = by_reason


class _Outcomes:
    def __init__(self):
        self.counts = collections.Counter()
        self.failed: list[str] = []

    def add(self, report):
        if report.when == "call" or (report.when == "setup" and not report.passed):
            outcome = report.outcome
            if outcome == "failed" and report.when != "call":
                outcome = "error"
            self.counts[outcome] += 1
            if outcome in ("failed", "error"):
                self.failed.append(report.nodeid)


_outcomes = _Outcomes()


def pytest_runtest_logreport(report):
    _outcomes.add(report)


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    by_reason = getattr(config, "_vellum_deselected", {})
    if by_reason:
        terminalreporter.write_sep("-", "deselected: not served by vellum")
        for reason, ids in sorted(by_reason.items(), key=lambda kv: -len(kv[1])):
            terminalreporter.write_line(f"{len(ids):5d}  {reason}")
    path = os.environ.get("VELLUM_COMPAT_REPORT")
    if path:
        report = {
            "passed": _outcomes.counts["passed"],
            "failed": _outcomes.counts["failed"] + _outcomes.counts["error"],
            "skipped": _outcomes.counts["skipped"],
            "failures": _outcomes.failed,
            "deselected": {reason: len(ids) for reason, ids in by_reason.items()},
        }
        pathlib.Path(path).write_text(json.dumps(report, indent=2) + "\n", encoding="utf-8")
