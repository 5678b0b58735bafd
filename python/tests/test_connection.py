"""Connecting and closing: absent, incompatible and refusing modules, a closed module,
and arguments refused before the library is called."""

from __future__ import annotations

import ipaddress
import threading
import time
import unittest

from support import EmulatedModuleCase, start_emulator, unused_loopback_address

import qorvi_netpod
from qorvi_netpod import (
    ConnectionClosedError,
    IncompatibleModuleError,
    NetpodTimeoutError,
    NotFoundError,
)


class Connecting(EmulatedModuleCase):
    def test_connect_waits_until_connected_and_close_ends_it(self) -> None:
        module = qorvi_netpod.connect(self.emulator.address, timeout=5)
        try:
            self.assertTrue(module.connected)
            self.assertFalse(module.closed)
            self.assertEqual(module.address, self.emulator.address)
        finally:
            module.close()
        self.assertFalse(module.connected)
        self.assertTrue(module.closed)
        module.close()  # a second close does nothing

    def test_addresses_are_taken_in_every_usual_form(self) -> None:
        text = self.emulator.address
        for address in (text, ipaddress.IPv4Address(text), tuple(int(p) for p in text.split("."))):
            with self.subTest(address=address), qorvi_netpod.connect(address) as module:
                self.assertEqual(module.read("ip").ip, text)

    def test_two_connections_to_one_module_are_independent(self) -> None:
        with qorvi_netpod.connect(self.emulator.address) as first, \
                qorvi_netpod.connect(self.emulator.address) as second:
            self.assertGreaterEqual(first.read("tcp_connections").tcp_connections, 2)
            first.close()
            self.assertEqual(second.read("type").type, (8, 2))


class ModulesThatCannotBeUsed(unittest.TestCase):
    def test_absent_module_raises_not_found_with_the_library_reason(self) -> None:
        emulator = start_emulator(self)
        started = time.monotonic()
        with self.assertRaises(NotFoundError) as raised:
            qorvi_netpod.connect(unused_loopback_address(emulator))
        error = raised.exception
        self.assertEqual(error.text, "Initial Test failed\t(Qorvi_NETPOD_OpenConnection_MAINPORT)")
        self.assertEqual(error.function, "Qorvi_NETPOD_OpenConnection_MAINPORT")
        self.assertEqual(error.reason, "Address IP not found on the network\t(MakeInitialTYPETest)")
        self.assertIn("Address IP not found on the network", str(error))
        self.assertEqual(qorvi_netpod.last_error(), error.text)
        self.assertLess(time.monotonic() - started, 10)

    def test_incompatible_module_raises_its_own_error(self) -> None:
        emulator = start_emulator(self, ["--type", "8.1"])
        with self.assertRaises(IncompatibleModuleError) as raised:
            qorvi_netpod.connect(emulator.address)
        self.assertEqual(raised.exception.reason, "This module is not compatible with this DLL\t(MakeInitialTYPETest)")
        self.assertNotIsInstance(raised.exception, NotFoundError)

    def test_refused_tcp_connection_raises_connection_closed(self) -> None:
        emulator = start_emulator(self, ["--refuse-connections"])
        with self.assertRaises(ConnectionClosedError) as raised:
            qorvi_netpod.connect(emulator.address, timeout=10)
        self.assertIn(emulator.address, str(raised.exception))

    def test_connection_dropped_by_the_module_ends_waits_with_connection_closed(self) -> None:
        emulator = start_emulator(self, ["--accept-then-close"])
        try:
            module = qorvi_netpod.connect(emulator.address)
        except ConnectionClosedError:
            return  # the drop came before the connection was reported: also right
        with module:
            with self.assertRaises(ConnectionClosedError):
                module.read("type", timeout=10)
            self.assertFalse(module.connected)
            self.assertFalse(module.closed)


class ClosedModule(unittest.TestCase):
    def test_every_operation_on_a_closed_module_raises_at_once(self) -> None:
        emulator = start_emulator(self)
        module = qorvi_netpod.connect(emulator.address)
        module.close()
        before = qorvi_netpod.last_error()
        operations = {
            "read": lambda: module.read("type"),
            "read_all": module.read_all,
            "write": lambda: module.write(outputs={1}),
            "reset_warnings": module.reset_warnings,
            "i2c": lambda: module.i2c(b"\x91\x01\x00"),
            "i2c_scan": module.i2c_scan,
            "poll": lambda: module.poll("inputs"),
        }
        for name, operation in operations.items():
            with self.subTest(operation=name):
                started = time.monotonic()
                with self.assertRaises(ConnectionClosedError):
                    operation()
                self.assertLess(time.monotonic() - started, 1.0)
        # Nothing reached the library with the closed handle.
        self.assertEqual(qorvi_netpod.last_error(), before)

    def test_close_from_another_thread_ends_a_waiting_read(self) -> None:
        emulator = start_emulator(self, ["--tcp-drop"])  # the module never answers
        module = qorvi_netpod.connect(emulator.address)
        closer = threading.Timer(0.3, module.close)
        closer.start()
        self.addCleanup(closer.join)
        started = time.monotonic()
        with self.assertRaises(ConnectionClosedError):
            module.read("type", timeout=20)
        self.assertLess(time.monotonic() - started, 10)

    def test_unanswered_read_times_out(self) -> None:
        emulator = start_emulator(self, ["--tcp-drop"])
        with qorvi_netpod.connect(emulator.address) as module:
            started = time.monotonic()
            with self.assertRaises(NetpodTimeoutError) as raised:
                module.read("type", timeout=0.5)
            self.assertIsInstance(raised.exception, TimeoutError)
            self.assertLess(time.monotonic() - started, 5)


