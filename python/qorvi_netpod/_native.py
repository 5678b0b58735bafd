"""The C interface of libqorvi-netpod, declared once for ctypes, and the library's loading.

Everything here mirrors ``include/qorvi_netpod.h``: the two records, the three
callback types and every function with its argument and result types. The test suite
compares these declarations with the header and with the C compiler's own layout, so
a field or a function that drifts from the header is caught there.

Nothing in this module talks to a module or starts a thread.
"""

from __future__ import annotations

import ctypes
import os
import threading
from ctypes import (
    CFUNCTYPE,
    POINTER,
    Structure,
    c_bool,
    c_char,
    c_float,
    c_int32,
    c_uint8,
    c_uint32,
    c_void_p,
)
from pathlib import Path
from typing import Any

from .errors import LibraryNotFoundError

SONAME = "libqorvi-netpod.so.2"
LIBRARY_ENV = "QORVI_NETPOD_LIBRARY"
LOG_FILE_NAME = "Error_Qorvi-NETPOD_DLLInterface.log"


class RegisterValues(Structure):
    """Decoded register values of one connection (688 bytes), as the library fills them."""

    _fields_ = [
        ("TypeHigh", c_int32),
        ("TypeLow", c_int32),
        ("TypeValid", c_bool),
        ("VersionA", c_int32),
        ("VersionB", c_int32),
        ("VersionC", c_int32),
        ("VersionD", c_int32),
        ("VersionValid", c_bool),
        ("ResetCPUWritten", c_bool),
        ("SaveUserParametersWritten", c_bool),
        ("RestoreUserParametersWritten", c_bool),
        ("RestoreFactoryParametersWritten", c_bool),
        ("SaveFactoryParametersWritten", c_bool),
        ("Voltage", c_float),
        ("VoltageValid", c_bool),
        ("Warnings", c_bool * 32),
        ("WarningsValid", c_bool),
        ("WarningsWritten", c_bool),
        ("NbPowerUp", c_uint32),
        ("NbPowerUpValid", c_bool),
        ("TimeInService", c_uint32),
        ("TimeInServiceValid", c_bool),
        ("ComOptions", c_bool * 32),
        ("ComOptionsValid", c_bool),
        ("ComOptionsWritten", c_bool),
        ("EthernetMAC", c_int32 * 6),
        ("EthernetMACValid", c_bool),
        ("IPAddress", c_int32 * 4),
        ("IPAddressValid", c_bool),
        ("IPAddressWritten", c_bool),
        ("SubnetMask", c_int32 * 4),
        ("SubnetMaskValid", c_bool),
        ("SubnetMaskWritten", c_bool),
        ("TCPTimeout", c_int32),
        ("TCPTimeoutValid", c_bool),
        ("TCPTimeoutWritten", c_bool),
        ("ModuleName", c_char * 16),
        ("ModuleNameValid", c_bool),
        ("ModuleNameWritten", c_bool),
        ("RS232Config", c_int32),
        ("RS232ConfigValid", c_bool),
        ("RS232ConfigWritten", c_bool),
        ("I2CSpeed", c_int32),
        ("I2CSpeedValid", c_bool),
        ("I2CSpeedWritten", c_bool),
        ("TCPConnectionsOpened", c_int32),
        ("TCPConnectionsOpenedValid", c_bool),
        ("AnalogInputsThreshold", c_float),
        ("AnalogInputsThresholdValid", c_bool),
        ("AnalogInputsThresholdWritten", c_bool),
        ("Outputs", c_bool * 16),
        ("OutputsValid", c_bool),
        ("OutputsWritten", c_bool),
        ("Inputs", c_bool * 16),
        ("InputsValid", c_bool),
        ("InputVoltage", c_float * 16),
        ("InputVoltageValid", c_bool * 16),
        ("I2CAnswer", c_uint8 * 180),
        ("I2CAnswerLength", c_int32),
        ("I2CAnswerAskID", c_int32),
        ("I2CAnswerValid", c_bool),
        ("ScanI2CLength", c_int32),
        ("ScanI2CAnswer", c_uint8 * 127),
        ("ScanI2CValid", c_bool),
    ]


class ModuleInfo(Structure):
    """One module found by the network scan (80 bytes)."""

    _fields_ = [
        ("Type", c_int32 * 2),
        ("Version", c_int32 * 4),
        ("MacAddress", c_int32 * 6),
        ("IPAddress", c_int32 * 4),
        ("ModuleName", c_char * 16),
    ]


ComID = c_void_p

# The application callbacks. The library calls them on its notification thread.
TData_Received_MAINPORT = CFUNCTYPE(None, POINTER(RegisterValues), ComID)
TData_Received_RS232 = CFUNCTYPE(None, c_int32, ComID)
TCom_Event = CFUNCTYPE(None, c_int32, ComID)

