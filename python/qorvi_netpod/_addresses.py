"""IPv4 addresses as the library takes them: four integers, each 0 to 255."""

from __future__ import annotations

import ipaddress
from typing import Any, Iterable


def address_parts(address: Any, what: str = "address") -> tuple[int, int, int, int]:
    """Four integers 0..255 from a dotted text, an ``ipaddress.IPv4Address`` or a
    sequence of four integers. Raises TypeError or ValueError."""
    if isinstance(address, ipaddress.IPv4Address):
        return tuple(address.packed)  # type: ignore[return-value]
    if isinstance(address, str):
        try:
            return tuple(ipaddress.IPv4Address(address.strip()).packed)  # type: ignore[return-value]
        except ValueError:
            raise ValueError(f"{what} {address!r} is not a dotted IPv4 address such as 192.168.0.12") from None
    if isinstance(address, (bytes, bytearray)) or not isinstance(address, Iterable):
        raise TypeError(f"{what} must be a text such as '192.168.0.12', an IPv4Address or four integers, "
                        f"not {type(address).__name__}")
    parts = list(address)
    if len(parts) != 4:
        raise ValueError(f"{what} needs four parts, got {len(parts)}")
    for part in parts:
        if isinstance(part, bool) or not isinstance(part, int):
            raise TypeError(f"each part of the {what} must be an integer, not {type(part).__name__}")
        if not 0 <= part <= 255:
            raise ValueError(f"each part of the {what} must lie between 0 and 255, got {part}")
    return tuple(parts)  # type: ignore[return-value]


def dotted(parts: Iterable[int]) -> str:
    return ".".join(str(int(p)) for p in parts)