class ArgumentsRefusedBeforeTheLibrary(EmulatedModuleCase):
    def assert_refused_at_once(self, kind: type, call: object) -> None:
        before = qorvi_netpod.last_error()
        started = time.monotonic()
        with self.assertRaises(kind):
            call()  # type: ignore[operator]
        self.assertLess(time.monotonic() - started, 1.0)  # no 2 s initial test, no exchange
        self.assertEqual(qorvi_netpod.last_error(), before)

    def test_bad_addresses(self) -> None:
        for address in ("10.0.0.256", "192.168.0", "not an address", (1, 2, 3), (1, 2, 3, 300)):
            with self.subTest(address=address):
                self.assert_refused_at_once(ValueError, lambda: qorvi_netpod.connect(address))
        for address in (12345, None, b"127.0.0.1", ("1", "2", "3", "4"), (1, 2, 3, True)):
            with self.subTest(address=address):
                self.assert_refused_at_once(TypeError, lambda: qorvi_netpod.connect(address))
        self.assert_refused_at_once(ValueError, lambda: qorvi_netpod.connect(self.emulator.address, timeout=-1))

    def test_bad_register_names(self) -> None:
        module = self.connect()
        for names, kind in (((), ValueError), (("bogus",), ValueError), (("input_voltage.16",), ValueError),
                            (("input_voltage.x",), ValueError), ((5,), TypeError), (("type", None), TypeError)):
            with self.subTest(names=names):
                self.assert_refused_at_once(kind, lambda: module.read(*names))

    def test_bad_values_to_write_change_nothing(self) -> None:
        module = self.connect()
        module.write(outputs={3})
        cases = [
            (ValueError, {"outputs": {16}}), (ValueError, {"outputs": {-1}}), (TypeError, {"outputs": 3}),
            (TypeError, {"outputs": [True]}), (TypeError, {"outputs": "0,9"}),
            (ValueError, {"threshold": 12.5}), (ValueError, {"threshold": float("nan")}),
            (TypeError, {"threshold": "1.5"}), (ValueError, {"tcp_timeout": 256}), (TypeError, {"tcp_timeout": True}),
            (ValueError, {"rs232_config": 8}), (ValueError, {"rs232_config": 136}), (ValueError, {"i2c_speed": 100}),
            (ValueError, {"name": "x" * 17}), (ValueError, {"name": "price in \u20ac"}), (TypeError, {"name": 7}),
            (ValueError, {"ip": "1.2.3"}), (ValueError, {"mask": (255, 255, 255, 256)}),
            (ValueError, {"com_options": {32}}), (TypeError, {"bogus": 1}), (ValueError, {}),
            # One bad value refuses the whole write: the good one is not sent either.
            (ValueError, {"outputs": {1}, "threshold": 99.0}),
        ]
        for kind, values in cases:
            with self.subTest(values=values):
                self.assert_refused_at_once(kind, lambda: module.write(**values))
        self.assertEqual(module.read("outputs").outputs, {3})

    def test_bad_poll_and_i2c_arguments(self) -> None:
        module = self.connect()
        for call, kind in (
            (lambda: module.poll("inputs", period_ms=0), ValueError),
            (lambda: module.poll("inputs", period_ms=1.5), TypeError),
            (lambda: module.poll("type"), ValueError),
            (lambda: module.poll(), ValueError),
            (lambda: module.i2c(b"x" * 181), ValueError),
            (lambda: module.i2c("text"), TypeError),
            (lambda: module.i2c(b"\x91", ask_id=65536), ValueError),
            (lambda: module.i2c(b"\x91", ask_id=-1), ValueError),
            (lambda: module.read("type", timeout=-1), ValueError),
            (lambda: module.poll_in_background("not callable", "inputs"), TypeError),
        ):
            with self.subTest(call=call):
                self.assert_refused_at_once(kind, call)
        # A refused poll leaves the connection free for the next one.
        with module.poll("inputs", period_ms=20) as poll:
            self.assertIsNotNone(next(poll).inputs)


if __name__ == "__main__":
    unittest.main()
