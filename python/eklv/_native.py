"""ctypes mirror of eklv.h and eklv_host.h, and the loading of the libraries."""

from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, c_char, c_size_t, c_ssize_t, c_uint8, c_uint16, c_uint32, c_void_p
from typing import Optional

from .errors import LibraryNotFoundError

SONAME = "libeklv.so.1"
HOST_SONAME = "libeklv_host.so.1"

NO_DEVICE = 65535
INVALID_HANDLE_VALUE = ctypes.c_size_t(-1).value
DBT_DEVICEARRIVAL = 0x8000
DBT_DEVICEREMOVECOMPLETE = 0x8004

INTERFACE_TYPES = {
    "INF_DATA": 0x8002,
    "INF_UART": 0x8003,
    "INF_MSD": 0x8004,
    "INF_IMAGE": 0x8005,
    "INF_MTP": 0x8006,
    "INF_FLASH": 0x8007,
    "INF_SFLASH": 0x8008,
    "INF_HSFLASH": 0x8009,
    "INF_HBFLASH": 0x800A,
}
TYPE_NAMES = {code: name for name, code in INTERFACE_TYPES.items()}

MSG_INTERFACE_ARRIVAL = b"WM_ZORVAN_INTERFACE_ARRIVAL"
MSG_INTERFACE_REMOVAL = b"WM_ZORVAN_INTERFACE_REMOVAL"
WM_USER = 0x0400


class Guid(ctypes.Structure):
    _fields_ = [("data1", c_uint32), ("data2", c_uint16), ("data3", c_uint16), ("data4", c_uint8 * 8)]

    def text(self) -> str:
        d = bytes(self.data4)
        return f"{{{self.data1:08x}-{self.data2:04x}-{self.data3:04x}-{d[:2].hex()}-{d[2:].hex()}}}"


class NotificationBlock(ctypes.Structure):
    """The 800-byte host notification block."""

    _fields_ = [
        ("device_id", c_uint16),
        ("reserved0", c_uint16),
        ("reserved1", c_uint32),
        ("device_name", c_char * 256),
        ("product", c_char * 256),
        ("product_id", c_char * 256),
        ("class_guid", Guid),
        ("event", c_uint32),
        ("reserved2", c_uint32),
    ]


assert ctypes.sizeof(NotificationBlock) == 800

NotifyCallback = ctypes.CFUNCTYPE(None, c_size_t, c_void_p)


class InitParams(ctypes.Structure):
    _fields_ = [
        ("client_window", c_size_t),
        ("self_monitoring", c_uint8),
        ("reserved", c_uint8 * 3),
        ("callback_context", c_size_t),
        ("callback", NotifyCallback),
    ]


class LogSettings(ctypes.Structure):
    _fields_ = [("level_mask", c_uint32), ("flush", c_uint32)]


StringAlloc = ctypes.CFUNCTYPE(c_void_p, c_void_p, c_size_t)


class EklvString(ctypes.Structure):
    """Caller-owned output string; the library allocates through ``alloc``."""

    _fields_ = [("text", c_void_p), ("alloc", c_void_p)]


class Msg(ctypes.Structure):
    _fields_ = [
        ("hwnd", c_size_t),
        ("message", c_uint32),
        ("wparam", c_size_t),
        ("lparam", c_ssize_t),
        ("time", c_uint32),
    ]


WndProc = ctypes.CFUNCTYPE(c_ssize_t, c_size_t, c_uint32, c_size_t, c_ssize_t, c_void_p)

_LIBC = ctypes.CDLL(None)
# glibc's realloc frees the block when asked for 0 bytes, which is the
# allocator contract of EKLVString; the text is freed with free().
_REALLOC = ctypes.cast(_LIBC.realloc, c_void_p).value
_LIBC.free.argtypes = [c_void_p]
_LIBC.free.restype = None


def new_string() -> EklvString:
    return EklvString(None, _REALLOC)


def take_string(s: EklvString) -> str:
    """The text of an output string, which is freed."""
    if not s.text:
        return ""
    text = ctypes.string_at(s.text).decode("utf-8", "replace")
    _LIBC.free(s.text)
    s.text = None
    return text


_PROTOTYPES = {
    "EKLVInitialize": [POINTER(InitParams)],
    "EKLVUninitialize": [],
    "EKLVOpenDevice": [c_uint32, c_uint32, POINTER(c_size_t), c_uint32],
    "EKLVCloseDevice": [c_uint32, c_uint32],
    "EKLVReadData": [c_uint32, c_size_t, c_void_p, POINTER(c_uint32)],
    "EKLVWriteData": [c_uint32, c_size_t, ctypes.c_char_p, c_uint32],
    "EKLVGetComPort": [c_uint32, c_uint32, POINTER(EklvString)],
    "EKLVSetBaudRate": [c_uint32, c_uint32, POINTER(c_uint32)],
    "EKLVGetProductStringDescriptor": [c_uint32, POINTER(EklvString)],
    "EKLVSetCoreLogging": [POINTER(LogSettings)],
    "EKLVNotification": [POINTER(NotificationBlock)],
}

_HOST_PROTOTYPES = {
    "EKLVHostRegisterWindowMessage": ([ctypes.c_char_p], c_uint32),
    "EKLVHostCreateWindow": ([WndProc, c_void_p], c_size_t),
    "EKLVHostDestroyWindow": ([c_size_t], ctypes.c_int),
    "EKLVHostPostMessage": ([c_size_t, c_uint32, c_size_t, c_ssize_t], ctypes.c_int),
    "EKLVHostGetMessageTimeout": ([POINTER(Msg), c_size_t, c_uint32, c_uint32, c_uint32], ctypes.c_int),
    "EKLVHostDispatchMessage": ([POINTER(Msg)], c_ssize_t),
}


class Native:
    """libeklv.so and libeklv_host.so loaded, with their prototypes set."""

    def __init__(self, path: str, lib: ctypes.CDLL, host: ctypes.CDLL) -> None:
        self.path = path
        self.lib = lib
        self.host = host
        for name, args in _PROTOTYPES.items():
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = c_uint32
        for name, (args, result) in _HOST_PROTOTYPES.items():
            fn = getattr(host, name)
            fn.argtypes = args
            fn.restype = result


def candidates(path: Optional[str] = None) -> list[str]:
    """Where the library is looked for: the path given, else $EKLV_LIBRARY,
    else the system's libeklv.so.1."""
    if path:
        return [os.fspath(path)]
    found = []
    if os.environ.get("EKLV_LIBRARY"):
        found.append(os.environ["EKLV_LIBRARY"])
    found.append(SONAME)
    return found


def load(path: Optional[str] = None) -> Native:
    """Loads libeklv and the host library it links to.

    Raises LibraryNotFoundError naming every path tried and why it failed.
    """
    tried: list[tuple[str, str]] = []
    for candidate in candidates(path):
        try:
            lib = ctypes.CDLL(candidate)
            lib.EKLVInitialize  # noqa: B018 - a library without the entry points is not ours
        except (OSError, AttributeError) as error:
            tried.append((candidate, str(error)))
            continue
        # The soname names the copy the library itself linked to: one message
        # space for the library's windows and ours.
        try:
            host = ctypes.CDLL(HOST_SONAME)
        except OSError as error:
            tried.append((HOST_SONAME, f"needed beside {candidate}: {error}"))
            continue
        return Native(candidate, lib, host)
    raise LibraryNotFoundError(tried)
