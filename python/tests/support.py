"""What the Python suites share: the package from the source tree, emulated modules on
loopback addresses of their own, and the private-namespace check."""

from __future__ import annotations

import os
import socket
import sys
import unittest
from pathlib import Path
from typing import Optional, Sequence

PYTHON_DIR = Path(__file__).resolve().parent.parent
REPO = PYTHON_DIR.parent
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

import qorvi_netpod  # noqa: E402
from qorvi_netpod.emulator import Emulator, find_emulator  # noqa: E402


def include_dir() -> Path:
    return Path(os.environ.get("NETPOD_INCLUDE_DIR", REPO / "include"))


def start_emulator(test: unittest.TestCase, options: Sequence[str] = (), modules: int = 1) -> Emulator:
    """An emulator on a free 127.x.y.z address, ended by its process id when `test` ends."""
    if find_emulator() is None:
        test.skipTest("netpod-emulator not found (build it, or set QORVI_NETPOD_EMULATOR)")
    emulator = Emulator(options, modules=modules).start()
    test.addCleanup(emulator.stop)
    return emulator


class EmulatedModuleCase(unittest.TestCase):
    """One emulated module for the whole class, started with `OPTIONS`."""

    OPTIONS: Sequence[str] = ()
    emulator: Emulator

    @classmethod
    def setUpClass(cls) -> None:
        if find_emulator() is None:
            raise unittest.SkipTest("netpod-emulator not found (build it, or set QORVI_NETPOD_EMULATOR)")
        cls.emulator = Emulator(cls.OPTIONS).start()

    @classmethod
    def tearDownClass(cls) -> None:
        cls.emulator.stop()

    def connect(self, **options: object) -> qorvi_netpod.Module:
        module = qorvi_netpod.connect(self.emulator.address, **options)  # type: ignore[arg-type]
        self.addCleanup(module.close)
        return module


def unused_loopback_address(emulator: Emulator) -> str:
    """A loopback address beside the emulator's, where nothing listens."""
    a, b, c, d = (int(p) for p in emulator.address.split("."))
    return f"{a}.{b}.{c}.{d + emulator.modules if d + emulator.modules <= 254 else 1}"


def why_not_in_private_netns() -> Optional[str]:
    """None inside a private namespace that holds nothing but loopback (made by
    tests/run_in_netns.sh); otherwise why the broadcasting tests must not run."""
    why = os.environ.get("NETPOD_NETNS_UNAVAILABLE")
    if why:
        return why
    if os.environ.get("NETPOD_IN_NETNS") != "1":
        return "not started by tests/run_in_netns.sh"
    others = [name for _, name in socket.if_nameindex() if name != "lo"]
    if others:
        return "the namespace has an interface other than loopback: " + ", ".join(others)
    return None


def tool_environment() -> dict[str, str]:
    """The environment for build tools (compiler, cmake, pip): without the sanitizer
    runtime that a sanitizer build preloads for the library, which is not theirs."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def thread_count() -> int:
    """Threads of this process, the library's own included."""
    return len(os.listdir("/proc/self/task"))
