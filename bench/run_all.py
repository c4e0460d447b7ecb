"""Runs every benchmark in this folder; each prints its own table of same-run ratios."""

from __future__ import annotations

import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BENCHES = ["bench_strings.py", "bench_collections.py", "bench_persist.py", "bench_server.py", "bench_wrapper.py"]

if __name__ == "__main__":
    sys.path.insert(0, HERE)
    os.chdir(os.path.dirname(HERE))
    only = sys.argv[1:]
    for name in BENCHES:
        path = os.path.join(HERE, name)
        if not os.path.exists(path) or (only and name not in only):
            continue
        print(f"\n# {name}", flush=True)
        runpy.run_path(path, run_name="__main__")
