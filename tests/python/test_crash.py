"""Crash consistency: a child process writing to a data directory is killed with SIGKILL at a
random moment, and the directory it leaves behind is reopened and checked.

The child acknowledges each write by printing its index once `set` has returned. The parent
reads the acknowledgements, kills the child, waits for it (a zombie would still count as a
live holder of the directory lock), reopens the directory and checks what the fsync policy
promises, plus that nothing damaged or unexpected appears.
"""

from __future__ import annotations

import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

from vellum._vellum import Cache, CorruptDataError

pytestmark = pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")

PRELOAD = 200_000
# How long `everysec` may leave an acknowledged write unsynced: the one-second period plus
# slack for a loaded machine.
EVERYSEC_WINDOW = 1.5

CHILD = r"""
import sys, threading, time
from vellum._vellum import Cache

mode, path, fsync, interval, burst = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])

def key(i):
    return b"key:%012d" % i

def value(i):
    return b"value:%d:" % i + b"x" * 64

def stream(cache, i):
    out = sys.stdout
    while True:
        cache.set(key(i), value(i))
        out.write("%d\n" % i)
        out.flush()
        i += 1
        if burst and i % burst == 0:
            time.sleep(0.001)  # keeps the key count, and so the checks, small

cache = Cache(persist_dir=path, fsync=fsync, snapshot_interval=interval)
if mode == "stream":
    stream(cache, 0)
else:
    print("saving", flush=True)
    threading.Thread(target=stream, args=(cache, int(sys.argv[6])), daemon=True).start()
    while True:
        cache.save()
"""


def key(i: int) -> bytes:
    return b"key:%012d" % i


def value(i: int) -> bytes:
    return b"value:%d:" % i + b"x" * 64


class Child:
    """A writer process and a thread that timestamps each acknowledgement as it arrives.

    An acknowledgement is stamped when the parent reads it, never before the child made it,
    so "acknowledged before t" judged by these stamps is never wrongly generous.
    """

    def __init__(self, tmp_path, *args: object) -> None:
        self.stderr = open(tmp_path / "child-stderr.txt", "w+")
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD, *map(str, args)],
                                     stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        self.acks: list[tuple[int, float]] = []
        self.marks: list[str] = []
        self.started = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            line = line.strip()
            if line.isdigit():
                self.acks.append((int(line), time.monotonic()))
            else:
                self.marks.append(line)
            self.started.set()

    def wait_started(self) -> None:
        if not self.started.wait(30) or self.proc.poll() is not None:
            self.kill()
            pytest.fail("writer child did not start: " + self.child_stderr())

    def kill(self) -> float:
        """SIGKILLs the child, reaps it and drains its output; returns the kill's time."""
        at = time.monotonic()
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
        self.proc.wait(30)
        self.reader.join(30)
        return at

    def child_stderr(self) -> str:
        self.stderr.seek(0)
        return self.stderr.read()[-2000:]

    def close(self) -> None:
        if self.proc.poll() is None:
            self.kill()
        self.stderr.close()


def reopen_and_check(path, required: int, written_at_most: int) -> int:
    """Reopens `path` and checks that its keys are key(0) .. key(n-1) with intact values,
    `required` <= n <= `written_at_most`. Returns n."""
    try:
        cache = Cache(persist_dir=path, snapshot_interval=0)
    except CorruptDataError as e:
        pytest.fail(f"reopen after SIGKILL reported corrupt data: {e}")
    try:
        assert not os.path.exists(os.path.join(path, "snapshot.tmp"))
        keys = cache.keys()
        n = len(keys)
        # Records reach the segment in order, each in one write, so a kill may cost a tail
        # of the history but never a write in the middle of it: the keys are a prefix.
        assert sorted(keys) == [key(i) for i in range(n)]
        for start in range(0, n, 10_000):
            got = cache.mget([key(i) for i in range(start, min(n, start + 10_000))])
            bad = [start + j for j, v in enumerate(got) if v != value(start + j)]
            assert not bad, f"damaged values at {bad[:5]}"
        assert n >= required, f"{required - n} acknowledged writes lost"
        assert n <= written_at_most, "keys beyond the last write the child could have made"
        return n
    finally:
        cache.close()


