"""Readers for the files of a data directory, independent of the native module.

They check what the native open checks (checksums, structure, record codes) and report
faults with their byte offsets instead of refusing the file, so the command-line tools can
describe and repair a directory that will not open. Nothing here writes, except
`set_aside` and `truncate_segment`.
"""

from __future__ import annotations

import bisect
import os
import re
import struct
import zlib
from collections import Counter
from dataclasses import dataclass, field

__all__ = ["SegmentFault", "SegmentReport", "SnapshotReport", "list_segments", "scan_segment", "scan_snapshot",
           "set_aside", "truncate_segment"]

SNAPSHOT = "snapshot.kvs"
MAGIC = b"KVSNAP01"
_SEGMENT = re.compile(r"wal-([0-9]+)\.log")
_U64_MAX = (1 << 64) - 1
KINDS = {1: "string", 2: "list", 3: "hash", 4: "set"}
OPS = {1: "SET", 2: "DEL", 3: "EXPIREAT", 4: "HSET", 5: "HDEL", 6: "LPUSH", 7: "RPUSH",
       8: "LPOP", 9: "RPOP", 10: "SADD", 11: "SREM", 12: "FLUSHALL", 13: "BATCH", 14: "RENAME",
       30: "LSET", 31: "LTRIM", 32: "LREM", 33: "LINSERT", 34: "LMOVE"}


class FormatError(ValueError):
    def __init__(self, reason: str, offset: int) -> None:
        super().__init__(reason)
        self.reason = reason
        self.offset = offset


class _Reader:
    """Bounded cursor over a buffer; running past `end` is a FormatError, never a read past it."""

    def __init__(self, data: bytes | memoryview, pos: int = 0, end: int | None = None, short: str = "truncated"):
        self.data = data
        self.pos = pos
        self.end = len(data) if end is None else end
        self.short = short

    def take(self, n: int) -> bytes:
        if n > self.end - self.pos:
            raise FormatError(self.short, self.pos)
        out = bytes(self.data[self.pos:self.pos + n])
        self.pos += n
        return out

    def u8(self) -> int:
        return self.take(1)[0]

    def u64(self) -> int:
        value: int = struct.unpack("<Q", self.take(8))[0]
        return value

    def varint(self, overflow: str = "truncated") -> int:
        start, value = self.pos, 0
        for i in range(10):
            byte = self.u8()
            if i == 9:
                if byte & 0x80:
                    raise FormatError(overflow, start)
                return value | ((byte & 1) << 63)
            value |= (byte & 0x7F) << (7 * i)
            if not byte & 0x80:
                return value
        raise FormatError(overflow, start)  # unreachable: the loop returns on its tenth byte

    def blob(self) -> bytes:
        return self.take(self.varint())


def list_segments(directory: str) -> list[tuple[int, str]]:
    """(number, file name) of every log segment, ascending; other names are ignored."""
    found = []
    for name in os.listdir(directory):
        m = _SEGMENT.fullmatch(name)
        if m and int(m.group(1)) <= _U64_MAX:
            found.append((int(m.group(1)), name))
    return sorted(found)


@dataclass
class SnapshotReport:
    path: str
    size: int
    wal_seq: int | None = None
    records: int = 0
    kinds: Counter[str] = field(default_factory=Counter)
    expired: int = 0
    fault: str | None = None
    fault_offset: int | None = None


