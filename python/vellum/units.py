"""Memory sizes written the way people write them: 256MiB, 1.5GB, 4096."""

from __future__ import annotations

import re

__all__ = ["parse_size"]

# Binary units are powers of 1024 and decimal ones powers of 1000; a bare B or no unit
# means bytes. Matching ignores case ("256mib" is accepted) but never guesses: "256M" is
# refused because it could mean either.
_UNITS = {
    "": 1,
    "b": 1,
    "kib": 1 << 10,
    "mib": 1 << 20,
    "gib": 1 << 30,
    "tib": 1 << 40,
    "kb": 1000,
    "mb": 1000**2,
    "gb": 1000**3,
    "tb": 1000**4,
}
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")


def parse_size(size: int | str, name: str = "size") -> int:
    """Returns a size in bytes from an int or a text such as "256MiB" or "1.5 GB".

    A fractional result is rounded down to whole bytes. Raises ValueError for a negative
    int, an unknown unit or a text that is not a size, and TypeError for other types; each
    message names the size as `name` (the argument it came from).
    """
    if isinstance(size, bool) or not isinstance(size, (int, str)):
        raise TypeError(f"{name} must be an int or a str such as '256MiB', not {type(size).__name__}")
    if isinstance(size, int):
        if size < 0:
            raise ValueError(f"{name} must be >= 0, not {size}")
        return size
    match = _SIZE.fullmatch(size)
    if match is None:
        raise ValueError(f"invalid {name} {size!r}: expected a number and a unit such as '256MiB'")
    number, unit = match.group(1), match.group(2)
    factor = _UNITS.get(unit.lower())
    if factor is None:
        raise ValueError(
            f"invalid {name} {size!r}: unknown unit {unit!r}; expected one of B, KiB, MiB, GiB, TiB, KB, MB, GB, TB"
        )
    if "." in number:
        # Exact arithmetic on the decimal text, so "0.1KB" is 100 bytes and not 99.
        whole, _, frac = number.partition(".")
        scale: int = 10 ** len(frac)
        return (int(whole or "0") * scale + int(frac or "0")) * factor // scale
    return int(number) * factor
