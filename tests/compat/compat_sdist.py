"""Locates the test suite of an unpacked sdist for the framework suites in this folder."""

from __future__ import annotations

import email.parser
import importlib.metadata
import os
import sys

import pytest


def suite_dir(env: str, marker: str, distribution: str) -> str:
    """The tests/ directory named by the environment variable `env`, put on sys.path.

    Skips the calling module when the variable is unset (only `make compat` sets it), and
    refuses a directory that lacks `marker` or comes from another version of
    `distribution` than the one installed, since the suite would then test the wrong code.
    """
    path = os.environ.get(env)
    if not path:
        pytest.skip(f"{env} is not set; `make compat` sets it", allow_module_level=True)
    if not os.path.isfile(os.path.join(path, marker)):
        raise RuntimeError(f"{env}={path} is not the tests/ directory of a {distribution} sdist")
    with open(os.path.join(path, os.pardir, "PKG-INFO"), encoding="utf-8") as f:
        suite_version = email.parser.Parser().parse(f)["Version"]
    installed = importlib.metadata.version(distribution)
    if suite_version != installed:
        raise RuntimeError(f"{env} holds the tests of {distribution} {suite_version}, but {installed} is installed")
    sys.path.insert(0, path)
    return path
