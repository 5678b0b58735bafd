"""I2C transfers as the library takes them: at most 180 bytes, labelled by an AskID."""

from __future__ import annotations

import ctypes
from typing import Any

from . import _native

MAX_LENGTH = 180


def ask_id(value: Any) -> int:
    """`value` checked as an AskID (TypeError, ValueError)."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"ask_id must be an integer, not {type(value).__name__}")
    if not 0 <= value <= 65535:
        raise ValueError(f"ask_id must lie between 0 and 65535, got {value}")
    return value


def i2c_buffer(data: Any) -> tuple[Any, int]:
    """The bytes of an I2C transfer for the library, and their count."""
    if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"I2C data must be bytes, not {type(data).__name__}")
    raw = bytes(data)
    if len(raw) > MAX_LENGTH:
        raise ValueError(f"an I2C transfer holds at most {MAX_LENGTH} bytes, got {len(raw)}")
    # An empty transfer still needs a buffer: the library refuses a null pointer.
    buffer = (ctypes.c_uint8 * max(1, len(raw)))()
    ctypes.memmove(buffer, raw, len(raw))
    return buffer, len(raw)


def i2c_answer(record: _native.RegisterValues) -> bytes:
    """The I2C answer's bytes that `record` carries (status byte first)."""
    length = max(0, min(int(record.I2CAnswerLength), len(record.I2CAnswer)))
    return bytes(record.I2CAnswer)[:length]