def scan_snapshot(path: str, now_ms: int) -> SnapshotReport:
    """Checks a snapshot the way an open does: size, checksum, magic, version, records."""
    with open(path, "rb") as f:
        data = f.read()
    report = SnapshotReport(path, len(data))
    try:
        if len(data) < 33:
            raise FormatError("file truncated", len(data))
        stored = struct.unpack("<I", data[-4:])[0]
        if zlib.crc32(memoryview(data)[:-4]) != stored:
            raise FormatError("checksum mismatch", len(data) - 4)
        r = _Reader(memoryview(data), 0, len(data) - 4, short="unexpected end of file")
        if r.take(8) != MAGIC:
            raise FormatError("bad magic", 0)
        if struct.unpack("<I", r.take(4))[0] != 1:
            raise FormatError("unsupported version", 8)
        report.wal_seq = r.u64()
        while True:
            at = r.pos
            kind = r.u8()
            if kind == 0xFF:
                if r.u64() != report.records:
                    raise FormatError("record count mismatch", at)
                return report
            r.blob()
            expires = r.u64()
            if kind == 1:
                r.blob()
            elif kind in (2, 4):
                for _ in range(r.varint("varint overflow")):
                    r.blob()
            elif kind == 3:
                for _ in range(r.varint("varint overflow")):
                    r.blob()
                    r.blob()
            else:
                raise FormatError("unknown record type", at)
            report.records += 1
            if expires and expires <= now_ms:
                report.expired += 1
            else:
                report.kinds[KINDS[kind]] += 1
    except FormatError as err:
        report.fault, report.fault_offset = err.reason, err.offset
    return report


# Why a log record fails its checks; the same texts as the native replay's.
PARTIAL_HEADER = "partial record header"
EMPTY_RECORD = "empty record"
PAST_END = "record runs past the end of the file"
CHECKSUM_MISMATCH = "checksum mismatch"
_OP_BYTE = re.compile(rb"[\x01-\x0c]")


@dataclass
class SegmentFault:
    """Bytes [offset, end) of a segment that are not intact records.

    kind is "torn" when no intact record follows (an open cuts it by itself), "damaged"
    when intact records follow (an open refuses the directory), "malformed" for a record
    whose checksum holds but whose payload does not decode (an open refuses it too).
    """

    offset: int
    end: int
    kind: str
    reason: str
    intact_after: int = 0  # intact records that start at or after `end`
    gave_up: bool = False  # the search for intact records stopped at its bound; the fault runs to the end

    @property
    def text(self) -> str:
        prefix = {"torn": "torn tail", "damaged": "damaged record", "malformed": "record malformed"}[self.kind]
        return f"{prefix}: {self.reason}"


@dataclass
class SegmentReport:
    number: int
    path: str
    size: int
    records: int = 0  # intact records in the whole file, also those after a fault
    good_bytes: int = 0  # bytes before the first fault
    ops: Counter[str] = field(default_factory=Counter)
    fault: str | None = None  # the first fault's text
    fault_offset: int | None = None
    torn: bool = False  # the first fault is a torn tail, which an open repairs by itself
    faults: list[SegmentFault] = field(default_factory=list)


def _decode_payload(p: bytes | memoryview, nested: bool = False) -> int:
    if not p:
        raise FormatError("truncated", 0)
    op = p[0]
    if op not in OPS:
        raise FormatError("unknown operation", 0)
    r = _Reader(p, 1)
    if op == 13:
        # A transaction: whole payloads of the other operations, applied together.
        if nested:
            raise FormatError("batch inside a batch", 0)
        for _ in range(r.varint()):
            _decode_payload(r.blob(), nested=True)
        return op
    if op in (1, 3, 30, 32):
        r.u64()  # an expiry, an index or a count
    elif op == 31:
        r.u64()
        r.u64()
    elif op in (33, 34):
        # LINSERT's before/after flag; LMOVE's source and destination ends.
        for _ in range(1 if op == 33 else 2):
            if r.u8() > 1:
                raise FormatError("flag byte other than 0 or 1", 0)
    if op != 12:
        r.blob()
    if op in (4, 14, 33, 34):
        r.blob()
    elif op in (5, 6, 7, 10, 11):
        for _ in range(r.varint()):
            r.blob()
    return op


# CRC-32 arithmetic on whole checksums (reflected zlib polynomial, bit 31 is x^0):
# crc(A + B) == _gf_mul(_shift_power(len(B)), crc(A)) ^ crc(B). With the running checksum
# kept at every _CHECKPOINT-th offset, the checksum of any long span costs one short
# crc32 call and one shift instead of hashing the whole span.
_CRC_POLY = 0xEDB88320
_CHECKPOINT = 4096
_DIRECT = 1 << 16


