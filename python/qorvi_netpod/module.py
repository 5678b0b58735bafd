"""A connection to a module's main port: reads, writes, commands, I2C and polling."""

from __future__ import annotations

import itertools
import threading
import time
import weakref
from typing import Any, Callable, Optional

from . import _native
from ._connection import MAIN_PORT, Connection
from ._i2c import ask_id as checked_ask_id
from ._i2c import i2c_answer, i2c_buffer
from ._mailbox import Ended
from .errors import NetpodError, NetpodTimeoutError, RefusedArgumentError
from .poll import BackgroundPoll, Poll
from .registers import COMMANDS, READABLE, Selection, Values, prepare_writes, select

__all__ = ["Module", "connect"]

_UNANSWERED_SEND = "before receive data of the last call"
_SEND_RETRY_SECONDS = 0.005


class Module:
    """An open connection to one module's main port (TCP 8010).

    Made by :func:`connect`. Every method that talks to the module waits for its
    answer and raises on failure; all of them may be called from any thread, and
    :meth:`close` too, also while another thread waits or polls.
    """

    def __init__(self, connection: Connection, timeout: float) -> None:
        self._connection = connection
        self.timeout = timeout
        """Seconds that an exchange waits for its answer unless the call says otherwise."""
        self._exchange_lock = threading.Lock()
        self._poll_lock = threading.Lock()
        # Weak, so that a poll whose loop has ended stops at once (its finaliser closes it).
        self._poll: Optional[weakref.ref[Poll]] = None
        self._background: list[BackgroundPoll] = []
        self._ask_ids = itertools.count(1)

    # -- the connection --------------------------------------------------------------

    @property
    def address(self) -> str:
        """The module's address, as dotted text."""
        return self._connection.address

    @property
    def connected(self) -> bool:
        """True while the connection is up (False once closed or lost)."""
        return self._connection.connected

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has been called."""
        return self._connection.closed

    def close(self) -> None:
        """Closes the connection. Any thread waiting on it, or iterating a poll of it,
        stops; safe to call from any thread, and more than once."""
        self._connection.close()
        with self._poll_lock:
            background = list(self._background)
            self._background.clear()
            self._poll = None
        for worker in background:
            worker._join_unless_current()

    def __enter__(self) -> "Module":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        # A module dropped without close(): close it (off the library's thread, should
        # a collection run there). At exit the package's handler has closed it already.
        connection = getattr(self, "_connection", None)
        try:
            if connection is not None and not connection.closed:
                connection.close()
        except Exception:  # noqa: BLE001 - a finaliser has nobody to report to
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("connected" if self.connected else "not connected")
        return f"<qorvi_netpod.Module {self.address} {state}>"

    # -- exchanges ---------------------------------------------------------------------

    def _deadline(self, timeout: Optional[float]) -> float:
        seconds = self.timeout if timeout is None else timeout
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds < 0:
            raise ValueError(f"timeout must be a number of seconds, 0 or more, got {seconds!r}")
        return time.monotonic() + seconds

    def _send(self, deadline: float) -> None:
        """Starts one on-demand exchange, retrying while the one before is unanswered."""
        connection = self._connection
        while True:
            with connection.locked_calls() as call:
                if call("Qorvi_NETPOD_SendData_MAINPORT"):
                    return
                text = connection.library.last_error()
            if _UNANSWERED_SEND not in text:
                raise NetpodError(text, address=self.address)
            if time.monotonic() >= deadline:
                raise NetpodTimeoutError(text, address=self.address)
            connection.wait_ended(_SEND_RETRY_SECONDS)

    def _exchange(self, mark: Callable[[Callable[..., Any]], None],
                  complete: Callable[[_native.RegisterValues], bool],
                  timeout: Optional[float], what: str) -> tuple[_native.RegisterValues, float]:
        """Marks requests, sends them and waits for an answer that `complete` accepts.

        An answer may come in several parts, each handed over on its own, and answers
        of a running poll pass by too: every record from the send onwards is offered
        to `complete` until one is accepted.
        """
        deadline = self._deadline(timeout)
        if not self._exchange_lock.acquire(timeout=max(0.0, deadline - time.monotonic())):
            raise NetpodTimeoutError(f"{what}: another exchange of this connection did not end in time",
                                     address=self.address)
        try:
            box = self._connection.subscribe()
            try:
                with self._connection.locked_calls() as call:
                    mark(call)
                self._send(deadline)
                answered = False
                while True:
                    got = box.get(deadline)
                    if got is None:
                        detail = "the answer was incomplete" if answered else "no answer"
                        raise NetpodTimeoutError(f"{what}: {detail} within {deadline_text(timeout, self.timeout)}",
                                                 address=self.address)
                    if isinstance(got, Ended):
                        raise got.error(self.address)
                    answered = True
                    if complete(got.record):
                        return got.record, got.monotonic
            finally:
                self._connection.unsubscribe(box)
        finally:
            self._exchange_lock.release()

    def read(self, *registers: str, timeout: Optional[float] = None) -> Values:
        """Reads registers and returns their decoded values.

        Names as in :data:`qorvi_netpod.READABLE`, for example
        ``module.read("type", "voltage", "inputs")``; ``"input_voltage.3"`` reads one
        input voltage. Waits until the answer holds every register asked for.

        Raises:
            ValueError, TypeError: an unknown name (nothing is sent).
            RefusedArgumentError: the library refused a register (NBPOWERUP and
                TIMEINSERVICE need firmware 2.0 on the first module type).
            NetpodTimeoutError, ConnectionClosedError.
        """
        selection = select(registers, READABLE, "read")
        return self._read(selection, timeout, "read " + ", ".join(registers))

    def read_all(self, timeout: Optional[float] = None) -> Values:
        """Reads every register at once (the library's whole read list)."""
        selection = Selection(tuple(n for n in READABLE if n != "input_voltages"), tuple(range(16)))

        def mark(call: Callable[..., Any]) -> None:
            call("Qorvi_NETPOD_Read_AllRegister", error=RefusedArgumentError)

        record, received = self._exchange(mark, selection.complete_in, timeout, "read every register")
        return selection.decode(record, received)

    def _read(self, selection: Selection, timeout: Optional[float], what: str) -> Values:
        def mark(call: Callable[..., Any]) -> None:
            try:
                selection.mark(call, False, RefusedArgumentError)
            except NetpodError:
                # Reads marked before the refusal would go out with the next exchange.
                call("Qorvi_NETPOD_ResetAllRegisterRead")
                raise

        record, received = self._exchange(mark, selection.complete_in, timeout, what)
        return selection.decode(record, received)

    def write(self, *, timeout: Optional[float] = None, **values: Any) -> None:
        """Writes registers and waits until the module has acknowledged them.

        Keywords: ``outputs`` (the output numbers to switch on, e.g. ``{0, 9}``;
        the others go off), ``com_options`` (flag numbers 0-31), ``ip`` and ``mask``
        (dotted texts), ``tcp_timeout`` (0-255), ``name`` (at most 16 characters),
        ``rs232_config`` (0-7 or 128-135), ``i2c_speed`` (24 or 99) and ``threshold``
        (volts, -12.0 to 12.0). Every value is checked before anything is sent.
        """
        writes = prepare_writes(values)

        def mark(call: Callable[..., Any]) -> None:
            for w in writes:
                call(w.function, w.argument, error=RefusedArgumentError)

        def complete(record: _native.RegisterValues) -> bool:
            return all(getattr(record, w.written) for w in writes)

        self._exchange(mark, complete, timeout, "write " + ", ".join(values))

    def _command(self, name: str, timeout: Optional[float]) -> None:
        function, written = COMMANDS[name]

        def mark(call: Callable[..., Any]) -> None:
            call(function, error=RefusedArgumentError)

        self._exchange(mark, lambda r: bool(getattr(r, written)), timeout, name.replace("_", " "))

    def reset_warnings(self, timeout: Optional[float] = None) -> None:
        """Clears the module's 32 warning flags."""
        self._command("reset_warnings", timeout)

    def reset_cpu(self, timeout: Optional[float] = None) -> None:
        """Restarts the module. It drops its connections once it has acknowledged,
        so this connection ends too: connect again afterwards."""
        self._command("reset_cpu", timeout)

    def save_user_parameters(self, timeout: Optional[float] = None) -> None:
        """Saves the working configuration as the user parameters."""
        self._command("save_user_parameters", timeout)

    def restore_user_parameters(self, timeout: Optional[float] = None) -> None:
        """Loads the saved user parameters into the working configuration."""
        self._command("restore_user_parameters", timeout)

    def save_factory_parameters(self, timeout: Optional[float] = None) -> None:
        """Saves the working configuration as the factory parameters."""
        self._command("save_factory_parameters", timeout)

    def restore_factory_parameters(self, timeout: Optional[float] = None) -> None:
        """Loads the factory parameters into the working configuration."""
        self._command("restore_factory_parameters", timeout)

    # -- I2C -----------------------------------------------------------------------------

    def _next_ask_id(self) -> int:
        return next(self._ask_ids) % 65536

    def i2c(self, data: bytes, *, ask_id: Optional[int] = None, timeout: Optional[float] = None) -> bytes:
        """Runs one I2C transfer through the module and returns the answer's bytes.

        `data` is the request as the module takes it (at most 180 bytes); `ask_id`
        (0-65535) labels it, and the answer carrying the same label is returned.
        """
        buffer, length = i2c_buffer(data)
        ask = self._next_ask_id() if ask_id is None else checked_ask_id(ask_id)

        def mark(call: Callable[..., Any]) -> None:
            call("Qorvi_NETPOD_ReadWriteI2C", buffer, length, False, ask, error=RefusedArgumentError)

        def complete(record: _native.RegisterValues) -> bool:
            return bool(record.I2CAnswerValid) and record.I2CAnswerAskID == ask

        record, _ = self._exchange(mark, complete, timeout, f"I2C transfer {ask}")
        return i2c_answer(record)

    def i2c_scan(self, timeout: Optional[float] = None) -> list[int]:
        """Scans the module's I2C bus; returns the 7-bit addresses that answered."""
        def mark(call: Callable[..., Any]) -> None:
            call("Qorvi_NETPOD_ScanI2C", error=RefusedArgumentError)

        record, _ = self._exchange(mark, lambda r: bool(r.ScanI2CValid), timeout, "I2C scan")
        length = max(0, min(int(record.ScanI2CLength), len(record.ScanI2CAnswer)))
        return list(bytes(record.ScanI2CAnswer)[:length])

    # -- polling -------------------------------------------------------------------------

    def poll(self, *registers: str, period_ms: int = 100, i2c: Optional[bytes] = None,
             i2c_ask_id: int = 0, timeout: Optional[float] = None, max_queued: int = 1024) -> "Poll":
        """Has the library ask for `registers` every `period_ms` milliseconds (the
        repetitive ask) and returns an iterator over the answers::

            for values in module.poll("inputs", "input_voltages", period_ms=10):
                ...

        Registers that can be polled: ``voltage``, ``warnings``, ``inputs``,
        ``input_voltages`` and ``input_voltage.N``. `i2c` adds an I2C transfer to
        every cycle; its answer comes as ``values.i2c``. The polling stops when the
        loop ends (or the iterator is closed, or the module is closed); iteration
        raises NetpodTimeoutError after `timeout` seconds without an answer (the
        module's timeout plus one period by default). Answers that the program does not
        take in time are dropped beyond `max_queued` and counted in ``poll.dropped``.
        One poll at a time per connection.
        """
        return Poll(self, registers, period_ms, i2c, i2c_ask_id, timeout, max_queued)

    def poll_in_background(self, callback: Callable[[Values], Any], *registers: str, period_ms: int = 100,
                           **options: Any) -> "BackgroundPoll":
        """As :meth:`poll`, but calls ``callback(values)`` for every answer, on a
        thread of the package's own (never on the library's thread). Stop it with
        ``.close()`` (or by closing the module); an exception raised by the callback
        stops the polling and is raised again by ``.close()``."""
        if not callable(callback):
            raise TypeError("callback must be callable")
        poll = self.poll(*registers, period_ms=period_ms, **options)
        worker = BackgroundPoll(poll, callback)
        with self._poll_lock:
            self._background.append(worker)
        worker._start()
        return worker

    def _begin_poll(self, poll: "Poll") -> None:
        with self._poll_lock:
            current = self._poll() if self._poll is not None else None
            if current is not None and not current.closed:
                raise RuntimeError("a poll is already running on this connection; close it first")
            self._poll = weakref.ref(poll)
        del current  # outside the lock: the last reference may run a finaliser that takes it

    def _end_poll(self, poll: "Poll") -> None:
        with self._poll_lock:
            if self._poll is not None and self._poll() is poll:
                self._poll = None


def deadline_text(timeout: Optional[float], default: float) -> str:
    seconds = default if timeout is None else timeout
    return f"{seconds:g} s"


def connect(address: Any, timeout: float = 5.0) -> Module:
    """Opens a connection to a module's main port and waits until it is up::

        with qorvi_netpod.connect("192.168.0.12", timeout=5) as module:
            print(module.read("type", "voltage"))

    `address` is a dotted text, an ``ipaddress.IPv4Address`` or four integers.
    The library first asks the address over UDP whether a module of a type it serves
    is there (up to 2 s when nothing answers), then connects over TCP.

    Raises:
        TypeError, ValueError: a malformed address (nothing is sent).
        NotFoundError: nothing answered at the address.
        IncompatibleModuleError: something answered that this library does not serve.
        ConnectionClosedError: the TCP connection was refused or failed.
        NetpodTimeoutError: the connection was not up within `timeout` seconds.
    """
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or timeout < 0:
        raise ValueError(f"timeout must be a number of seconds, 0 or more, got {timeout!r}")
    connection = Connection(address, MAIN_PORT)
    connection.open(float(timeout))
    return Module(connection, float(timeout))
