"""Readers for the files of a data directory, independent of the native module.

They check what the native open checks (checksums, structure, record codes) and report
the first fault of each file with its byte offset instead of refusing the file, so the
command-line tools can describe and repair a directory that will not open. Nothing here
writes, except `truncate_segment`.
"""

from __future__ import annotations

import os
import re
import struct
import zlib
from collections import Counter
from dataclasses import dataclass, field

__all__ = ["SegmentReport", "SnapshotReport", "list_segments", "scan_segment", "scan_snapshot", "truncate_segment"]

SNAPSHOT = "snapshot.kvs"
MAGIC = b"KVSNAP01"
_SEGMENT = re.compile(r"wal-([0-9]+)\.log")
_U64_MAX = (1 << 64) - 1
KINDS = {1: "string", 2: "list", 3: "hash", 4: "set"}
OPS = {1: "SET", 2: "DEL", 3: "EXPIREAT", 4: "HSET", 5: "HDEL", 6: "LPUSH", 7: "RPUSH",
       8: "LPOP", 9: "RPOP", 10: "SADD", 11: "SREM", 12: "FLUSHALL"}


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


@dataclass
class SegmentReport:
    number: int
    path: str
    size: int
    records: int = 0
    good_bytes: int = 0
    ops: Counter[str] = field(default_factory=Counter)
    fault: str | None = None
    fault_offset: int | None = None
    torn: bool = False  # the fault is a torn tail, which an open repairs by itself


def _decode_payload(p: bytes) -> int:
    if not p:
        raise FormatError("truncated", 0)
    op = p[0]
    if op == 0 or op > 12:
        raise FormatError("unknown operation", 0)
    r = _Reader(p, 1)
    if op in (1, 3):
        r.u64()
    if op != 12:
        r.blob()
    if op == 4:
        r.blob()
    elif op in (5, 6, 7, 10, 11):
        for _ in range(r.varint()):
            r.blob()
    return op


def scan_segment(number: int, path: str) -> SegmentReport:
    """Walks one segment's records; stops at the first torn or malformed record."""
    with open(path, "rb") as f:
        data = f.read()
    report = SegmentReport(number, path, len(data))
    pos = 0
    while pos != len(data):
        if len(data) - pos < 8:
            report.fault, report.torn = "torn tail: partial record header", True
            break
        length, crc = struct.unpack_from("<II", data, pos)
        if pos + 8 + length > len(data):
            report.fault, report.torn = f"torn tail: record of {length} bytes runs past the end", True
            break
        payload = data[pos + 8:pos + 8 + length]
        if zlib.crc32(payload) != crc:
            report.fault, report.torn = "torn tail: checksum mismatch", True
            break
        try:
            op = _decode_payload(payload)
        except FormatError as err:
            # A zero-filled tail (length 0, crc 0) lands here: the open refuses the directory.
            report.fault = f"record malformed: {err.reason}"
            break
        report.ops[OPS[op]] += 1
        report.records += 1
        pos += 8 + length
    report.good_bytes = pos
    if report.fault is not None:
        report.fault_offset = pos
    return report


def truncate_segment(path: str, length: int) -> None:
    """Cuts a segment to `length` bytes and flushes the change to disk."""
    fd = os.open(path, os.O_WRONLY)
    try:
        os.ftruncate(fd, length)
        os.fsync(fd)
    finally:
        os.close(fd)