@pytest.mark.parametrize("snapshot_interval", [0, 1], ids=["log-only", "periodic-snapshot"])
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize(
    "fsync, kill_after, burst",
    [("always", (0.2, 1.8), 0), ("everysec", (2.0, 3.0), 50)],
    ids=["always", "everysec"],
)
def test_kill_during_writes_keeps_what_the_fsync_policy_promises(tmp_path, fsync, kill_after, burst, seed,
                                                                 snapshot_interval):
    rng = random.Random(f"{fsync}-{seed}-{snapshot_interval}")
    path = tmp_path / "data"
    child = Child(tmp_path, "stream", path, fsync, snapshot_interval, burst)
    try:
        child.wait_started()
        time.sleep(rng.uniform(*kill_after))
        killed_at = child.kill()
        assert child.proc.returncode == -signal.SIGKILL, child.child_stderr()
    finally:
        child.close()

    assert child.acks, "the child acknowledged nothing before the kill"
    last = child.acks[-1][0]
    assert [i for i, _ in child.acks] == list(range(last + 1))
    if fsync == "always":
        required = last + 1
    else:
        # Acknowledgements are in index order, so what must survive is a prefix too.
        required = sum(1 for _, t in child.acks if t <= killed_at - EVERYSEC_WINDOW)
        assert required > 0, "the kill came too early to test the guarantee"
    # The child may have finished one more set without getting to acknowledge it.
    reopen_and_check(path, required, last + 2)


@pytest.fixture(scope="module")
def preloaded(tmp_path_factory):
    """A directory holding PRELOAD keys in its snapshot, copied afresh for each run."""
    path = tmp_path_factory.mktemp("preloaded") / "data"
    cache = Cache(persist_dir=path, fsync="never", snapshot_interval=0)
    for start in range(0, PRELOAD, 10_000):
        cache.mset({key(i): value(i) for i in range(start, start + 10_000)})
    cache.close()
    return path


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("moment", ["any", "snapshot-being-written"])
def test_kill_during_save_loses_no_acknowledged_write(tmp_path, preloaded, moment, seed):
    """The child loads PRELOAD keys and saves in a loop while a thread keeps writing under
    `always`; killed during a save, the directory must hold everything acknowledged."""
    rng = random.Random(f"save-{moment}-{seed}")
    path = tmp_path / "data"
    shutil.copytree(preloaded, path)
    child = Child(tmp_path, "save", path, "always", 0, 0, PRELOAD)
    try:
        child.wait_started()
        assert child.marks == ["saving"]
        if moment == "snapshot-being-written":
            # Aim inside the write of the new snapshot: wait for its temporary file, then
            # let the save run on for a random part of its course.
            deadline = time.monotonic() + 20
            while not os.path.exists(path / "snapshot.tmp"):
                assert time.monotonic() < deadline and child.proc.poll() is None, child.child_stderr()
                time.sleep(0.0005)
            time.sleep(rng.uniform(0, 0.05))
        else:
            time.sleep(rng.uniform(0, 1.0))
        child.kill()
        assert child.proc.returncode == -signal.SIGKILL, child.child_stderr()
    finally:
        child.close()

    indices = [i for i, _ in child.acks]
    assert indices == list(range(PRELOAD, PRELOAD + len(indices)))
    acknowledged = PRELOAD + len(indices)
    reopen_and_check(path, acknowledged, acknowledged + 1)


# ---- a full disk ----

FULL_DISK_CHILD = r"""
import sys, time
from vellum._vellum import Cache

path, fsync, keys = sys.argv[1], sys.argv[2], int(sys.argv[3])
PAD = b"x" * 1000
c = Cache(persist_dir=path, fsync=fsync, snapshot_interval=0)
out = sys.stdout
i = 0
prefix = b"k"


def step():
    # Two sets of a rotating key, then one increment of a counter: a state with a hole in
    # its history shows as a key or a count that no moment of the history had. Calls
    # after the disk filled use keys of their own, so none hides an earlier one.
    global i
    try:
        if i % 3 == 2:
            c.incr(b"ctr")
        else:
            c.set(prefix + b"%d" % (i % keys), b"%d:" % i + PAD)
        out.write("A %d\n" % i)
    except OSError as e:
        out.write("R %d %s\n" % (i, e))
    out.flush()
    i += 1


stopped_at = None
while stopped_at is None or i < stopped_at + 30:
    step()
    if stopped_at is None and c.persist_stats["last_error"] is not None:
        stopped_at = i
    if i > 100000:
        sys.exit("the disk never filled")
print("FULL", flush=True)
prefix = b"q"
if sys.stdin.readline().strip() == "save":
    c.save()
    print("SAVED %d" % i, flush=True)
else:
    print("WRITING %d" % i, flush=True)
while True:
    step()
    time.sleep(0.0005)  # keeps this phase from filling the disk again
"""

FULL_DISK_KEYS = 16
FULL_DISK_PAD = b"x" * 1000


