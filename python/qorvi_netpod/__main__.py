"""``python -m qorvi_netpod``: where the library is, and a short self-check against an
emulated module when ``netpod-emulator`` can be found.

Exit status: 0 when everything checked passed (or the emulator is missing and only
the library could be checked), 1 on a failure.
"""

from __future__ import annotations

import sys
import time

from . import connect, last_error, library_path, log_path, open_serial, version
from .emulator import Emulator, EmulatorError, find_emulator
from .errors import LibraryNotFoundError, NetpodError


def _check(label: str, condition: bool, detail: object = "") -> None:
    print(f"  {'ok ' if condition else 'FAILED'} {label}" + (f": {detail}" if detail != "" else ""))
    if not condition:
        raise SystemExit(1)


def self_check() -> int:
    try:
        print(f"library      {library_path()}")
    except LibraryNotFoundError as error:
        print(error)
        return 1
    print(f"version      {version()}")
    print(f"error log    {log_path()}")
    print(f"last error   {last_error()!r}")
    program = find_emulator()
    if program is None:
        print("netpod-emulator not found (build it, or set QORVI_NETPOD_EMULATOR): self-check skipped")
        return 0
    print(f"emulator     {program}")
    try:
        with Emulator(["--static"]) as emulated:
            print(f"self-check against an emulated module on {emulated.address}:")
            with connect(emulated.address, timeout=5) as module:
                values = module.read_all()
                _check("read every register", values.type == (8, 2) and len(values.input_voltages or {}) == 16,
                       f"type {values.type}, name {values.name!r}")
                module.write(outputs={0, 9}, name="self-check")
                back = module.read("outputs", "inputs", "name")
                _check("write and read back", back.outputs == {0, 9} and back.name == "self-check", back)
                count, started = 0, time.monotonic()
                for _ in module.poll("inputs", "input_voltages", period_ms=10):
                    count += 1
                    if time.monotonic() - started >= 0.5:
                        break
                _check("poll every 10 ms", count > 5, f"{count / (time.monotonic() - started):.0f} answers/s")
                _check("I2C bus scan", module.i2c_scan() == [0x48, 0x50])
            with open_serial(emulated.address) as port:
                port.write(b"ping")
                echoed = b""
                deadline = time.monotonic() + 5
                while len(echoed) < 4 and time.monotonic() < deadline:
                    echoed += port.read(4 - len(echoed))
                _check("serial echo", echoed == b"ping", echoed)
    except (NetpodError, EmulatorError) as error:
        print(f"  FAILED {error}")
        return 1
    print("self-check passed")
    return 0


if __name__ == "__main__":
    sys.exit(self_check())
