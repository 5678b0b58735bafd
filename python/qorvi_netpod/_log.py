"""The library's error log, read back to tell apart failures its last-error text
names only by the step that failed ("Initial Test failed", "ChangeIPAddress Failed")."""

from __future__ import annotations

import os
from typing import Optional

from . import _native
from .errors import IncompatibleModuleError, NetpodError, NotFoundError


def log_file_path() -> str:
    """Where the library appends its error log: beside the library file."""
    library = _native.load_library()
    return os.path.join(os.path.dirname(library.file()), _native.LOG_FILE_NAME)


def log_size() -> int:
    try:
        return os.path.getsize(log_file_path())
    except OSError:
        return 0


def log_entries_since(offset: int) -> list[tuple[str, str]]:
    """(IP text, message) of every log entry appended since the file had `offset` bytes."""
    try:
        with open(log_file_path(), "rb") as file:
            file.seek(offset)
            contents = file.read().decode("latin-1")
    except OSError:
        return []
    entries = []
    for block in contents.split("\r\n\r\n"):
        if not block or block.startswith("Error Log File") or block.startswith("Date\t"):
            continue
        fields = block.split("\t", 3)
        if len(fields) == 4:
            entries.append((fields[2].strip(), fields[3]))
    return entries


def step_reason(offset: int, ip_text: str, function: str) -> Optional[str]:
    """The latest log entry written since `offset` by `function` for `ip_text`: the
    library reports a failed step's own reason just before its caller's summary."""
    reason = None
    for ip, message in log_entries_since(offset):
        if message.endswith(f"({function})") and (ip == ip_text or not ip_text):
            reason = message
    return reason


def open_failure(text: str, offset: int, address: str) -> NetpodError:
    """The exception for a failed open, told apart by the initial test's own reason."""
    if "Initial Test failed" in text:
        reason = step_reason(offset, address, "MakeInitialTYPETest")
        if reason is not None and "not compatible" in reason:
            return IncompatibleModuleError(text, reason=reason, address=address)
        return NotFoundError(text, reason=reason, address=address)
    return NetpodError(text, address=address)
