"""One open connection of the library, and the hand-off of its callbacks to Python threads.

The library calls three callbacks on its own notification thread (and ``Com_Event`` 0
on the thread that closes a connected connection). The package registers one
function of each kind for the whole process. Each of them does as little as it can:
it copies what it is given (the 688-byte record, or the serial bytes, which the
library keeps only until the next batch) and puts the copy in the mailboxes of the
connection it belongs to. Nothing the user wrote ever runs on the library's thread,
no callback waits for a Python thread, and the library is never asked to close a
connection from inside one of its callbacks.

Every library call on a connection's handle holds the connection's call lock, and so
does the close: no call can use a handle while, or after, it is closed. The close
itself runs with no other lock of the package held, since ``Com_Event`` 0 comes back
through the callbacks on the closing thread.
"""

from __future__ import annotations

import atexit
import ctypes
import threading
import time
import weakref
from typing import Any, Callable, Optional

from . import _native
from ._addresses import address_parts, dotted
from ._log import log_size, open_failure
from ._mailbox import Arrival, Ended, Mailbox
from .errors import ConnectionClosedError, NetpodError, NetpodTimeoutError

MAIN_PORT = 8010
SERIAL_PORT = 8000

# The library keeps at most 65000 bytes of one serial batch.
_SERIAL_FETCH_CAPACITY = 65536


# ---------------------------------------------------------------------------------
# The process-wide callbacks and the table that routes them to connections.

_route_lock = threading.Lock()
# Written under _route_lock by the opening and closing threads, read by the callbacks.
_connections: dict[int, "Connection"] = {}
# What arrived for a handle between the return of its open and its registration:
# the library may call back as soon as the open has returned.
_pending: dict[int, list[tuple[str, Any]]] = {}
_PENDING_LIMIT = 256

_thread_state = threading.local()


def in_library_callback() -> bool:
    """True while the calling thread runs one of the package's library callbacks."""
    return getattr(_thread_state, "depth", 0) > 0


def _route(com: Optional[int], kind: str, payload: Any) -> None:
    if com is None:
        return
    with _route_lock:
        connection = _connections.get(com)
        if connection is None:
            waiting = _pending.setdefault(com, [])
            if len(waiting) < _PENDING_LIMIT:
                waiting.append((kind, payload))
            return
        # Delivered under the routing lock so that what was pending at registration
        # keeps its place before anything newer. Delivery only appends to queues.
        connection._deliver(kind, payload)


def _on_mainport_data(values: Any, com: Optional[int]) -> None:
    _thread_state.depth = getattr(_thread_state, "depth", 0) + 1
    try:
        # The record belongs to the library and is rewritten by the next answer.
        copy = _native.RegisterValues.from_buffer_copy(values.contents)
        _route(com, "record", Arrival(copy, time.monotonic()))
    except BaseException:  # noqa: BLE001 - nothing may escape into the library's thread
        pass
    finally:
        _thread_state.depth -= 1


_serial_buffer = (ctypes.c_uint8 * _SERIAL_FETCH_CAPACITY)()
_serial_buffer_lock = threading.Lock()


def _on_serial_data(length: int, com: Optional[int]) -> None:
    _thread_state.depth = getattr(_thread_state, "depth", 0) + 1
    try:
        # The library keeps only the latest batch: fetch it now, before the next one
        # replaces it. The count passed in is capped at 360; the fetch is not.
        library = _native.load_library()
        with _serial_buffer_lock:
            count = ctypes.c_int32(_SERIAL_FETCH_CAPACITY)
            if com is None or not library.Qorvi_NETPOD_GetData_RS232(_serial_buffer, ctypes.byref(count), com):
                return
            data = ctypes.string_at(_serial_buffer, max(0, min(count.value, _SERIAL_FETCH_CAPACITY)))
        if data:
            _route(com, "serial", data)
    except BaseException:  # noqa: BLE001
        pass
    finally:
        _thread_state.depth -= 1


def _on_com_event(code: int, com: Optional[int]) -> None:
    _thread_state.depth = getattr(_thread_state, "depth", 0) + 1
    try:
        _route(com, "event", int(code))
    except BaseException:  # noqa: BLE001
        pass
    finally:
        _thread_state.depth -= 1


