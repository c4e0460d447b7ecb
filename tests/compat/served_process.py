"""A `vellum serve` process on a free port, for the compat checks that talk to it as a
client library would: started with the given options and stopped with SIGINT."""

from __future__ import annotations

import re
import signal
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def vellum_serve(*options: str) -> Iterator[int]:
    """Yields the port of a `vellum serve --port 0 ...` process that keeps no data."""
    proc = subprocess.Popen([sys.executable, "-m", "vellum", "serve", "--port", "0", "--no-persist", *options],
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stderr is not None
        port = None
        for line in proc.stderr:
            if m := re.search(r"listening on [^ ]+:(\d+) ", line):
                port = int(m[1])
                break
        assert port is not None, "vellum serve ended before it listened"
        yield port
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.communicate(timeout=60)
        finally:
            proc.kill()
