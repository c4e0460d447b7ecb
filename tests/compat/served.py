"""The vellum server that `make compat` runs the clients' own redis-backend suites against.

client_suites.py starts it and names its port in VELLUM_COMPAT_PORT; the modules that
need it call served_port(), which skips them when the variable is unset.
"""

from __future__ import annotations

import os

import pytest


def served_port() -> int:
    port = os.environ.get("VELLUM_COMPAT_PORT")
    if not port:
        pytest.skip("VELLUM_COMPAT_PORT is not set; `make compat` serves vellum and sets it", allow_module_level=True)
    return int(port)
