"""A connection to a module's main port: reads, writes, commands, I2C and polling."""

from __future__ import annotations

import ctypes
import itertools
import threading
import time
import weakref
from typing import Any, Callable, Optional

from . import _native
from ._connection import MAIN_PORT, Connection, Ended, Mailbox, deferred_off_library_thread
from .errors import ConnectionClosedError, NetpodError, NetpodTimeoutError, RefusedArgumentError
from .registers import COMMANDS, POLLABLE, READABLE, Selection, Values, prepare_writes, select

__all__ = ["Module", "Poll", "BackgroundPoll", "connect"]

_UNANSWERED_SEND = "before receive data of the last call"
_SEND_RETRY_SECONDS = 0.005
_MAX_I2C_LENGTH = 180


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
        buffer, length = _i2c_buffer(data)
        ask = self._next_ask_id() if ask_id is None else _ask_id(ask_id)

        def mark(call: Callable[..., Any]) -> None:
            call("Qorvi_NETPOD_ReadWriteI2C", buffer, length, False, ask, error=RefusedArgumentError)

        def complete(record: _native.RegisterValues) -> bool:
            return bool(record.I2CAnswerValid) and record.I2CAnswerAskID == ask

        record, _ = self._exchange(mark, complete, timeout, f"I2C transfer {ask}")
        return _i2c_answer(record)

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


def _ask_id(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"ask_id must be an integer, not {type(value).__name__}")
    if not 0 <= value <= 65535:
        raise ValueError(f"ask_id must lie between 0 and 65535, got {value}")
    return value


def _i2c_buffer(data: Any) -> tuple[Any, int]:
    """The bytes of an I2C transfer for the library, and their count."""
    if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"I2C data must be bytes, not {type(data).__name__}")
    raw = bytes(data)
    if len(raw) > _MAX_I2C_LENGTH:
        raise ValueError(f"an I2C transfer holds at most {_MAX_I2C_LENGTH} bytes, got {len(raw)}")
    # An empty transfer still needs a buffer: the library refuses a null pointer.
    buffer = (ctypes.c_uint8 * max(1, len(raw)))()
    ctypes.memmove(buffer, raw, len(raw))
    return buffer, len(raw)


def _i2c_answer(record: _native.RegisterValues) -> bytes:
    length = max(0, min(int(record.I2CAnswerLength), len(record.I2CAnswer)))
    return bytes(record.I2CAnswer)[:length]


