"""Reading every register, writing and reading back, and the commands, against an
emulated module whose inputs and voltages stand still (--static)."""

from __future__ import annotations

import time
import unittest

from support import EmulatedModuleCase, start_emulator

import qorvi_netpod
from qorvi_netpod import ConnectionClosedError, RefusedArgumentError, Values


class ReadingEveryRegister(EmulatedModuleCase):
    OPTIONS = ["--static", "--name", "bench 7", "--mac", "02:11:22:33:44:55", "--version", "0.2.0.9"]

    def check_emulated_values(self, values: Values) -> None:
        self.assertEqual(values.type, (8, 2))
        self.assertEqual(values.version, (2, 9, 0, 0))
        self.assertAlmostEqual(values.voltage, 24.0, delta=0.01)
        self.assertEqual(values.mac, "02:11:22:33:44:55")
        self.assertEqual(values.ip, self.emulator.address)
        self.assertEqual(values.name, "bench 7")
        self.assertGreaterEqual(values.tcp_connections, 1)
        self.assertIsInstance(values.power_ups, int)
        self.assertIsInstance(values.time_in_service, int)
        self.assertIsInstance(values.warnings, frozenset)
        self.assertEqual(set(values.input_voltages), set(range(16)))
        for k, volts in values.input_voltages.items():
            self.assertAlmostEqual(volts, 24.0 if k in values.inputs else 0.0, delta=0.01, msg=f"input {k}")

    def test_read_all_decodes_every_register(self) -> None:
        module = self.connect()
        values = module.read_all()
        self.assertEqual(set(values.as_dict()), set(qorvi_netpod.READABLE))
        self.check_emulated_values(values)

    def test_reading_every_name_at_once_gives_the_same_registers(self) -> None:
        module = self.connect()
        values = module.read(*qorvi_netpod.READABLE)
        self.assertEqual(set(values.as_dict()), set(qorvi_netpod.READABLE))
        self.check_emulated_values(values)

    def test_a_read_returns_only_what_was_asked(self) -> None:
        module = self.connect()
        for name in qorvi_netpod.READABLE:
            with self.subTest(register=name):
                self.assertEqual(list(module.read(name).as_dict()), [name])
        values = module.read("input_voltage.3", "input-voltage.12", "OUTPUTS", "Module-Name")
        self.assertEqual(set(values.input_voltages), {3, 12})
        self.assertEqual(set(values.as_dict()), {"input_voltages", "outputs", "name"})

class WritingAndReadingBack(EmulatedModuleCase):
    OPTIONS = ["--static"]

    def test_every_writable_register_keeps_what_is_written(self) -> None:
        module = self.connect()
        written = {
            "outputs": frozenset({0, 9}), "com_options": frozenset({0, 5, 31}), "tcp_timeout": 77,
            "name": "line 3", "rs232_config": 129, "i2c_speed": 99, "threshold": 1.5,
            "mask": "255.255.0.0", "ip": "127.9.8.7",
        }
        module.write(**written)
        back = module.read(*written)
        self.assertEqual(back.as_dict(), written)

    def test_outputs_drive_the_emulated_inputs_and_voltages(self) -> None:
        module = self.connect()
        module.write(outputs={2, 14})
        values = module.read("inputs", "input_voltages")
        self.assertEqual(values.inputs, {2, 14})
        self.assertAlmostEqual(values.input_voltages[2], 24.0, delta=0.01)
        self.assertAlmostEqual(values.input_voltages[3], 0.0, delta=0.01)
        module.write(outputs=set())
        self.assertEqual(module.read("outputs").outputs, frozenset())

    def test_threshold_and_name_edges(self) -> None:
        module = self.connect()
        for threshold in (-12.0, 12.0, -0.5):
            module.write(threshold=threshold)
            self.assertEqual(module.read("threshold").threshold, threshold)
        module.write(name="sixteen chars ok")
        self.assertEqual(module.read("name").name, "sixteen chars ok")
        module.write(name=b"raw\x01name")
        self.assertEqual(module.read("name").name, "raw\x01name")

    def test_saved_parameters_come_back_after_a_restore(self) -> None:
        module = self.connect()
        module.write(outputs={4}, name="saved")
        module.save_user_parameters()
        module.write(outputs={5}, name="changed")
        module.restore_user_parameters()
        self.assertEqual(module.read("outputs", "name").as_dict(), {"outputs": {4}, "name": "saved"})

    def test_reset_warnings_is_acknowledged(self) -> None:
        module = self.connect()
        module.reset_warnings()
        self.assertEqual(module.read("warnings").warnings, frozenset())


class Commands(unittest.TestCase):
    def test_reset_cpu_ends_the_connection_and_reloads_the_user_parameters(self) -> None:
        emulator = start_emulator(self, ["--static"])
        module = qorvi_netpod.connect(emulator.address)
        self.addCleanup(module.close)
        module.write(outputs={1})
        module.save_user_parameters()
        module.write(outputs={2})
        module.reset_cpu()
        deadline = time.monotonic() + 10
        while module.connected and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertFalse(module.connected)
        with self.assertRaises(ConnectionClosedError):
            module.read("type")
        with qorvi_netpod.connect(emulator.address) as again:
            self.assertEqual(again.read("outputs").outputs, {1})

    def test_registers_the_first_module_type_lacks_before_firmware_2_are_refused(self) -> None:
        emulator = start_emulator(self, ["--type", "8.0", "--version", "0.1.0.5"])
        with qorvi_netpod.connect(emulator.address) as module:
            with self.assertRaises(RefusedArgumentError) as raised:
                module.read("type", "power_ups")
            self.assertEqual(raised.exception.function, "Qorvi_NETPOD_Read_NBPOWERUP")
            self.assertIn("firmware version 2.0", raised.exception.text)
            # The TYPE read marked before the refusal does not ride along with the next one.
            box = module._connection.subscribe()
            self.addCleanup(module._connection.unsubscribe, box)
            module.read("voltage")
            answer = box.get(time.monotonic() + 5).record
            self.assertTrue(answer.VoltageValid)
            self.assertFalse(answer.TypeValid)
            # The whole read list asks for it anyway, as the library does.
            self.assertEqual(module.read_all().type, (8, 0))


if __name__ == "__main__":
    unittest.main()
