#!/usr/bin/env python3
"""first_steps.py - a tour of the qorvi_netpod package.

    python3 examples/python/first_steps.py            # against an emulated module
    python3 examples/python/first_steps.py 192.168.0.12

With no address, the script starts netpod-emulator on a free loopback address (after
`make`, it is found in the build tree) and ends it afterwards. It reads the module,
switches two outputs on, watches the inputs for a second, talks to the I2C bus and
echoes a line through the serial port. It exits 1 when something read back is wrong.
"""

from __future__ import annotations

import sys
import time
from contextlib import ExitStack
from pathlib import Path

# Run from the repository without installing: use the package beside this script.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

import qorvi_netpod  # noqa: E402
from qorvi_netpod.emulator import Emulator  # noqa: E402

EEPROM = 0x50


def tour(address: str, emulated: bool) -> int:
    print(f"library {qorvi_netpod.version()} at {qorvi_netpod.library_path()}")
    with qorvi_netpod.connect(address, timeout=5) as module:
        info = module.read("type", "version", "name", "mac", "voltage")
        print(f"module {address}: type {info.type}, firmware {info.version}, name {info.name!r}, "
              f"MAC {info.mac}, supply {info.voltage:.2f} V")

        # Writes wait until the module has acknowledged them.
        module.write(outputs={0, 9}, threshold=1.5)
        print("outputs now on:", sorted(module.read("outputs").outputs))

        # The repetitive ask: the module is asked every 10 ms; the loop takes each answer.
        started, answers = time.monotonic(), 0
        for values in module.poll("inputs", "input_voltages", period_ms=10):
            answers += 1
            if time.monotonic() - started >= 1.0:
                break
        print(f"{answers} answers in one second; inputs on: {sorted(values.inputs)}, "
              f"input 9 at {values.input_voltages[9]:.1f} V")

        # I2C: write two bytes to the EEPROM at word address 0x10, then read them back.
        # A request is (device << 1) | R/W, then the bytes; an answer starts with a status.
        module.i2c(bytes([EEPROM << 1, 0x10, 0xBE, 0xEF]))
        status, *data = module.i2c(bytes([EEPROM << 1 | 1, 2, 0x10]))
        print(f"I2C devices {[hex(a) for a in module.i2c_scan()]}, EEPROM 0x10: status {status}, "
              f"data {bytes(data).hex()}")

    with qorvi_netpod.open_serial(address) as port:
        port.write(b"hello over RS232\n")
        line = port.readline()
        print("serial port answered:", line)

    if emulated:
        # The emulated module echoes serial bytes and mirrors its outputs on its inputs.
        wrong = []
        if not {0, 9} <= set(values.inputs):
            wrong.append(f"inputs {sorted(values.inputs)}")
        if answers < 10:
            wrong.append(f"only {answers} answers")
        if (status, bytes(data)) != (0, b"\xbe\xef"):
            wrong.append(f"EEPROM answer {status} {bytes(data).hex()}")
        if line != b"hello over RS232\n":
            wrong.append(f"serial echo {line!r}")
        if wrong:
            print("unexpected:", "; ".join(wrong))
            return 1
    return 0


def main() -> int:
    with ExitStack() as stack:
        if len(sys.argv) > 1:
            address, emulated = sys.argv[1], False
        else:
            address, emulated = stack.enter_context(Emulator()).address, True
            print(f"started netpod-emulator on {address}")
        try:
            return tour(address, emulated)
        except qorvi_netpod.NetpodError as error:
            print(f"failed: {error}", file=sys.stderr)
            return 1


if __name__ == "__main__":
    sys.exit(main())