class Poll:
    """The repetitive ask of one connection, as an iterator of :class:`Values`.

    Made by :meth:`Module.poll`. Also a context manager; ``close()`` stops the polling
    (safe from any thread). ``dropped`` counts the answers lost because the program
    did not take them in time.
    """

    def __init__(self, module: Module, registers: tuple[str, ...], period_ms: int, i2c: Optional[bytes],
                 i2c_ask_id: int, timeout: Optional[float], max_queued: int) -> None:
        self._closed = True  # until the polling has really started
        self._lock = threading.Lock()
        self._module = module
        self._selection = select(registers, POLLABLE, "poll")
        if isinstance(period_ms, bool) or not isinstance(period_ms, int):
            raise TypeError(f"period_ms must be an integer, not {type(period_ms).__name__}")
        if not 1 <= period_ms <= 2**31 - 1:
            raise ValueError(f"period_ms must be 1 or more, got {period_ms}")
        if isinstance(max_queued, bool) or not isinstance(max_queued, int) or max_queued < 1:
            raise ValueError(f"max_queued must be a positive integer, got {max_queued!r}")
        self._i2c = _i2c_buffer(i2c) if i2c is not None else None
        self._i2c_ask_id = _ask_id(i2c_ask_id)
        seconds = module.timeout + period_ms / 1000 if timeout is None else timeout
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or seconds <= 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self._timeout = float(seconds)
        self.period_ms = period_ms

        connection = module._connection
        module._begin_poll(self)
        self._box: Mailbox = connection.subscribe(max_queued)
        try:
            with connection.locked_calls() as call:
                # Start from an empty list: the library keeps repetitive marks until a Reset.
                call("Qorvi_NETPOD_RepetitiveAskReset", error=NetpodError)
                try:
                    self._selection.mark(call, True, RefusedArgumentError)
                    if self._i2c is not None:
                        call("Qorvi_NETPOD_ReadWriteI2C", self._i2c[0], self._i2c[1], True, self._i2c_ask_id,
                             error=RefusedArgumentError)
                    call("Qorvi_NETPOD_RepetitiveAskSetTime", period_ms, error=RefusedArgumentError)
                    call("Qorvi_NETPOD_RepetitiveAskStart", error=NetpodError)
                except BaseException:
                    call("Qorvi_NETPOD_RepetitiveAskReset")
                    raise
        except BaseException:
            connection.unsubscribe(self._box)
            module._end_poll(self)
            raise
        self._closed = False

    @property
    def closed(self) -> bool:
        """True once the poll has been closed (by close(), or by its loop's end)."""
        return self._closed

    @property
    def dropped(self) -> int:
        """Answers lost because the program did not take them in time."""
        return self._box.dropped

    def __iter__(self) -> "Poll":
        return self

    def __next__(self) -> Values:
        while True:
            got = self._box.get(time.monotonic() + self._timeout)
            if got is None:
                raise NetpodTimeoutError(f"poll: no answer within {self._timeout:g} s",
                                         address=self._module.address)
            if isinstance(got, Ended):
                if got.by_close:
                    raise StopIteration
                raise got.error(self._module.address)
            record = got.record
            i2c = _i2c_answer(record) if (self._i2c is not None and record.I2CAnswerValid
                                          and record.I2CAnswerAskID == self._i2c_ask_id) else None
            if not self._selection.any_in(record) and i2c is None:
                continue  # an answer to some other exchange of the connection
            return self._selection.decode(record, got.monotonic, i2c)

    def close(self) -> None:
        """Stops the polling; a thread blocked in the iteration ends it."""
        if self._closed:
            return
        if deferred_off_library_thread(self.close):
            return
        with self._lock:
            if self._closed:
                return
            self._closed = True
        connection = self._module._connection
        try:
            connection.call("Qorvi_NETPOD_RepetitiveAskReset")
        except ConnectionClosedError:
            pass  # closing the connection stopped the polling already
        # Only now does a thread iterating the poll see its end: the asking has stopped.
        self._box.end(Ended("the poll was closed", by_close=True))
        connection.unsubscribe(self._box)
        self._module._end_poll(self)

    def __enter__(self) -> "Poll":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            self.close()


class BackgroundPoll:
    """A poll whose answers go to a callback on a thread of the package."""

    def __init__(self, poll: Poll, callback: Callable[[Values], Any]) -> None:
        self.poll = poll
        self._callback = callback
        self.error: Optional[BaseException] = None
        self._reported = False
        # A daemon thread, so that the interpreter's exit is not held up before the
        # package's exit handler has closed the connection and so stopped the thread.
        self._thread = threading.Thread(target=self._run, name="qorvi-netpod-poll", daemon=True)

    def _start(self) -> None:
        self._thread.start()

    def _run(self) -> None:
        try:
            for values in self.poll:
                self._callback(values)
        except BaseException as error:  # noqa: BLE001 - handed to close()
            if not self.poll.closed:
                self.error = error
        finally:
            self.poll.close()

    @property
    def running(self) -> bool:
        """True while the callback thread runs."""
        return self._thread.is_alive()

    def _join_unless_current(self, timeout: Optional[float] = 10.0) -> None:
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)

    def join(self, timeout: Optional[float] = None) -> None:
        """Waits until the polling has stopped (by close, or by a failure)."""
        self._join_unless_current(timeout)

    def close(self) -> None:
        """Stops the polling and waits for the callback thread; raises what the
        callback raised, if it did (once)."""
        self.poll.close()
        self._join_unless_current()
        with self.poll._module._poll_lock:
            if self in self.poll._module._background:
                self.poll._module._background.remove(self)
        if self.error is not None and not self._reported:
            self._reported = True
            raise self.error

    def __enter__(self) -> "BackgroundPoll":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


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
