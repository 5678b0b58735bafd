"""The repetitive ask from Python: the iterator, the callback form, stopping it from
the loop, from another thread and by closing the module."""

from __future__ import annotations

import gc
import threading
import time
import unittest

from support import EmulatedModuleCase, start_emulator

import qorvi_netpod
from qorvi_netpod import NetpodTimeoutError, Values
from qorvi_netpod._connection import in_library_callback


def no_answer_within(module: qorvi_netpod.Module, seconds: float) -> bool:
    """True when no answer at all reaches the connection for `seconds`, once the answer
    to a request sent just before the polling stopped has had time to come."""
    box = module._connection.subscribe()
    try:
        for _ in range(3):
            if box.get(time.monotonic() + 0.1) is None:
                break  # no straggler (or no more)
        return box.get(time.monotonic() + seconds) is None
    finally:
        module._connection.unsubscribe(box)


class PollingRate(EmulatedModuleCase):
    def test_a_10_ms_period_gives_about_100_answers_a_second(self) -> None:
        module = self.connect()
        module.write(outputs={0, 9})
        answers: list[Values] = []
        started = time.monotonic()
        for values in module.poll("inputs", "input_voltages", period_ms=10):
            answers.append(values)
            if time.monotonic() - started >= 2.0:
                break
        rate = len(answers) / (time.monotonic() - started)
        # Generous: the machine may be busy; ticks do not pile up, so never much above 100.
        self.assertGreater(rate, 25, f"{rate:.1f} answers a second")
        self.assertLess(rate, 130, f"{rate:.1f} answers a second")
        for values in answers:
            self.assertLessEqual({0, 9}, values.inputs)
            self.assertEqual(set(values.input_voltages), set(range(16)))
            self.assertAlmostEqual(values.input_voltages[9], 24.0, delta=0.5)
        times = [v.received for v in answers]
        self.assertEqual(times, sorted(times))


class StoppingThePoll(EmulatedModuleCase):
    def test_the_polling_stops_when_the_loop_ends(self) -> None:
        module = self.connect()
        for count, _ in enumerate(module.poll("voltage", period_ms=5)):
            if count == 5:
                break
        gc.collect()
        self.assertTrue(no_answer_within(module, 0.3))
        # The connection is free for a new poll and for reads.
        with module.poll("inputs", period_ms=5) as poll:
            self.assertIsNotNone(next(poll).inputs)
        self.assertEqual(module.read("type").type, (8, 2))

    def test_one_poll_at_a_time(self) -> None:
        module = self.connect()
        with module.poll("inputs", period_ms=20):
            with self.assertRaises(RuntimeError):
                module.poll("voltage")
        with module.poll("voltage", period_ms=20) as poll:
            self.assertIsNotNone(next(poll).voltage)

    def test_closing_the_poll_from_another_thread_ends_the_loop(self) -> None:
        module = self.connect()
        poll = module.poll("inputs", period_ms=10)
        threading.Timer(0.3, poll.close).start()
        started = time.monotonic()
        count = sum(1 for _ in poll)
        self.assertLess(time.monotonic() - started, 5)
        self.assertGreater(count, 0)
        self.assertFalse(module.closed)
        self.assertTrue(no_answer_within(module, 0.3))

    def test_closing_the_module_from_another_thread_ends_the_loop(self) -> None:
        module = self.connect()
        closer = threading.Timer(0.3, module.close)
        closer.start()
        self.addCleanup(closer.join)
        started = time.monotonic()
        count = 0
        for _ in module.poll("inputs", "input_voltages", period_ms=5):
            count += 1
        self.assertLess(time.monotonic() - started, 5)
        self.assertGreater(count, 0)
        self.assertTrue(module.closed)

    def test_reads_work_while_polling(self) -> None:
        module = self.connect()
        with module.poll("inputs", period_ms=5) as poll:
            for _ in range(20):
                self.assertEqual(module.read("name", "type").type, (8, 2))
                next(poll)

    def test_answers_not_taken_in_time_are_dropped_and_counted(self) -> None:
        module = self.connect()
        with module.poll("inputs", period_ms=1, max_queued=8) as poll:
            time.sleep(0.5)
            self.assertGreater(poll.dropped, 0)
            taken = 0
            while module._connection.ended() is None and taken < 8:
                next(poll)
                taken += 1
            self.assertEqual(taken, 8)

    def test_a_polled_i2c_transfer_comes_with_every_answer(self) -> None:
        module = self.connect()
        module.i2c(bytes([0x50 << 1, 0x20, 0xCA, 0xFE]))  # EEPROM bytes 0x20, 0x21
        read_two = bytes([(0x50 << 1) | 1, 2, 0x20])
        with module.poll("inputs", period_ms=10, i2c=read_two, i2c_ask_id=77) as poll:
            for _ in range(3):
                self.assertEqual(next(poll).i2c, b"\x00\xca\xfe")

    def test_a_silent_module_makes_the_iteration_time_out(self) -> None:
        emulator = start_emulator(self, ["--tcp-drop"])
        with qorvi_netpod.connect(emulator.address) as module:
            with module.poll("inputs", period_ms=10, timeout=0.5) as poll:
                with self.assertRaises(NetpodTimeoutError):
                    next(poll)


class PollingInTheBackground(EmulatedModuleCase):
    def test_the_callback_runs_on_a_thread_of_the_package(self) -> None:
        module = self.connect()
        seen: list[tuple[str, bool, Values]] = []

        def collect(values: Values) -> None:
            seen.append((threading.current_thread().name, in_library_callback(), values))

        with module.poll_in_background(collect, "inputs", period_ms=10) as background:
            deadline = time.monotonic() + 10
            while len(seen) < 20 and time.monotonic() < deadline:
                time.sleep(0.01)
        self.assertFalse(background.running)
        self.assertGreaterEqual(len(seen), 20)
        for name, in_library, values in seen:
            self.assertEqual(name, "qorvi-netpod-poll")
            self.assertFalse(in_library)
            self.assertIsNotNone(values.inputs)
        self.assertTrue(no_answer_within(module, 0.3))

    def test_an_exception_of_the_callback_stops_the_poll_and_comes_back_from_close(self) -> None:
        module = self.connect()

        def fail(values: Values) -> None:
            raise ArithmeticError("from the callback")

        background = module.poll_in_background(fail, "voltage", period_ms=10)
        background.join(10)
        self.assertFalse(background.running)
        with self.assertRaises(ArithmeticError):
            background.close()
        background.close()  # raised once only
        self.assertEqual(module.read("type").type, (8, 2))

    def test_closing_the_module_stops_the_background_poll(self) -> None:
        module = self.connect()
        background = module.poll_in_background(lambda values: None, "inputs", period_ms=5)
        time.sleep(0.2)
        module.close()
        self.assertFalse(background.running)
        background.close()

    def test_closing_the_module_from_its_own_callback_is_safe(self) -> None:
        module = self.connect()
        done = threading.Event()

        def close_at_once(values: Values) -> None:
            module.close()
            done.set()

        background = module.poll_in_background(close_at_once, "inputs", period_ms=10)
        self.assertTrue(done.wait(10))
        background.join(10)
        self.assertFalse(background.running)
        self.assertTrue(module.closed)

    def test_a_busy_main_thread_does_not_stop_the_answers(self) -> None:
        module = self.connect()
        seen: list[Values] = []
        with module.poll_in_background(seen.append, "inputs", period_ms=10):
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                sum(i * i for i in range(1000))  # holds the interpreter lock most of the time
        self.assertGreater(len(seen), 10)


if __name__ == "__main__":
    unittest.main()