@pytest.fixture(scope="module")
def full_disk_tmpfs(tmp_path_factory):
    mnt = tmp_path_factory.mktemp("full-disk")
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mnt)], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], check=False)


def model_state(status: dict[int, str], j: int, resumed_at: int) -> dict[bytes, bytes]:
    """The state after calls 0 .. j-1 of the writer, without the ones it saw refused."""
    state: dict[bytes, bytes] = {}
    count = 0
    for i in range(j):
        if status.get(i) == "R":
            continue
        if i % 3 == 2:
            count += 1
        else:
            state[(b"k" if i < resumed_at else b"q") + b"%d" % (i % FULL_DISK_KEYS)] = b"%d:" % i + FULL_DISK_PAD
    if count:
        state[b"ctr"] = b"%d" % count
    return state


@pytest.mark.parametrize(
    "then, round_", [("save", r) for r in range(20)] + [("no-save", r) for r in range(10)]
)
@pytest.mark.parametrize("fsync", ["always", "everysec"])
def test_full_disk_round_reopens_to_one_moment_of_the_acknowledged_history(full_disk_tmpfs, fsync, then, round_):
    """A writer fills a small tmpfs, space is freed, it saves (or, in the no-save rounds,
    does not), writes on and is killed. The reopened state is the state after some prefix
    of its calls; under `always` that prefix holds every acknowledged call, and under both
    it holds every call before the save."""
    rng = random.Random(f"full-disk-{fsync}-{then}-{round_}")
    ballast = full_disk_tmpfs / "ballast"
    path = full_disk_tmpfs / "data"
    # Rounds share the file system: start from an empty one whatever the last round left.
    shutil.rmtree(path, ignore_errors=True)
    ballast.unlink(missing_ok=True)
    ballast.write_bytes(b"\0" * (384 << 10))
    proc = subprocess.Popen([sys.executable, "-c", FULL_DISK_CHILD, str(path), fsync, str(FULL_DISK_KEYS)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines: list[str] = []
    marks: dict[str, threading.Event] = {"FULL": threading.Event(), "SAVED": threading.Event(),
                                         "WRITING": threading.Event()}

    def read() -> None:
        assert proc.stdout is not None
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            for name, event in marks.items():
                if line.startswith(name):
                    event.set()

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        assert marks["FULL"].wait(30), "the writer never filled the disk: " + proc.stderr.read()
        ballast.unlink()
        assert proc.stdin is not None
        proc.stdin.write(then + "\n")
        proc.stdin.flush()
        assert marks["SAVED" if then == "save" else "WRITING"].wait(30), "the save after freeing space failed"
        time.sleep(rng.uniform(0, 0.3))
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(30)
        reader.join(30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()

    status: dict[int, str] = {}
    refusals = set()
    saved_at = resumed_at = None
    for line in lines:
        kind, _, rest = line.partition(" ")
        if kind in ("A", "R"):
            index, _, text = rest.partition(" ")
            status[int(index)] = kind
            if kind == "R":
                refusals.add(text)
        elif kind in ("SAVED", "WRITING"):
            resumed_at = int(rest)
            saved_at = resumed_at if kind == "SAVED" else None
    assert resumed_at is not None and (saved_at is not None) == (then == "save")
    last = max(status)
    assert sorted(status) == list(range(last + 1))
    if fsync == "always":
        assert "R" in status.values(), "no write was refused on the full disk"
        assert refusals == {"persistence failed: WAL append failed: No space left on device (os error 28)"
                            "; writes are refused until a save succeeds"}
        required = 1 + max(i for i, kind in status.items() if kind == "A")
    else:
        assert "R" not in status.values()
        # Without a save, everysec promises nothing of the calls made since the last sync.
        required = saved_at or 0

    cache = Cache(persist_dir=path, snapshot_interval=0)
    try:
        state = {k: cache.get(k) for k in cache.keys()}
    finally:
        cache.close()
    # The prefix is fixed by the newest set it shows, up to the calls that follow it
    # before the next set that went through (increments and refused calls).
    newest = max((int(v.split(b":")[0]) for k, v in state.items() if k != b"ctr"), default=-1)
    following = newest + 1
    while following <= last + 1 and (following % 3 == 2 or status.get(following) == "R"):
        following += 1
    matches = [j for j in range(newest + 1, following + 1) if model_state(status, j, resumed_at) == state]
    assert matches, f"the reopened state is no moment of the history (newest set {newest})"
    # The writer may have finished one more call without getting to acknowledge it.
    assert max(matches) >= required, f"{required - max(matches)} calls before the required point lost"
    assert min(matches) <= last + 2
