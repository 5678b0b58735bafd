"""Register names, the decoded values of an answer, and the checking of values to write.

Registers are named as the ``netpod`` tool names them, with underscores or hyphens
and in any case: ``"type"``, ``"voltage"``, ``"input_voltages"`` (all sixteen),
``"input_voltage.3"`` (one), ``"OUTPUTS"``, ``"power-ups"``, ...
"""

from __future__ import annotations

import ctypes
import math
import numbers
from dataclasses import dataclass, field, fields
from typing import Any, Callable, Iterable, Mapping, Optional

from . import _native
from ._addresses import address_parts, dotted

__all__ = ["Values", "READABLE", "POLLABLE", "WRITABLE", "register_names"]


def _flags(array: Any) -> frozenset[int]:
    return frozenset(k for k, on in enumerate(array) if on)


def _mac_text(parts: Iterable[int]) -> str:
    return ":".join(f"{int(p) & 0xFF:02X}" for p in parts)


def _name_text(raw: bytes) -> str:
    # Sixteen bytes, not terminated: the name ends at the first zero byte, if any.
    return raw.split(b"\0", 1)[0].decode("latin-1")


@dataclass(frozen=True)
class Values:
    """The decoded registers of one answer. A field is None when the answer did not
    carry that register (or it was not asked for).

    Flags (``warnings``, ``com_options``, ``outputs``, ``inputs``) are the sets of the
    flag numbers that are on; ``input_voltages`` maps input numbers to volts.
    ``received`` is the ``time.monotonic()`` at which the library handed the answer over.
    """

    type: Optional[tuple[int, int]] = None
    version: Optional[tuple[int, int, int, int]] = None
    voltage: Optional[float] = None
    warnings: Optional[frozenset[int]] = None
    power_ups: Optional[int] = None
    time_in_service: Optional[int] = None
    com_options: Optional[frozenset[int]] = None
    mac: Optional[str] = None
    ip: Optional[str] = None
    mask: Optional[str] = None
    tcp_timeout: Optional[int] = None
    name: Optional[str] = None
    rs232_config: Optional[int] = None
    i2c_speed: Optional[int] = None
    tcp_connections: Optional[int] = None
    threshold: Optional[float] = None
    outputs: Optional[frozenset[int]] = None
    inputs: Optional[frozenset[int]] = None
    input_voltages: Optional[Mapping[int, float]] = None
    i2c: Optional[bytes] = None
    received: float = field(default=0.0, compare=False)

    def as_dict(self) -> dict[str, Any]:
        """The registers the answer carried, by name."""
        return {f.name: getattr(self, f.name) for f in fields(self)
                if f.name != "received" and getattr(self, f.name) is not None}

    def __repr__(self) -> str:
        inside = ", ".join(f"{k}={v!r}" for k, v in self.as_dict().items())
        return f"Values({inside})"


@dataclass(frozen=True)
class _Register:
    name: str
    alias: str                     # the register's name in the library
    mark: str                      # the library function that marks its read
    takes_repetitive: bool         # the mark function has a RepetitiveAsk argument
    valid: str                     # Valid flag in RegisterValues
    decode: Callable[[_native.RegisterValues], Any]


