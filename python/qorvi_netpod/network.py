"""The network-wide utilities: finding modules and giving one a new address.

Both broadcast on every network of the host (UDP 255.255.255.255, port 7010) and
block the calling thread while they run.
"""

from __future__ import annotations

import ctypes
import re
import threading
import time
from dataclasses import dataclass
from typing import Any, Iterable, Optional

from . import _native
from ._addresses import address_parts, dotted
from ._log import log_size, step_reason
from .errors import NetpodError, NotFoundError, RefusedArgumentError

__all__ = ["ModuleRecord", "scan", "change_ip"]

PRODUCTS = {(8, 0): "Qorvi-NETPOD", (8, 2): "Qorvi-NETPOD 2"}

# The library keeps one scan table for the process: one utility at a time.
_utility_lock = threading.Lock()


@dataclass(frozen=True)
class ModuleRecord:
    """A module that answered a scan."""

    type: tuple[int, int]
    version: tuple[int, int, int, int]
    mac: str
    ip: str        # the address the answer came from
    name: str

    @property
    def product(self) -> str:
        """The product name for the module type, or the type as "H.L"."""
        return PRODUCTS.get(self.type, f"{self.type[0]}.{self.type[1]}")


def _record(info: _native.ModuleInfo) -> ModuleRecord:
    return ModuleRecord(
        type=(info.Type[0], info.Type[1]),
        version=(info.Version[0], info.Version[1], info.Version[2], info.Version[3]),
        mac=":".join(f"{int(b) & 0xFF:02X}" for b in info.MacAddress),
        ip=dotted(info.IPAddress),
        name=bytes(info.ModuleName).split(b"\0", 1)[0].decode("latin-1"),
    )


def _scan_once(library: _native.Library, capacity: int) -> list[ModuleRecord]:
    while True:
        table = (_native.ModuleInfo * capacity)()
        count = int(library.Qorvi_NETPOD_ScanNetwork(table, capacity))
        if count <= capacity:
            return [_record(table[i]) for i in range(max(0, count))]
        capacity = count + 16  # more answers than room: ask again with room for all


def scan(timeout: Optional[float] = None, *, capacity: int = 64) -> list[ModuleRecord]:
    """Finds the modules on the local network segments.

    One scan broadcasts a read of TYPE, VERSION, MODULENAME and ETHERNETMAC and
    collects answers until 200 ms pass without one. With `timeout`, scans are repeated
    until that many seconds have passed, so that a module whose answer was lost once
    is still found. A module is listed once per MAC address and answering address.
    """
    if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0):
        raise ValueError(f"timeout must be a number of seconds, 0 or more, or None, got {timeout!r}")
    if isinstance(capacity, bool) or not isinstance(capacity, int) or capacity < 1:
        raise ValueError(f"capacity must be a positive integer, got {capacity!r}")
    library = _native.load_library()
    found: dict[tuple[str, str], ModuleRecord] = {}
    deadline = time.monotonic() + (timeout or 0.0)
    with _utility_lock:
        while True:
            for record in _scan_once(library, capacity):
                found.setdefault((record.mac, record.ip), record)
            if time.monotonic() >= deadline:
                break
    return list(found.values())


_MAC_TEXT = re.compile(r"^[0-9A-Fa-f]{2}([:-])[0-9A-Fa-f]{2}(\1[0-9A-Fa-f]{2}){4}$")


def mac_parts(mac: Any) -> tuple[int, ...]:
    """Six integers 0..255 from "02:00:00:00:00:01", six bytes or six integers."""
    if isinstance(mac, str):
        if not _MAC_TEXT.match(mac.strip()):
            raise ValueError(f"MAC address {mac!r} is not of the form 02:00:00:00:00:01")
        return tuple(int(p, 16) for p in re.split("[:-]", mac.strip()))
    if isinstance(mac, (bytes, bytearray)):
        parts: list[Any] = list(mac)
    elif isinstance(mac, Iterable):
        parts = list(mac)
    else:
        raise TypeError(f"MAC address must be a text such as '02:00:00:00:00:01' or six integers, "
                        f"not {type(mac).__name__}")
    if len(parts) != 6:
        raise ValueError(f"a MAC address has six parts, got {len(parts)}")
    for part in parts:
        if isinstance(part, bool) or not isinstance(part, int):
            raise TypeError(f"each part of the MAC address must be an integer, not {type(part).__name__}")
        if not 0 <= part <= 255:
            raise ValueError(f"each part of the MAC address must lie between 0 and 255, got {part}")
    return tuple(parts)


def change_ip(mac: Any, ip: Any, mask: Any) -> None:
    """Gives the module with MAC address `mac` the address `ip` and subnet mask `mask`.

    The library first makes sure that nothing answers an ICMP echo at `ip` (up to
    5 s), then broadcasts the change and waits 200 ms for the module's acknowledge.

    Raises:
        TypeError, ValueError: malformed arguments (nothing is sent).
        RefusedArgumentError: the new address is already in use.
        NotFoundError: no module acknowledged (no module has that MAC address).
        NetpodError: any other failure, with the library's text.
    """
    mac_values = (ctypes.c_int32 * 6)(*mac_parts(mac))
    ip_parts = address_parts(ip, "ip")
    ip_values = (ctypes.c_int32 * 4)(*ip_parts)
    mask_values = (ctypes.c_int32 * 4)(*address_parts(mask, "mask"))
    library = _native.load_library()
    with _utility_lock:
        offset = log_size()
        if library.Qorvi_NETPOD_ChangeIPAddress(mac_values, ip_values, mask_values):
            return
        text = library.last_error()
    # The export only says that the change failed; its reason is logged just before.
    reason = step_reason(offset, dotted(ip_parts), "ChangeIPAddress")
    if reason is not None and "already in use" in reason:
        raise RefusedArgumentError(text, reason=reason)
    if reason is not None and "acknowledge not received" in reason:
        raise NotFoundError(text, reason=reason)
    raise NetpodError(text, reason=reason)
