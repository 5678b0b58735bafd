"""The repetitive ask of one connection: an iterator of answers, or a callback on a
thread of the package."""

from __future__ import annotations

import threading
import time
from typing import TYPE_CHECKING, Any, Callable, Optional

from ._connection import deferred_off_library_thread
from ._i2c import ask_id, i2c_answer, i2c_buffer
from ._mailbox import Ended, Mailbox
from .errors import ConnectionClosedError, NetpodError, NetpodTimeoutError, RefusedArgumentError
from .registers import POLLABLE, Values, select

if TYPE_CHECKING:
    from .module import Module

__all__ = ["Poll", "BackgroundPoll"]


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
        self._i2c = i2c_buffer(i2c) if i2c is not None else None
        self._i2c_ask_id = ask_id(i2c_ask_id)
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
            i2c = i2c_answer(record) if (self._i2c is not None and record.I2CAnswerValid
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