_REGISTERS: tuple[_Register, ...] = (
    _Register("type", "TYPE", "Qorvi_NETPOD_Read_TYPE", False, "TypeValid",
              lambda r: (r.TypeHigh, r.TypeLow)),
    _Register("version", "VERSION", "Qorvi_NETPOD_Read_VERSION", False, "VersionValid",
              lambda r: (r.VersionA, r.VersionB, r.VersionC, r.VersionD)),
    _Register("voltage", "VOLTAGE", "Qorvi_NETPOD_Read_VOLTAGE", True, "VoltageValid",
              lambda r: float(r.Voltage)),
    _Register("warnings", "WARNINGS", "Qorvi_NETPOD_Read_WARNINGS", True, "WarningsValid",
              lambda r: _flags(r.Warnings)),
    _Register("power_ups", "NBPOWERUP", "Qorvi_NETPOD_Read_NBPOWERUP", False, "NbPowerUpValid",
              lambda r: int(r.NbPowerUp)),
    _Register("time_in_service", "TIMEINSERVICE", "Qorvi_NETPOD_Read_TIMEINSERVICE", False,
              "TimeInServiceValid", lambda r: int(r.TimeInService)),
    _Register("com_options", "COMOPTIONS", "Qorvi_NETPOD_Read_COMOPTIONS", False, "ComOptionsValid",
              lambda r: _flags(r.ComOptions)),
    _Register("mac", "ETHERNETMAC", "Qorvi_NETPOD_Read_ETHERNETMAC", False, "EthernetMACValid",
              lambda r: _mac_text(r.EthernetMAC)),
    _Register("ip", "IPADDRESS", "Qorvi_NETPOD_Read_IPADDRESS", False, "IPAddressValid",
              lambda r: dotted(r.IPAddress)),
    _Register("mask", "SUBNETMASK", "Qorvi_NETPOD_Read_SUBNETMASK", False, "SubnetMaskValid",
              lambda r: dotted(r.SubnetMask)),
    _Register("tcp_timeout", "TCPTIMEOUT", "Qorvi_NETPOD_Read_TCPTIMEOUT", False, "TCPTimeoutValid",
              lambda r: int(r.TCPTimeout)),
    _Register("name", "MODULENAME", "Qorvi_NETPOD_Read_MODULENAME", False, "ModuleNameValid",
              lambda r: _name_text(bytes(r.ModuleName))),
    _Register("rs232_config", "RS232CONFIG", "Qorvi_NETPOD_Read_RS232CONFIG", False, "RS232ConfigValid",
              lambda r: int(r.RS232Config)),
    _Register("i2c_speed", "I2CSPD", "Qorvi_NETPOD_Read_I2CSPD", False, "I2CSpeedValid",
              lambda r: int(r.I2CSpeed)),
    _Register("tcp_connections", "TCPCONNECTIONSOPENED", "Qorvi_NETPOD_Read_TCPCONNECTIONSOPENED", False,
              "TCPConnectionsOpenedValid", lambda r: int(r.TCPConnectionsOpened)),
    _Register("threshold", "ANALOGINPUTSTHRESHOLD", "Qorvi_NETPOD_Read_ANALOGINPUTSTHRESHOLD", False,
              "AnalogInputsThresholdValid", lambda r: float(r.AnalogInputsThreshold)),
    _Register("outputs", "OUTPUTS", "Qorvi_NETPOD_Read_OUTPUTS", False, "OutputsValid",
              lambda r: _flags(r.Outputs)),
    _Register("inputs", "INPUTS", "Qorvi_NETPOD_Read_INPUTS", True, "InputsValid",
              lambda r: _flags(r.Inputs)),
)
_BY_NAME = {r.name: r for r in _REGISTERS}

INPUT_VOLTAGES = "input_voltages"
READABLE: tuple[str, ...] = tuple(r.name for r in _REGISTERS) + (INPUT_VOLTAGES,)
POLLABLE: tuple[str, ...] = ("voltage", "warnings", "inputs", INPUT_VOLTAGES)


def _folded(text: str) -> str:
    return text.replace("-", "").replace("_", "").lower()


_SPELLINGS: dict[str, str] = {}
for _r in _REGISTERS:
    _SPELLINGS[_folded(_r.name)] = _r.name
    _SPELLINGS[_folded(_r.alias)] = _r.name
_SPELLINGS.update({
    "inputvoltages": INPUT_VOLTAGES, "inputvoltage": INPUT_VOLTAGES, "inputvoltagevalue": INPUT_VOLTAGES,
    "modulename": "name", "subnetmask": "mask", "ipaddress": "ip", "tcpconnectionsopened": "tcp_connections",
    "i2cspd": "i2c_speed", "nbpowerup": "power_ups", "ethernetmac": "mac", "analoginputsthreshold": "threshold",
})


def register_names() -> tuple[str, ...]:
    """Every name `read` accepts (besides ``"input_voltage.N"``)."""
    return READABLE


