"""A 20-second run of the soak in tests/soak, so every test run puts the cache under load.

Skip it with `-k "not soak"` or by setting VELLUM_SKIP_SOAK=1.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

SOAK = pathlib.Path(__file__).resolve().parents[1] / "soak" / "soak.py"

pytestmark = pytest.mark.skipif(os.environ.get("VELLUM_SKIP_SOAK") == "1", reason="VELLUM_SKIP_SOAK=1")


def test_soak_short_run_holds_accounting_durability_and_resources():
    proc = subprocess.run(
        [sys.executable, str(SOAK), "--seconds", "20"], capture_output=True, text=True, timeout=240
    )
    output = proc.stdout + proc.stderr
    assert proc.returncode == 0, output
    summary = json.loads(proc.stdout.strip().splitlines()[-1])
    assert summary["failures"] == [] and summary["errors"] == 0, output
    # The run only means something if every background path really ran under the load.
    assert summary["python_ops"] > 0 and summary["client_ops"] > 0, output
    assert summary["evictions"] > 0 and summary["expired"] > 0, output
    assert summary["saves"] > 0 and summary["bgsaves"] > 0, output