CALLBACK_TYPES: dict[str, Any] = {
    "TData_Received_MAINPORT": TData_Received_MAINPORT,
    "TData_Received_RS232": TData_Received_RS232,
    "TCom_Event": TCom_Event,
}

_Int4 = POINTER(c_int32)
_Bools = POINTER(c_bool)
_Bytes = POINTER(c_uint8)
_Chars = POINTER(c_char)
_Handle = POINTER(ComID)

# Every function of the library: name -> (result type, argument types).
FUNCTIONS: dict[str, tuple[Any, list[Any]]] = {
    "Qorvi_NETPOD_OpenConnection_MAINPORT": (c_bool, [_Int4, TData_Received_MAINPORT, TCom_Event, _Handle]),
    "Qorvi_NETPOD_OpenConnection_RS232": (c_bool, [_Int4, TData_Received_RS232, TCom_Event, _Handle]),
    "Qorvi_NETPOD_CloseConnection": (c_bool, [_Handle]),
    "Qorvi_NETPOD_GetStateCommunication": (c_int32, [ComID]),
    "Qorvi_NETPOD_ScanNetwork": (c_int32, [POINTER(ModuleInfo), c_int32]),
    "Qorvi_NETPOD_ChangeIPAddress": (c_bool, [_Int4, _Int4, _Int4]),
    "Qorvi_NETPOD_Read_TYPE": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_VERSION": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_NBPOWERUP": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_TIMEINSERVICE": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_COMOPTIONS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_ETHERNETMAC": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_IPADDRESS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_SUBNETMASK": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_TCPTIMEOUT": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_MODULENAME": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_RS232CONFIG": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_I2CSPD": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_TCPCONNECTIONSOPENED": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_ANALOGINPUTSTHRESHOLD": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_OUTPUTS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Read_VOLTAGE": (c_bool, [c_bool, ComID]),
    "Qorvi_NETPOD_Read_WARNINGS": (c_bool, [c_bool, ComID]),
    "Qorvi_NETPOD_Read_INPUTS": (c_bool, [c_bool, ComID]),
    "Qorvi_NETPOD_Read_INPUTVOLTAGEVALUE": (c_bool, [c_int32, c_bool, ComID]),
    "Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE": (c_bool, [c_bool, ComID]),
    "Qorvi_NETPOD_Write_RESETCPU": (c_bool, [ComID]),
    "Qorvi_NETPOD_Write_SAVEUSERPARAMETERS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Write_RESTOREUSERPARAMETERS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Write_RESTOREFACTORYPARAMETERS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Write_SAVEFACTORYPARAMETERS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Reset_WARNINGS": (c_bool, [ComID]),
    "Qorvi_NETPOD_Write_COMOPTIONS": (c_bool, [_Bools, ComID]),
    "Qorvi_NETPOD_Write_IPADDRESS": (c_bool, [_Int4, ComID]),
    "Qorvi_NETPOD_Write_SUBNETMASK": (c_bool, [_Int4, ComID]),
    "Qorvi_NETPOD_Write_TCPTIMEOUT": (c_bool, [c_int32, ComID]),
    "Qorvi_NETPOD_Write_MODULENAME": (c_bool, [_Chars, ComID]),
    "Qorvi_NETPOD_Write_RS232CONFIG": (c_bool, [c_int32, ComID]),
    "Qorvi_NETPOD_Write_I2CSPD": (c_bool, [c_int32, ComID]),
    "Qorvi_NETPOD_Write_ANALOGINPUTSTHRESHOLD": (c_bool, [c_float, ComID]),
    "Qorvi_NETPOD_Write_OUTPUTS": (c_bool, [_Bools, ComID]),
    "Qorvi_NETPOD_Read_AllRegister": (c_bool, [ComID]),
    "Qorvi_NETPOD_ResetAllRegisterRead": (c_bool, [ComID]),
    "Qorvi_NETPOD_SendData_RS232": (c_bool, [_Bytes, c_int32, ComID]),
    "Qorvi_NETPOD_GetData_RS232": (c_bool, [_Bytes, _Int4, ComID]),
    "Qorvi_NETPOD_RepetitiveAskStart": (c_bool, [ComID]),
    "Qorvi_NETPOD_RepetitiveAskStop": (c_bool, [ComID]),
    "Qorvi_NETPOD_RepetitiveAskSetTime": (c_bool, [c_int32, ComID]),
    "Qorvi_NETPOD_RepetitiveAskReset": (c_bool, [ComID]),
    "Qorvi_NETPOD_ReadWriteI2C": (c_bool, [_Bytes, c_int32, c_bool, c_int32, ComID]),
    "Qorvi_NETPOD_ScanI2C": (c_bool, [ComID]),
    "Qorvi_NETPOD_VersionDLL": (None, [_Chars, _Int4]),
    "Qorvi_NETPOD_GetLastError": (None, [_Chars, _Int4]),
    "Qorvi_NETPOD_SendData_MAINPORT": (c_bool, [ComID]),
}