# Referenced for the life of the process: the library keeps calling these pointers.
MAINPORT_CALLBACK = _native.TData_Received_MAINPORT(_on_mainport_data)
SERIAL_CALLBACK = _native.TData_Received_RS232(_on_serial_data)
EVENT_CALLBACK = _native.TCom_Event(_on_com_event)


# ---------------------------------------------------------------------------------
# Every open connection, so that the interpreter's exit can close them.

_open_connections: "weakref.WeakSet[Connection]" = weakref.WeakSet()
_exiting = False


def _close_everything_at_exit() -> None:
    # The library's notification thread calls into Python; it must have nothing left
    # to call once the interpreter begins to tear itself down.
    global _exiting
    _exiting = True
    for connection in list(_open_connections):
        try:
            connection.close()
        except BaseException:  # noqa: BLE001
            pass


atexit.register(_close_everything_at_exit)


def deferred_off_library_thread(action: Callable[[], None]) -> bool:
    """When called inside a library callback (a garbage collection can run a finaliser
    there), starts `action` on a thread of its own and returns True; otherwise
    returns False and the caller goes on itself."""
    if not in_library_callback():
        return False
    threading.Thread(target=action, name="qorvi-netpod-close", daemon=False).start()
    return True


# ---------------------------------------------------------------------------------