@dataclass(frozen=True)
class Selection:
    """The registers of one read or poll: names, and the input voltages asked for."""

    names: tuple[str, ...]
    voltages: tuple[int, ...]  # input numbers; empty when no input voltage is asked for

    def complete_in(self, record: _native.RegisterValues) -> bool:
        """True when `record` carries every register of the selection."""
        return (all(getattr(record, _BY_NAME[n].valid) for n in self.names)
                and all(record.InputVoltageValid[k] for k in self.voltages))

    def any_in(self, record: _native.RegisterValues) -> bool:
        return (any(getattr(record, _BY_NAME[n].valid) for n in self.names)
                or any(record.InputVoltageValid[k] for k in self.voltages))

    def decode(self, record: _native.RegisterValues, received: float = 0.0,
               i2c: Optional[bytes] = None) -> Values:
        """The registers of the selection that `record` carries."""
        found: dict[str, Any] = {}
        for name in self.names:
            register = _BY_NAME[name]
            if getattr(record, register.valid):
                found[name] = register.decode(record)
        volts = {k: float(record.InputVoltage[k]) for k in self.voltages if record.InputVoltageValid[k]}
        if volts:
            found[INPUT_VOLTAGES] = volts
        return Values(**found, i2c=i2c, received=received)

    def mark(self, call: Callable[..., Any], repetitive: bool, error: type) -> None:
        """Marks the reads of the selection through `call` (a locked library call)."""
        for name in self.names:
            register = _BY_NAME[name]
            if register.takes_repetitive:
                call(register.mark, repetitive, error=error)
            else:
                call(register.mark, error=error)
        if len(self.voltages) == 16:
            call("Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE", repetitive, error=error)
        else:
            for k in self.voltages:
                call("Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE", k, repetitive, error=error)


def select(registers: Iterable[Any], allowed: tuple[str, ...], what: str) -> Selection:
    """Checks register names and makes a selection of them (ValueError, TypeError)."""
    names: list[str] = []
    voltages: set[int] = set()
    count = 0
    for item in registers:
        count += 1
        if not isinstance(item, str):
            raise TypeError(f"register names are texts, not {type(item).__name__}")
        base, dot, number = item.partition(".")
        canonical = _SPELLINGS.get(_folded(base))
        if canonical == INPUT_VOLTAGES and dot:
            if not number.isdigit() or not 0 <= int(number) <= 15:
                raise ValueError(f"input number in {item!r} must be 0 to 15")
            voltages.add(int(number))
            continue
        if canonical is None or dot:
            raise ValueError(f"unknown register {item!r}; known: {', '.join(READABLE)} and input_voltage.N")
        if canonical not in allowed:
            raise ValueError(f"{what} cannot take register {item!r}; it takes {', '.join(allowed)}")
        if canonical == INPUT_VOLTAGES:
            voltages.update(range(16))
        elif canonical not in names:
            names.append(canonical)
    if count == 0:
        raise ValueError(f"{what} needs at least one register name")
    return Selection(tuple(names), tuple(sorted(voltages)))


# ---------------------------------------------------------------------------------
# Values to write.


@dataclass(frozen=True)
class _Write:
    function: str
    written: str          # Written flag in RegisterValues
    argument: Any         # the value ready for the library function


