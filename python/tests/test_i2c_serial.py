"""I2C transfers and the bus scan through the module, and the serial tunnel as a file.

The emulated bus holds a temperature sensor at 0x48 and a 256-byte EEPROM at 0x50; an
answer is a status byte (0 done, 1 no device acknowledged) and the bytes read. The
emulated serial port echoes what it receives.
"""

from __future__ import annotations

import threading
import time
import unittest

from support import EmulatedModuleCase, start_emulator, unused_loopback_address

import qorvi_netpod
from qorvi_netpod import NotFoundError

EEPROM, SENSOR = 0x50, 0x48
WRITE, READ = 0, 1


class I2C(EmulatedModuleCase):
    def test_scan_lists_the_devices_on_the_bus(self) -> None:
        self.assertEqual(self.connect().i2c_scan(), [SENSOR, EEPROM])

    def test_eeprom_write_then_read_back(self) -> None:
        module = self.connect()
        self.assertEqual(module.i2c(bytes([EEPROM << 1 | WRITE, 0x10, 1, 2, 3])), b"\x00")
        self.assertEqual(module.i2c(bytes([EEPROM << 1 | READ, 3, 0x10])), b"\x00\x01\x02\x03")

    def test_a_long_transfer_and_an_empty_one(self) -> None:
        module = self.connect()
        payload = bytes((7 * i) % 256 for i in range(178))
        self.assertEqual(module.i2c(bytes([EEPROM << 1 | WRITE, 0]) + payload), b"\x00")
        self.assertEqual(module.i2c(bytes([EEPROM << 1 | READ, 178, 0])), b"\x00" + payload)
        answer = module.i2c(b"")
        self.assertNotEqual(answer[:1], b"\x00")  # the module refuses an empty request

    def test_absent_device_and_sensor_registers(self) -> None:
        module = self.connect()
        self.assertEqual(module.i2c(bytes([0x21 << 1 | READ, 1]))[:1], b"\x01")
        temperature = module.i2c(bytes([SENSOR << 1 | READ, 2, 0]))
        self.assertEqual(len(temperature), 3)
        self.assertEqual(temperature[0], 0)

    def test_the_answer_matching_the_ask_id_is_returned(self) -> None:
        module = self.connect()
        for ask_id in (0, 1, 65535, 4242):
            with self.subTest(ask_id=ask_id):
                module.i2c(bytes([EEPROM << 1 | WRITE, 0x40, ask_id & 0xFF]), ask_id=ask_id)
                self.assertEqual(module.i2c(bytes([EEPROM << 1 | READ, 1, 0x40]), ask_id=ask_id),
                                 bytes([0, ask_id & 0xFF]))


class SerialTunnel(EmulatedModuleCase):
    def open(self, **options: object) -> qorvi_netpod.SerialPort:
        port = qorvi_netpod.open_serial(self.emulator.address, **options)  # type: ignore[arg-type]
        self.addCleanup(port.close)
        return port

    def read_exactly(self, port: qorvi_netpod.SerialPort, count: int) -> bytes:
        data = b""
        deadline = time.monotonic() + 10
        while len(data) < count and time.monotonic() < deadline:
            data += port.read(count - len(data))
        return data

    def test_bytes_written_come_back_from_the_echo(self) -> None:
        port = self.open()
        self.assertEqual(port.write(b"hello\r\n"), 7)
        self.assertEqual(self.read_exactly(port, 7), b"hello\r\n")
        port.write(bytearray(b"line one\nline two\n"))
        self.assertEqual(port.readline(), b"line one\n")
        self.assertEqual(port.readline(), b"line two\n")

    def test_a_large_block_comes_back_whole_and_in_order(self) -> None:
        port = self.open()
        block = bytes(i % 251 for i in range(20000))
        port.write(block)
        self.assertEqual(self.read_exactly(port, len(block)), block)

    def test_a_read_with_nothing_to_read_ends_after_its_timeout(self) -> None:
        port = self.open(read_timeout=0.2)
        started = time.monotonic()
        self.assertEqual(port.read(10), b"")
        self.assertGreaterEqual(time.monotonic() - started, 0.15)
        self.assertEqual(port.in_waiting, 0)
        port.write(b"abc")
        deadline = time.monotonic() + 10
        while port.in_waiting < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(port.read(), b"abc")

    def test_closing_from_another_thread_ends_a_blocked_read(self) -> None:
        port = qorvi_netpod.open_serial(self.emulator.address, read_timeout=None)
        closer = threading.Timer(0.3, port.close)
        closer.start()
        self.addCleanup(closer.join)
        started = time.monotonic()
        self.assertEqual(port.read(10), b"")
        self.assertLess(time.monotonic() - started, 10)
        closer.join()
        self.assertTrue(port.closed)
        with self.assertRaises(ValueError):
            port.write(b"x")
        with self.assertRaises(ValueError):
            port.read(1)

class SerialWithoutModule(unittest.TestCase):
    def test_absent_module(self) -> None:
        emulator = start_emulator(self)
        with self.assertRaises(NotFoundError) as raised:
            qorvi_netpod.open_serial(unused_loopback_address(emulator))
        self.assertEqual(raised.exception.function, "Qorvi_NETPOD_OpenConnection_RS232")


if __name__ == "__main__":
    unittest.main()
