"""Python access to the Qorvi-NETPOD Ethernet I/O modules, over libqorvi-netpod.

The package loads ``libqorvi-netpod.so.2`` through ``ctypes`` and needs nothing but
the standard library::

    import qorvi_netpod

    for found in qorvi_netpod.scan():
        print(found.ip, found.name)

    with qorvi_netpod.connect("192.168.0.12", timeout=5) as module:
        print(module.read("type", "voltage", "inputs"))
        module.write(outputs={0, 9}, threshold=1.5, name="line 3")
        for values in module.poll("inputs", "input_voltages", period_ms=10):
            ...

Threads: the library calls back on a thread of its own. The package copies what it
receives there at once and hands it to the waiting Python thread, so no code of the
program runs on the library's thread. Modules, polls and serial ports may be closed
from any thread; whatever is still open is closed when the interpreter exits.
"""

from __future__ import annotations

from ._log import log_file_path
from ._native import LIBRARY_ENV, Library, load_library
from .errors import (
    ConnectionClosedError,
    IncompatibleModuleError,
    LibraryNotFoundError,
    NetpodError,
    NetpodTimeoutError,
    NotFoundError,
    RefusedArgumentError,
)
from .module import Module, connect
from .poll import BackgroundPoll, Poll
from .network import ModuleRecord, change_ip, scan
from .registers import POLLABLE, READABLE, WRITABLE, Values
from .serial_port import SerialPort, open_serial

__version__ = "2.0.0"

__all__ = [
    "connect", "open_serial", "scan", "change_ip",
    "version", "last_error", "log_path", "library_path", "load_library",
    "Module", "Poll", "BackgroundPoll", "SerialPort", "Values", "ModuleRecord", "Library",
    "READABLE", "POLLABLE", "WRITABLE", "LIBRARY_ENV",
    "NetpodError", "LibraryNotFoundError", "NotFoundError", "IncompatibleModuleError",
    "RefusedArgumentError", "NetpodTimeoutError", "ConnectionClosedError",
]


def version() -> str:
    """The library's version text, such as ``Qorvi-NETPOD_DLLInterface_v2.00_021111``."""
    library = load_library()
    return library.text(library.Qorvi_NETPOD_VersionDLL, 256)


def last_error() -> str:
    """The library's last-error text (process-wide): ``"No Error"`` until a failure,
    then ``"description<TAB>(function)"`` of the latest one."""
    return load_library().last_error()


def log_path() -> str:
    """The error log file the library appends to, beside the library file."""
    return log_file_path()


def library_path() -> str:
    """The library file in use."""
    return load_library().file()