class Connection:
    """One connection handle of the library, to the main port or the serial port."""

    def __init__(self, address: Any, port: int) -> None:
        self.parts = address_parts(address)
        self.address = dotted(self.parts)
        self.port = port
        self.library = _native.load_library()
        self.com = _native.ComID()
        self._call_lock = threading.Lock()
        self._close_lock = threading.Lock()
        self._cond = threading.Condition(threading.Lock())
        # The fields below are written by the callbacks (through _deliver) and by the
        # program's threads, and read by the program's threads; all under _cond.
        self._event: Optional[int] = None  # the latest Com_Event code
        self._ended: Optional[Ended] = None
        self._closed = False
        self._mailboxes: list[Mailbox] = []
        self._serial = bytearray()

    # -- opening and closing -------------------------------------------------------

    def open(self, timeout: float) -> None:
        """Opens the connection and waits until the library reports it connected."""
        if _exiting:
            raise NetpodError("the interpreter is exiting", address=self.address)
        offset = log_size()
        address = (ctypes.c_int32 * 4)(*self.parts)
        if self.port == MAIN_PORT:
            opened = self.library.Qorvi_NETPOD_OpenConnection_MAINPORT(
                address, MAINPORT_CALLBACK, EVENT_CALLBACK, ctypes.byref(self.com))
        else:
            opened = self.library.Qorvi_NETPOD_OpenConnection_RS232(
                address, SERIAL_CALLBACK, EVENT_CALLBACK, ctypes.byref(self.com))
        if not opened:
            raise open_failure(self.library.last_error(), offset, self.address)
        self._register(self.com.value)
        _open_connections.add(self)

        deadline = time.monotonic() + timeout
        with self._cond:
            while self._event is None and not self._closed:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self._cond.wait(left)
            event = self._event
        if event == 1 or (event is None and self.state() == 1):
            return
        self.close()
        where = f"{self.address} port {self.port}"
        if event == 2:
            raise ConnectionClosedError(f"socket error while connecting to {where}", address=self.address)
        if event == 0:
            raise ConnectionClosedError(f"{where} closed the connection", address=self.address)
        raise NetpodTimeoutError(f"no connection to {where} within {timeout:g} s", address=self.address)

    def _register(self, handle: int) -> None:
        """Routes the callbacks of `handle` here, starting with what came before."""
        with _route_lock:
            _connections[handle] = self
            for kind, payload in _pending.pop(handle, []):
                self._deliver(kind, payload)

    def close(self) -> None:
        """Closes the connection; safe from any thread and more than once."""
        if deferred_off_library_thread(self.close):
            return  # never close from inside a library callback
        with self._close_lock:
            with self._cond:
                if self._closed:
                    return
                self._closed = True
                self._end_all(Ended("the connection was closed", by_close=True))
            with self._call_lock:
                handle = self.com.value
                if handle is not None:
                    # Com_Event 0 comes back on this thread, before the close returns.
                    self.library.Qorvi_NETPOD_CloseConnection(ctypes.byref(self.com))
            if handle is not None:
                with _route_lock:
                    _connections.pop(handle, None)
                    _pending.pop(handle, None)
        _open_connections.discard(self)

    @property
    def closed(self) -> bool:
        with self._cond:
            return self._closed

    @property
    def connected(self) -> bool:
        with self._cond:
            return not self._closed and self._event == 1

    def state(self) -> int:
        """The library's state code: 0 not connected, 1 connected, 2 error, 3 connecting."""
        with self._call_lock:
            if self.com.value is None:
                return 0
            return int(self.library.Qorvi_NETPOD_GetStateCommunication(self.com))

    # -- calls ---------------------------------------------------------------------

    def call(self, name: str, *args: Any) -> Any:
        """Calls library function `name` with `args` and the handle; raises
        ConnectionClosedError once the connection is closed."""
        with self._call_lock:
            self.check_open()
            return getattr(self.library, name)(*args, self.com)

    def call_checked(self, name: str, *args: Any, error: type = NetpodError) -> None:
        """As `call`, raising `error` with the library's text when it returns false."""
        with self._call_lock:
            self.check_open()
            if not getattr(self.library, name)(*args, self.com):
                raise error(self.library.last_error(), address=self.address)

    def locked_calls(self) -> "_LockedCalls":
        """Several calls under one hold of the call lock (a poll's set-up, for example)."""
        return _LockedCalls(self)

    def check_open(self) -> None:
        with self._cond:
            if self._closed:
                raise ConnectionClosedError("the connection is closed", address=self.address)
            if self._ended is not None:
                raise self._ended.error(self.address)

    # -- what the callbacks deliver --------------------------------------------------

    def _deliver(self, kind: str, payload: Any) -> None:
        # Runs on the library's thread (or the closing thread), under _route_lock.
        with self._cond:
            if kind == "record":
                for box in self._mailboxes:
                    box.put(payload)
            elif kind == "serial":
                self._serial += payload
                self._cond.notify_all()
            elif kind == "event":
                self._event = payload
                if payload in (0, 2) and not self._closed and self._ended is None:
                    what = "closed the connection" if payload == 0 else "reported a socket error"
                    self._end_all(Ended(f"the module or the network {what}", by_close=False))
                self._cond.notify_all()

    def _end_all(self, why: Ended) -> None:
        # Called with _cond held.
        if self._ended is None:
            self._ended = why
        for box in self._mailboxes:
            box.end(why)
        self._cond.notify_all()

    def subscribe(self, capacity: int = 1024) -> Mailbox:
        """A mailbox that receives a copy of every record from now on."""
        box = Mailbox(capacity)
        with self._cond:
            if self._ended is not None:
                box.end(self._ended)
            else:
                self._mailboxes.append(box)
        return box

    def unsubscribe(self, box: Mailbox) -> None:
        with self._cond:
            if box in self._mailboxes:
                self._mailboxes.remove(box)

    def wait_serial(self, deadline: Optional[float]) -> None:
        """Waits until serial bytes are buffered, the connection ends or `deadline`."""
        with self._cond:
            while not self._serial and self._ended is None:
                if deadline is None:
                    self._cond.wait()
                    continue
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self._cond.wait(left)

    def take_serial(self, limit: int) -> bytes:
        with self._cond:
            if limit < 0 or limit >= len(self._serial):
                data = bytes(self._serial)
                self._serial.clear()
            else:
                data = bytes(self._serial[:limit])
                del self._serial[:limit]
            return data

    def serial_waiting(self) -> int:
        with self._cond:
            return len(self._serial)

    def ended(self) -> Optional[Ended]:
        with self._cond:
            return self._ended

    def wait_ended(self, seconds: float) -> None:
        """Sleeps up to `seconds`, waking early when the connection ends."""
        deadline = time.monotonic() + seconds
        with self._cond:
            while self._ended is None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self._cond.wait(left)


class _LockedCalls:
    def __init__(self, connection: Connection) -> None:
        self._connection = connection

    def __enter__(self) -> Callable[..., Any]:
        connection = self._connection
        connection._call_lock.acquire()
        try:
            connection.check_open()
        except BaseException:
            connection._call_lock.release()
            raise

        def call(name: str, *args: Any, error: Optional[type] = None) -> Any:
            result = getattr(connection.library, name)(*args, connection.com)
            if error is not None and not result:
                raise error(connection.library.last_error(), address=connection.address)
            return result

        return call

    def __exit__(self, *exc: Any) -> None:
        self._connection._call_lock.release()
