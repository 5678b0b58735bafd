"""The exceptions of the package.

Every failure that the library reports comes out as a :class:`NetpodError` (or one of
its subclasses) carrying the library's own text. Arguments that are wrong before the
library is even called raise the usual :class:`ValueError` or :class:`TypeError`.
"""

from __future__ import annotations

__all__ = [
    "NetpodError",
    "LibraryNotFoundError",
    "NotFoundError",
    "IncompatibleModuleError",
    "RefusedArgumentError",
    "NetpodTimeoutError",
    "ConnectionClosedError",
]


def _readable(text: str) -> str:
    # The library writes "description<TAB>(function)"; a tab reads badly in a message.
    return text.replace("\t", " ")


class NetpodError(Exception):
    """A failure reported by the library or found while talking to a module.

    Attributes:
        text: the library's last-error text when the library reported the failure
            (``"description\\t(function)"``), otherwise the package's own description.
        reason: where the library's text only says that a step failed ("Initial Test
            failed"), the step's own reason taken from the error log, or ``None``.
        address: the module's address, where one applies.
    """

    def __init__(self, text: str, *, reason: str | None = None, address: str | None = None) -> None:
        self.text = text
        self.reason = reason
        self.address = address
        message = _readable(text)
        if reason:
            message = f"{_readable(reason)}; {message}"
        if address and address not in message:
            message = f"{address}: {message}"
        super().__init__(message)

    @property
    def function(self) -> str | None:
        """The library function named at the end of the text, if there is one."""
        head, tab, tail = self.text.rpartition("\t")
        if tab and tail.startswith("(") and tail.endswith(")"):
            return tail[1:-1]
        return None


class LibraryNotFoundError(NetpodError, OSError):
    """``libqorvi-netpod.so.2`` could not be found or loaded."""


class NotFoundError(NetpodError):
    """No module answered at the address (the library's initial test found nothing)."""


class IncompatibleModuleError(NetpodError):
    """Something answered at the address, but it is not a module this library serves."""


class RefusedArgumentError(NetpodError, ValueError):
    """The library refused a request or one of its values."""


class NetpodTimeoutError(NetpodError, TimeoutError):
    """No (complete) answer came within the time allowed."""


class ConnectionClosedError(NetpodError):
    """The connection was closed, by this program or by the module or the network."""
