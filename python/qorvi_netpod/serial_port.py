"""The serial tunnel: a module's RS232 port (TCP 8000) as a file-like object."""

from __future__ import annotations

import ctypes
import io
import time
from typing import Any, Optional

from ._connection import SERIAL_PORT, Connection, deferred_off_library_thread
from .errors import NetpodError

__all__ = ["SerialPort", "open_serial"]


class SerialPort(io.RawIOBase):
    """The bytes to and from a module's RS232 port, as a binary file.

    ``read(n)`` waits up to ``timeout`` seconds for the first byte and returns at
    most `n` bytes (``b""`` when nothing came in time, or once the connection has
    ended and nothing is left); ``read()`` returns everything until nothing more
    comes within ``timeout``. ``write(data)`` sends at once. Closing is safe from any
    thread; reads blocked in another thread then return.
    """

    def __init__(self, connection: Connection, timeout: Optional[float]) -> None:
        super().__init__()
        self._connection = connection
        self.timeout = timeout
        """Seconds a read waits for its first byte; None waits without limit."""

    @property
    def address(self) -> str:
        """The module's address, as dotted text."""
        return self._connection.address

    @property
    def connected(self) -> bool:
        """True while the connection is up."""
        return self._connection.connected

    @property
    def in_waiting(self) -> int:
        """Bytes received and not read yet."""
        return self._connection.serial_waiting()

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        self._checkClosed()
        view = memoryview(buffer).cast("B")
        if len(view) == 0:
            return 0
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        self._connection.wait_serial(deadline)
        data = self._connection.take_serial(len(view))
        view[: len(data)] = data
        return len(data)

    def write(self, data: Any) -> int:
        self._checkClosed()
        if isinstance(data, str):
            raise TypeError("write() takes bytes, not str")
        raw = bytes(memoryview(data).cast("B"))
        if not raw:
            return 0
        buffer = (ctypes.c_uint8 * len(raw)).from_buffer_copy(raw)
        self._connection.call_checked("Qorvi_NETPOD_SendData_RS232", buffer, len(raw), error=NetpodError)
        return len(raw)

    def close(self) -> None:
        if deferred_off_library_thread(self.close):
            return
        if not self.closed:
            self._connection.close()
        super().close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("connected" if self.connected else "not connected")
        return f"<qorvi_netpod.SerialPort {self.address}:{SERIAL_PORT} {state}>"


def open_serial(address: Any, timeout: float = 5.0, read_timeout: Optional[float] = 1.0) -> SerialPort:
    """Opens the serial tunnel of a module and waits until it is connected::

        with qorvi_netpod.open_serial("192.168.0.12") as port:
            port.write(b"hello\\r\\n")
            print(port.read(100))

    `timeout` bounds the wait for the connection; `read_timeout` is the port's
    ``timeout`` for reads. Raises as :func:`qorvi_netpod.connect` does.
    """
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0:
        raise ValueError(f"timeout must be a number of seconds, 0 or more, got {timeout!r}")
    if read_timeout is not None and (isinstance(read_timeout, bool) or not isinstance(read_timeout, (int, float))
                                     or read_timeout < 0):
        raise ValueError(f"read_timeout must be a number of seconds, 0 or more, or None, got {read_timeout!r}")
    connection = Connection(address, SERIAL_PORT)
    connection.open(float(timeout))
    return SerialPort(connection, read_timeout)
