"""Runs ``netpod-emulator`` as a child process, for tries, examples and tests.

The emulator plays one or more modules on loopback addresses. :class:`Emulator`
starts it on a free ``127.x.y.z`` address of its own (unless told which), waits for its
``ready`` line and ends it by its process id::

    with Emulator() as emulated:
        with qorvi_netpod.connect(emulated.address) as module:
            print(module.read("type"))
"""

from __future__ import annotations

import os
import random
import selectors
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Optional, Sequence

__all__ = ["Emulator", "EmulatorError", "find_emulator", "EMULATOR_ENV"]

EMULATOR_ENV = "QORVI_NETPOD_EMULATOR"
_PROGRAM = "netpod-emulator"
_CANNOT_BIND = 1  # the emulator's exit status when an address cannot be bound


class EmulatorError(RuntimeError):
    """The emulator could not be found or started."""


def find_emulator(path: Optional[str] = None) -> Optional[str]:
    """The emulator program: `path`, ``$QORVI_NETPOD_EMULATOR``, the repository's build
    tree, then the search path. None when none is found."""
    if path:
        return path
    env = os.environ.get(EMULATOR_ENV)
    if env:
        return env
    root = Path(__file__).resolve().parent.parent.parent
    built = root / "build" / "emulator" / _PROGRAM
    if (root / "include" / "qorvi_netpod.h").is_file() and built.is_file():
        return str(built)
    return shutil.which(_PROGRAM)


class Emulator:
    """One ``netpod-emulator`` process.

    Args:
        options: further command-line options, such as ``["--type", "8.1"]`` or
            ``["--refuse-connections"]`` (``netpod-emulator --help`` lists them).
        modules: how many modules, on consecutive addresses.
        address: the first module's address; a free random ``127.x.y.z`` by default.
        executable: the program; found by :func:`find_emulator` by default.
        ready_timeout: seconds to wait for the ``ready`` line.
    """

    def __init__(self, options: Sequence[str] = (), *, modules: int = 1, address: Optional[str] = None,
                 executable: Optional[str] = None, ready_timeout: float = 15.0) -> None:
        self.options = list(options)
        self.modules = modules
        self.requested_address = address
        self.executable = find_emulator(executable)
        self.ready_timeout = ready_timeout
        self.addresses: list[str] = []
        self.ptys: list[str] = []
        self._process: Optional[subprocess.Popen[bytes]] = None
        self._stderr = None

    @property
    def address(self) -> str:
        """The first module's address."""
        if not self.addresses:
            raise EmulatorError("the emulator is not running")
        return self.addresses[0]

    @property
    def pid(self) -> Optional[int]:
        return self._process.pid if self._process is not None else None

    def start(self) -> "Emulator":
        if self.executable is None:
            raise EmulatorError(f"{_PROGRAM} not found: build it (make) or set {EMULATOR_ENV}")
        attempts = 1 if self.requested_address else 64
        why = ""
        for _ in range(attempts):
            address = self.requested_address or _random_loopback(self.modules)
            started, why = self._start_at(address)
            if started:
                return self
        raise EmulatorError(f"{_PROGRAM} did not start: {why}")

    def _start_at(self, address: str) -> tuple[bool, str]:
        command = [self.executable, "--address", address, "--modules", str(self.modules), *self.options]
        self._stderr = tempfile.TemporaryFile()
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=self._stderr)  # type: ignore[arg-type]
        self._process = process
        line = _read_line(process, self.ready_timeout)
        if line.startswith("ready"):
            fields = dict(part.split("=", 1) for part in line.split()[1:] if "=" in part)
            self.addresses = fields.get("address", "").split(",")
            self.ptys = fields["pty"].split(",") if "pty" in fields else []
            return True, ""
        self._end_process()
        status = process.returncode
        self._stderr.seek(0)
        error = self._stderr.read().decode(errors="replace").strip()
        self._stderr.close()
        if status == _CANNOT_BIND and not self.requested_address:
            return False, error  # the address is taken: try another
        raise EmulatorError(f"{_PROGRAM} exited with status {status}: {error or line or 'no ready line'}")

    def stop(self) -> None:
        """Ends the emulator (SIGTERM to its process id, then SIGKILL if it lingers)."""
        self._end_process()
        self.addresses = []
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def _end_process(self) -> None:
        process = self._process
        if process is None:
            return
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)  # our own child, by its id
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if process.stdout is not None:
            process.stdout.close()
        self._process = None
        self._last_status = process.returncode

    def __enter__(self) -> "Emulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def __del__(self) -> None:
        try:
            self.stop()
        except Exception:  # noqa: BLE001
            pass


def _random_loopback(modules: int) -> str:
    # 127.0.x.y is left alone: 127.0.0.1 and its neighbours are often in use.
    last_start = max(2, 254 - modules)
    return f"127.{random.randint(1, 254)}.{random.randint(0, 255)}.{random.randint(2, last_start)}"


def _read_line(process: subprocess.Popen[bytes], timeout: float) -> str:
    """The first line of the process's output, waiting at most `timeout` seconds."""
    assert process.stdout is not None
    deadline = time.monotonic() + timeout
    data = b""
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while b"\n" not in data:
            left = deadline - time.monotonic()
            if left <= 0 or not selector.select(left):
                break
            chunk = os.read(process.stdout.fileno(), 4096)
            if not chunk:
                break
            data += chunk
    return data.split(b"\n", 1)[0].decode(errors="replace").strip()
