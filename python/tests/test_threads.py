"""Threads: nothing left behind after many connections, closes racing with users of
the connection, and an interpreter that exits with connections still open."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest

from support import PYTHON_DIR, EmulatedModuleCase, thread_count

import qorvi_netpod
from qorvi_netpod import ConnectionClosedError, NetpodError, _connection


def settle(predicate, seconds: float = 10.0) -> bool:
    """Waits until `predicate()` holds (threads end a moment after their owner lets go)."""
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)
    return True


class NothingLeftBehind(EmulatedModuleCase):
    def test_many_connect_and_close_cycles_leave_no_thread_and_no_routing_entry(self) -> None:
        def cycle(k: int) -> None:
            with qorvi_netpod.connect(self.emulator.address) as module:
                module.read("type")
                if k % 3 == 0:
                    with module.poll("inputs", period_ms=5) as poll:
                        next(poll)
                if k % 5 == 0:
                    module.poll_in_background(lambda values: None, "inputs", period_ms=5)
            with qorvi_netpod.open_serial(self.emulator.address) as port:
                port.write(b"x")

        cycle(0)  # the library's process-wide threads, if it keeps any, start here
        python_threads = threading.active_count()
        self.assertTrue(settle(lambda: thread_count() <= python_threads + 2))
        baseline = thread_count()
        for k in range(1, 41):
            cycle(k)
        self.assertTrue(settle(lambda: threading.active_count() == python_threads),
                        f"{threading.active_count()} Python threads, {python_threads} before")
        self.assertTrue(settle(lambda: thread_count() <= baseline),
                        f"{thread_count()} threads in the process, {baseline} before")
        self.assertEqual(_connection._connections, {})
        self.assertEqual(_connection._pending, {})
        self.assertEqual(len(_connection._open_connections), 0)


class CallbacksBeforeRegistration(unittest.TestCase):
    def test_what_arrives_before_the_open_returns_is_kept_in_order(self) -> None:
        # The library may call back between the return of an open and the moment the
        # package has filed the new handle: nothing of that may be lost or reordered.
        handle = 0x7E57  # never a real handle: no connection of this process uses it
        connection = _connection.Connection("127.0.0.2", _connection.MAIN_PORT)
        box = connection.subscribe()
        records = [_connection.Arrival(qorvi_netpod._native.RegisterValues(), float(k)) for k in range(3)]
        _connection._route(handle, "record", records[0])
        _connection._route(handle, "event", 1)
        _connection._route(handle, "record", records[1])
        try:
            connection._register(handle)
            _connection._route(handle, "record", records[2])
            self.assertEqual([box.get(time.monotonic() + 1) for _ in range(3)], records)
            self.assertTrue(connection.connected)
            _connection._route(handle, "event", 0)
            self.assertFalse(connection.connected)
            self.assertIsInstance(box.get(time.monotonic() + 1), _connection.Ended)
        finally:
            with _connection._route_lock:
                _connection._connections.pop(handle, None)
                _connection._pending.pop(handle, None)


class ClosingWhileOthersUseIt(EmulatedModuleCase):
    def test_concurrent_closes(self) -> None:
        module = qorvi_netpod.connect(self.emulator.address)
        start = threading.Barrier(8)
        errors: list[BaseException] = []

        def close() -> None:
            try:
                start.wait()
                module.close()
            except BaseException as error:  # noqa: BLE001
                errors.append(error)

        threads = [threading.Thread(target=close) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(20)
        self.assertEqual(errors, [])
        self.assertTrue(module.closed)

    def test_close_while_other_threads_read_write_and_poll(self) -> None:
        module = qorvi_netpod.connect(self.emulator.address)
        outcomes: list[str] = []
        lock = threading.Lock()

        def keep_using(action) -> None:
            try:
                while True:
                    action()
            except ConnectionClosedError:
                result = "closed"
            except NetpodError as error:
                result = f"other NetpodError: {error}"
            except BaseException as error:  # noqa: BLE001
                result = f"{type(error).__name__}: {error}"
            with lock:
                outcomes.append(result)

        def poll() -> None:
            for _ in module.poll("inputs", period_ms=2):
                pass
            raise ConnectionClosedError("the poll ended")

        actions = [lambda: module.read("type", "inputs"), lambda: module.write(outputs={1}),
                   lambda: module.i2c(b"\x91\x01\x00"), poll]
        threads = [threading.Thread(target=keep_using, args=(a,)) for a in actions]
        for t in threads:
            t.start()
        time.sleep(0.5)
        module.close()
        for t in threads:
            t.join(20)
        self.assertFalse(any(t.is_alive() for t in threads))
        self.assertEqual(outcomes, ["closed"] * len(actions))


EXIT_SCRIPT = textwrap.dedent("""
    import atexit, sys, threading, time
    sys.path.insert(0, {python_dir!r})

    def report():
        # Registered before the package's own handler, so it runs after it.
        left = len(qorvi_netpod._connection._open_connections)
        print("open at exit:", left, flush=True)

    atexit.register(report)
    import qorvi_netpod

    module = qorvi_netpod.connect({address!r})
    serial = qorvi_netpod.open_serial({address!r})
    other = qorvi_netpod.connect({address!r})
    module.poll_in_background(lambda values: None, "inputs", period_ms=1)

    def busy():
        try:
            while True:
                other.read("type", "inputs")
        except qorvi_netpod.ConnectionClosedError:
            pass  # the exit closed the connection under it

    threading.Thread(target=busy, daemon=True).start()
    time.sleep(0.5)
    print("leaving", flush=True)
    {ending}
""")


class InterpreterExit(EmulatedModuleCase):
    def run_script(self, ending: str) -> subprocess.CompletedProcess[str]:
        script = EXIT_SCRIPT.format(python_dir=str(PYTHON_DIR), address=self.emulator.address, ending=ending)
        return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                              env=dict(os.environ))

    def test_exit_with_open_connections_and_a_running_poll(self) -> None:
        for ending in ("pass", "sys.exit(3)", "raise SystemExit(4)"):
            with self.subTest(ending=ending):
                done = self.run_script(ending)
                expected = {"pass": 0, "sys.exit(3)": 3, "raise SystemExit(4)": 4}[ending]
                self.assertEqual(done.returncode, expected, done.stderr)
                self.assertIn("leaving", done.stdout)
                # Closed by the package while the interpreter was still whole.
                self.assertIn("open at exit: 0", done.stdout)
                self.assertNotIn("Fatal", done.stderr)
                self.assertNotIn("Traceback", done.stderr)


if __name__ == "__main__":
    unittest.main()