def _integer(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    return int(value)


def _flag_numbers(name: str, value: Any, count: int) -> Any:
    if isinstance(value, (str, bytes, bytearray)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a collection of flag numbers 0 to {count - 1} (such as {{0, 9}}), "
                        f"not {type(value).__name__}")
    array = (ctypes.c_bool * count)()
    for number in value:
        k = _integer(f"each number in {name}", number)
        if not 0 <= k < count:
            raise ValueError(f"{name} numbers must lie between 0 and {count - 1}, got {k}")
        array[k] = True
    return array


def _address(name: str, value: Any) -> Any:
    return (ctypes.c_int32 * 4)(*address_parts(value, name))


def _in_range(name: str, value: Any, accepted: Iterable[range]) -> int:
    number = _integer(name, value)
    ranges = list(accepted)
    if not any(number in r for r in ranges):
        text = " or ".join(f"{r.start} to {r.stop - 1}" if len(r) > 1 else str(r.start) for r in ranges)
        raise ValueError(f"{name} must be {text}, got {number}")
    return number


def _threshold(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"threshold must be a number of volts, not {type(value).__name__}")
    volts = float(value)
    if math.isnan(volts) or not -12.0 <= volts <= 12.0:
        raise ValueError(f"threshold must lie between -12.0 and 12.0 V, got {value!r}")
    return volts


def _module_name(value: Any) -> Any:
    if isinstance(value, str):
        try:
            raw = value.encode("latin-1")
        except UnicodeEncodeError:
            raise ValueError(f"name {value!r} holds characters that do not fit in one byte each") from None
    elif isinstance(value, (bytes, bytearray)):
        raw = bytes(value)
    else:
        raise TypeError(f"name must be a text of at most 16 characters, not {type(value).__name__}")
    if len(raw) > 16:
        raise ValueError(f"name must be at most 16 bytes, {value!r} has {len(raw)}")
    return ctypes.create_string_buffer(raw.ljust(16, b"\0"), 16)


_WRITERS: dict[str, Callable[[Any], _Write]] = {
    "outputs": lambda v: _Write("Qorvi_NETPOD_Write_OUTPUTS", "OutputsWritten", _flag_numbers("outputs", v, 16)),
    "com_options": lambda v: _Write("Qorvi_NETPOD_Write_COMOPTIONS", "ComOptionsWritten",
                                    _flag_numbers("com_options", v, 32)),
    "ip": lambda v: _Write("Qorvi_NETPOD_Write_IPADDRESS", "IPAddressWritten", _address("ip", v)),
    "mask": lambda v: _Write("Qorvi_NETPOD_Write_SUBNETMASK", "SubnetMaskWritten", _address("mask", v)),
    "tcp_timeout": lambda v: _Write("Qorvi_NETPOD_Write_TCPTIMEOUT", "TCPTimeoutWritten",
                                    _in_range("tcp_timeout", v, [range(0, 256)])),
    "name": lambda v: _Write("Qorvi_NETPOD_Write_MODULENAME", "ModuleNameWritten", _module_name(v)),
    "rs232_config": lambda v: _Write("Qorvi_NETPOD_Write_RS232CONFIG", "RS232ConfigWritten",
                                     _in_range("rs232_config", v, [range(0, 8), range(128, 136)])),
    "i2c_speed": lambda v: _Write("Qorvi_NETPOD_Write_I2CSPD", "I2CSpeedWritten",
                                  _in_range("i2c_speed", v, [range(24, 25), range(99, 100)])),
    "threshold": lambda v: _Write("Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD", "AnalogInputsThresholdWritten",
                                  _threshold(v)),
}
WRITABLE: tuple[str, ...] = tuple(_WRITERS)

COMMANDS: dict[str, tuple[str, str]] = {
    "reset_warnings": ("Qorvi_NETPOD_Reset_WARNINGS", "WarningsWritten"),
    "reset_cpu": ("Qorvi_NETPOD_Write_RESETCPU", "ResetCPUWritten"),
    "save_user_parameters": ("Qorvi_NETPOD_Write_SAVEUSERPARAMETERS", "SaveUserParametersWritten"),
    "restore_user_parameters": ("Qorvi_NETPOD_Write_RESTOREUSERPARAMETERS", "RestoreUserParametersWritten"),
    "restore_factory_parameters": ("Qorvi_NETPOD_Write_RESTOREFACTORYPARAMETERS",
                                   "RestoreFactoryParametersWritten"),
    "save_factory_parameters": ("Qorvi_NETPOD_Write_SAVEFACTORYPARAMETERS", "SaveFactoryParametersWritten"),
}


def prepare_writes(values: Mapping[str, Any]) -> list[_Write]:
    """Checks every value to write and converts it for the library (TypeError,
    ValueError), before anything is marked."""
    if not values:
        raise ValueError(f"nothing to write; registers: {', '.join(WRITABLE)}")
    writes = []
    for key, value in values.items():
        canonical = _SPELLINGS.get(_folded(key))
        if canonical not in _WRITERS:
            raise TypeError(f"{key!r} is not a writable register; writable: {', '.join(WRITABLE)}")
        writes.append(_WRITERS[canonical](value))
    return writes