class Library:
    """The loaded library: one attribute per C function, declared as in the header.

    The functions are ``ctypes`` functions of a ``CDLL``, so every call releases the
    interpreter lock while the library runs. That matters: a close waits for a
    callback in progress, and that callback needs the interpreter lock to finish.
    """

    def __init__(self, path: str, how: str) -> None:
        self.path = path
        self.found_by = how
        self._dll = ctypes.CDLL(path)
        for name, (restype, argtypes) in FUNCTIONS.items():
            function = getattr(self._dll, name)
            function.restype = restype
            function.argtypes = argtypes
            setattr(self, name, function)

    def file(self) -> str:
        """The library file the process really uses, as the dynamic loader names it."""
        found = _loaded_file(self._dll.Qorvi_NETPOD_VersionDLL)
        return os.path.realpath(found) if found else os.path.realpath(self.path)

    def text(self, function: Any, capacity: int = 1024) -> str:
        """Calls VersionDLL or GetLastError, which copy their text without a terminator."""
        buffer = ctypes.create_string_buffer(capacity)
        length = c_int32(capacity)
        function(buffer, ctypes.byref(length))
        count = max(0, min(length.value, capacity))
        return buffer.raw[:count].decode("latin-1")

    def last_error(self) -> str:
        return self.text(self.Qorvi_NETPOD_GetLastError)


class _DlInfo(Structure):
    _fields_ = [
        ("dli_fname", ctypes.c_char_p),
        ("dli_fbase", c_void_p),
        ("dli_sname", ctypes.c_char_p),
        ("dli_saddr", c_void_p),
    ]


def _loaded_file(function: Any) -> str | None:
    """The file that holds `function`, through dladdr (None where that fails)."""
    try:
        libc = ctypes.CDLL(None)
        dladdr = libc.dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [c_void_p, POINTER(_DlInfo)]
    dladdr.restype = ctypes.c_int
    info = _DlInfo()
    address = ctypes.cast(function, c_void_p).value
    if not dladdr(address, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.fsdecode(info.dli_fname)


_lock = threading.Lock()
_library: Library | None = None


def _source_tree_library() -> Path | None:
    """The library of the build tree, when this package runs from the repository."""
    root = Path(__file__).resolve().parent.parent.parent
    if (root / "include" / "qorvi_netpod.h").is_file() and (root / "python" / "qorvi_netpod").is_dir():
        return root / "build" / "src" / SONAME
    return None


def _installed_library() -> Path | None:
    """The library installed together with this package by ``make install``, if any."""
    try:
        from . import _install_location  # written by cmake --install only
    except ImportError:
        return None
    return Path(__file__).resolve().parent / _install_location.LIBRARY_RELATIVE


def _try_load(path: str, how: str, tried: list[str]) -> Library | None:
    try:
        return Library(path, how)
    except OSError as error:
        tried.append(f"{how}: {error}")
        return None


def load_library(path: str | os.PathLike[str] | None = None) -> Library:
    """Loads the library once for the process and returns it.

    Where it is looked for, in order: `path` when given; the file named by the
    environment variable ``QORVI_NETPOD_LIBRARY``; the repository's build tree
    (``build/src``) when the package runs from the source tree; the library installed
    with the package by ``make install``; and the system's library search path. An
    explicit path or the environment variable that cannot be loaded is an error of its
    own: the search does not go on past them.

    Raises:
        LibraryNotFoundError: with every place tried, when none gives the library.
        ValueError: when a library is already loaded from another file.
    """
    global _library
    with _lock:
        if _library is not None:
            if path is not None and os.path.realpath(os.fspath(path)) != os.path.realpath(_library.path):
                raise ValueError(f"the library is already loaded from {_library.path}")
            return _library
        tried: list[str] = []
        library: Library | None = None
        env = os.environ.get(LIBRARY_ENV)
        if path is not None:
            library = _try_load(os.fspath(path), "the path given", tried)
        elif env:
            library = _try_load(env, f"${LIBRARY_ENV}", tried)
        else:
            tried.append(f"${LIBRARY_ENV}: not set")
            for candidate, how in ((_source_tree_library(), "the build tree"),
                                   (_installed_library(), "the installed library")):
                if candidate is None:
                    continue
                if not candidate.exists():
                    tried.append(f"{how}: {candidate} does not exist")
                    continue
                library = _try_load(str(candidate), how, tried)
                if library is not None:
                    break
            if library is None:
                library = _try_load(SONAME, "the system's library search path", tried)
        if library is None:
            raise LibraryNotFoundError(
                f"{SONAME} could not be loaded. Tried:\n  " + "\n  ".join(tried)
                + f"\nBuild it (make), install it (make install), or set {LIBRARY_ENV} to its path."
            )
        _library = library
        return library
