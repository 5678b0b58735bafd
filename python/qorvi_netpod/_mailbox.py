"""The hand-over from the library's thread to a Python thread: a bounded queue that
never blocks the producer, and what travels through it."""

from __future__ import annotations

import collections
import threading
import time
from dataclasses import dataclass
from typing import Any, Deque, Optional

from . import _native
from .errors import ConnectionClosedError


@dataclass(frozen=True)
class Arrival:
    """A copy of one record handed to the main-port callback, and when it came."""

    record: _native.RegisterValues
    monotonic: float


@dataclass(frozen=True)
class Ended:
    """Why a mailbox gets nothing more."""

    message: str
    by_close: bool  # the program closed the connection (or the mailbox's owner ended it)

    def error(self, address: str) -> ConnectionClosedError:
        return ConnectionClosedError(self.message, address=address)


class Mailbox:
    """A bounded queue from the library's thread to one Python consumer.

    `put` never blocks: when the consumer falls behind, the oldest item is dropped
    and counted, so that the library's thread is never held up by Python code.
    """

    def __init__(self, capacity: int = 1024) -> None:
        self._items: Deque[Any] = collections.deque(maxlen=capacity)
        self._cond = threading.Condition(threading.Lock())
        self._ended: Optional[Ended] = None
        self.dropped = 0

    def put(self, item: Any) -> None:
        with self._cond:
            if self._ended is not None:
                return
            if len(self._items) == self._items.maxlen:
                self.dropped += 1
            self._items.append(item)
            self._cond.notify()

    def end(self, why: Ended) -> None:
        with self._cond:
            if self._ended is None:
                self._ended = why
            self._cond.notify_all()

    def get(self, deadline: Optional[float]) -> Any:
        """The next item; None when `deadline` (monotonic) passed first; an `Ended`
        once the mailbox has ended and every item before the end was taken."""
        with self._cond:
            while True:
                if self._items:
                    return self._items.popleft()
                if self._ended is not None:
                    return self._ended
                if deadline is None:
                    self._cond.wait()
                    continue
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self._cond.wait(left)
