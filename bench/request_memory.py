"""Server memory under clients that announce a 512 MiB bulk and send only part of it.

Runs `python -m vellum serve --no-persist` in a child process, once per case: 4 and 32
clients, without a password and with one (the clients never authenticate). Each client
sends the header of `SET k <512 MiB>` and then up to 128 MiB of the value in 1 MiB
pieces, stopping early when the server closes it. Reported per case: the server's
resident memory before, at its peak (VmHWM) and while the clients that were not refused
stay connected, after they disconnect, and how many clients the server closed.

    .venv/bin/python bench/request_memory.py [--request-budget 1GiB] [--send-mib 128]

Bounded: every case ends within --case-seconds (default 90), whatever the server does.
Only loopback addresses are used.
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HEADER = b"*3\r\n$3\r\nSET\r\n$1\r\nk\r\n$536870912\r\n"
PIECE = b"v" * (1 << 20)
MIB = 1 << 20


def status_kib(pid: int, field: str) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def start_server(password_file: str | None, budget: str | None) -> tuple[subprocess.Popen[str], int]:
    cmd = [sys.executable, "-m", "vellum", "serve", "--no-persist", "--port", "0"]
    if password_file:
        cmd += ["--password-file", password_file]
    if budget:
        cmd += ["--request-budget", budget]
    proc = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True)
    assert proc.stderr is not None
    line = proc.stderr.readline()
    if "listening on 127.0.0.1:" not in line:
        proc.kill()
        raise RuntimeError(f"server did not start: {line!r}")
    return proc, int(line.split("listening on 127.0.0.1:")[1].split()[0])


def stop_server(proc: subprocess.Popen[str]) -> None:
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    if proc.stderr:
        proc.stderr.close()


def run_case(clients: int, password: bool, budget: str | None, send_mib: int, case_seconds: float) -> dict[str, int]:
    with tempfile.NamedTemporaryFile("w", suffix=".pw", delete=False) as f:
        f.write("bench-password\n")
        pw_path = f.name
    proc, port = start_server(pw_path if password else None, budget)
    deadline = time.monotonic() + case_seconds
    try:
        base = status_kib(proc.pid, "VmRSS")
        socks = [socket.create_connection(("127.0.0.1", port), timeout=10) for _ in range(clients)]
        closed = [False] * clients

        def send(i: int) -> None:
            s = socks[i]
            try:
                s.sendall(HEADER)
                for _ in range(send_mib):
                    if time.monotonic() > deadline:
                        return
                    s.sendall(PIECE)
            except OSError:
                closed[i] = True  # the server closed the connection mid-request

        threads = [threading.Thread(target=send, args=(i,), daemon=True) for i in range(clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(max(0.0, deadline - time.monotonic()))
        # Let the server read what the socket buffers still hold, then tell which clients
        # it closed: a closed one reads an error reply or the end of the stream.
        time.sleep(1.0)
        for i, s in enumerate(socks):
            s.settimeout(0.05)
            try:
                s.recv(4096)
                closed[i] = True
            except TimeoutError:
                pass
            except OSError:
                closed[i] = True
        holding = status_kib(proc.pid, "VmRSS")
        for s in socks:
            s.close()
        time.sleep(1.0)
        after = status_kib(proc.pid, "VmRSS")
        peak = status_kib(proc.pid, "VmHWM")
        return {"base": base, "peak": peak, "holding": holding, "after": after, "closed": sum(closed)}
    finally:
        stop_server(proc)
        os.unlink(pw_path)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--request-budget", default=None, help="passed to vellum serve (default: its own default)")
    ap.add_argument("--send-mib", type=int, default=128, help="MiB each client sends at most (default 128)")
    ap.add_argument("--case-seconds", type=float, default=90.0, help="time bound of one case (default 90)")
    args = ap.parse_args()
    print(f"request budget: {args.request_budget or 'default (1 GiB, or max_memory when smaller)'}; "
          f"each client announces 512 MiB and sends up to {args.send_mib} MiB")
    print(f"{'clients':>7} {'password':>8} {'base MiB':>8} {'peak MiB':>8} {'holding MiB':>11} "
          f"{'after MiB':>9} {'closed':>6}")
    for password in (False, True):
        for clients in (4, 32):
            r = run_case(clients, password, args.request_budget, args.send_mib, args.case_seconds)
            print(f"{clients:>7} {'yes' if password else 'no':>8} {r['base'] / 1024:>8.0f} {r['peak'] / 1024:>8.0f} "
                  f"{r['holding'] / 1024:>11.0f} {r['after'] / 1024:>9.0f} {r['closed']:>6}", flush=True)


if __name__ == "__main__":
    main()