def _gf_mul(a: int, b: int) -> int:
    product, m = 0, 1 << 31
    while m:
        if a & m:
            product ^= b
        b = (b >> 1) ^ _CRC_POLY if b & 1 else b >> 1
        m >>= 1
    return product


_X2N = [1 << 30]
for _ in range(66):
    _X2N.append(_gf_mul(_X2N[-1], _X2N[-1]))


def _shift_power(nbytes: int) -> int:
    """x^(8 * nbytes) modulo the polynomial: _gf_mul(it, crc) shifts crc past nbytes bytes."""
    power, k = 1 << 31, 3
    while nbytes:
        if nbytes & 1:
            power = _gf_mul(_X2N[k], power)
        nbytes >>= 1
        k += 1
    return power


class _GaveUp(Exception):
    pass


# The search after a first damaged record may hash 16 times the remainder plus 64 MiB; a
# candidate is charged its length, at most _LONG_SPAN_CHARGE. The native open charges the
# same, so both give up at the same candidate.
_LONG_SPAN_CHARGE = 4096


def _search_budget(remainder: int) -> int:
    return (64 << 20) + 16 * remainder


class _Segment:
    """One segment's bytes and the checks an open applies to a record at any offset."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.view = memoryview(data)
        self.size = len(data)
        self._checkpoints: list[int] | None = None
        self._powers: dict[int, int] = {}  # _shift_power by length; damage often repeats a length

    def _crc_shift(self, crc: int, nbytes: int) -> int:
        power = self._powers.get(nbytes)
        if power is None:
            if len(self._powers) >= 4096:
                self._powers.clear()
            power = self._powers[nbytes] = _shift_power(nbytes)
        return _gf_mul(power, crc)

    def _prefix_crc(self, end: int) -> int:
        if self._checkpoints is None:
            running, marks = 0, [0]
            for at in range(_CHECKPOINT, self.size + 1, _CHECKPOINT):
                running = zlib.crc32(self.view[at - _CHECKPOINT:at], running)
                marks.append(running)
            self._checkpoints = marks
        base = end // _CHECKPOINT * _CHECKPOINT
        return zlib.crc32(self.view[base:end], self._checkpoints[end // _CHECKPOINT])

    def span_crc(self, start: int, end: int) -> int:
        if end - start <= _DIRECT:
            return zlib.crc32(self.view[start:end])
        return self._prefix_crc(end) ^ self._crc_shift(self._prefix_crc(start), end - start)

    def probe(self, at: int) -> tuple[str, int, str | int]:
        """("intact", size, op), ("malformed", size, reason) or ("damaged", 0, reason)."""
        left = self.size - at
        if left < 8:
            return "damaged", 0, PARTIAL_HEADER
        length, crc = struct.unpack_from("<II", self.data, at)
        if length == 0:
            return "damaged", 0, EMPTY_RECORD
        if length > left - 8:
            return "damaged", 0, PAST_END
        payload = self.view[at + 8:at + 8 + length]
        if zlib.crc32(payload) != crc:
            return "damaged", 0, CHECKSUM_MISMATCH
        try:
            op = _decode_payload(payload)
        except FormatError as err:
            return "malformed", 8 + length, err.reason
        return "intact", 8 + length, op

    def next_intact(self, start: int, budget: list[int]) -> int | None:
        """The first offset at or after `start` where an intact record starts.

        Each candidate (a length that fits and a known operation byte) is charged to
        budget[0]; when a charge no longer fits, the search stops and raises _GaveUp.
        """
        for m in _OP_BYTE.finditer(self.data, start + 8):
            q = m.start() - 8
            length, crc = struct.unpack_from("<II", self.data, q)
            if length == 0 or length > self.size - q - 8:
                continue
            charge = min(length, _LONG_SPAN_CHARGE)
            if charge > budget[0]:
                raise _GaveUp
            budget[0] -= charge
            if self.span_crc(q + 8, q + 8 + length) != crc:
                continue
            try:
                _decode_payload(self.view[q + 8:q + 8 + length])
            except FormatError:
                continue
            return q
        return None


def scan_segment(number: int, path: str) -> SegmentReport:
    """Walks one segment the way an open replays it, and on past every fault.

    A record that fails its checks starts a fault that runs to the next offset where an
    intact record starts, or to the end of the file (a torn tail) when there is none; a
    zero-filled remainder is a torn tail. A record whose checksum holds but whose payload
    does not decode is a fault of its own length.
    """
    with open(path, "rb") as f:
        seg = _Segment(f.read())
    report = SegmentReport(number, path, seg.size)
    starts: list[int] = []
    budget: list[int] | None = None  # one search budget from the first damaged record on
    pos = 0
    while pos < seg.size:
        state, size, info = seg.probe(pos)
        if state == "intact":
            starts.append(pos)
            report.ops[OPS[int(info)]] += 1
            pos += size
            continue
        if state == "malformed":
            report.faults.append(SegmentFault(pos, pos + size, "malformed", str(info)))
            pos += size
            continue
        zeros = seg.data.count(0, pos) == seg.size - pos
        if budget is None:
            budget = [_search_budget(seg.size - pos)]
        try:
            found = None if zeros else seg.next_intact(pos + 1, budget)
        except _GaveUp:
            # Intact records may follow, so this is not a torn tail; all the rest is set aside.
            report.faults.append(SegmentFault(pos, seg.size, "damaged", str(info), gave_up=True))
            break
        end = seg.size if found is None else found
        report.faults.append(SegmentFault(pos, end, "torn" if found is None else "damaged", str(info)))
        pos = end
    report.records = len(starts)
    for fault in report.faults:
        fault.intact_after = len(starts) - bisect.bisect_left(starts, fault.end)
    if report.faults:
        first = report.faults[0]
        report.fault, report.fault_offset, report.torn = first.text, first.offset, first.kind == "torn"
        report.good_bytes = first.offset
    else:
        report.good_bytes = seg.size
    return report


def _side_path(path: str, offset: int) -> str:
    base = f"{path}.damaged-{offset}"
    candidate, n = base, 0
    while os.path.lexists(candidate):
        n += 1
        candidate = f"{base}.{n}"
    return candidate


def _write_synced(path: str, data: bytes | memoryview, mode: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)


def _sync_dir(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def set_aside(path: str, faults: list[SegmentFault]) -> list[str]:
    """Moves the bytes of `faults` out of a segment, each into a side file next to it
    ("wal-1.log.damaged-30000"), and keeps every other byte in order. The side files are
    on disk before the segment changes, so a crash between the two loses nothing. Returns
    the side files' paths."""
    with open(path, "rb") as f:
        data = f.read()
    view = memoryview(data)
    mode = os.stat(path).st_mode & 0o777
    spans = sorted((f.offset, f.end) for f in faults)
    sides = []
    for start, end in spans:
        side = _side_path(path, start)
        _write_synced(side, view[start:end], 0o600)
        sides.append(side)
    directory = os.path.dirname(os.path.abspath(path))
    _sync_dir(directory)
    if len(spans) == 1 and spans[0][1] == len(data):
        truncate_segment(path, spans[0][0])
        return sides
    kept, at = [], 0
    for start, end in spans:
        kept.append(view[at:start])
        at = end
    kept.append(view[at:])
    temp = f"{path}.repair"
    if os.path.lexists(temp):
        os.unlink(temp)
    _write_synced(temp, b"".join(kept), mode)
    os.replace(temp, path)
    _sync_dir(directory)
    return sides


def truncate_segment(path: str, length: int) -> None:
    """Cuts a segment to `length` bytes and flushes the change to disk."""
    fd = os.open(path, os.O_WRONLY)
    try:
        os.ftruncate(fd, length)
        os.fsync(fd)
    finally:
        os.close(fd)
