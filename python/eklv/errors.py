"""The library's result codes, their meanings, and the exceptions of the binding."""

from __future__ import annotations

from typing import Optional, Sequence

OK = 0
NOT_COMPLETED = 1
INVALID_HANDLE = 2
NO_SUCH_DEVICE = 3
WRITE_FAILED = 4
READ_FAILED = 5
NO_PARAMETER_BLOCK = 6
OPEN_FAILED = 7
NO_SUCH_INTERFACE = 8
NO_SUPERVISOR = 13
NOT_INITIALIZED = 14
NO_RESOURCES = 16
GET_COMM_STATE_FAILED = 17
SET_COMM_STATE_FAILED = 18

# What each result code means, in the words eklvctl uses.
MEANINGS = {
    OK: "success",
    NOT_COMPLETED: "the operation did not complete",
    INVALID_HANDLE: "invalid interface handle",
    NO_SUCH_DEVICE: "no attached device has that id",
    WRITE_FAILED: "the write failed",
    READ_FAILED: "the read failed: no complete answer came, or the port went away",
    NO_PARAMETER_BLOCK: "no parameter block was given",
    OPEN_FAILED: "the interface could not be opened",
    NO_SUCH_INTERFACE: "the device has no such interface, or it is not open",
    NO_SUPERVISOR: "the library was not initialised",
    NOT_INITIALIZED: "the library is not initialised",
    NO_RESOURCES: "a part of the library or one of its threads could not be created",
    GET_COMM_STATE_FAILED: "reading the serial port state failed",
    SET_COMM_STATE_FAILED: "writing the serial port state failed",
}

# Codes that mean something else for one entry point (1 from EKLVInitialize
# is not 1 from EKLVGetComPort).
_CALL_MEANINGS = {
    ("EKLVInitialize", NOT_COMPLETED): "the library could not start: no USB hub was found or one could not be "
    "mapped to a port id",
    ("EKLVNotification", NOT_COMPLETED): "the device change was not handled within 30 seconds",
    ("EKLVGetComPort", NOT_COMPLETED): "the interface is absent or its COM port name could not be read",
    ("EKLVSetBaudRate", INVALID_HANDLE): "the interface is not open",
    ("EKLVCloseDevice", NO_SUCH_INTERFACE): "that interface is not open",
    ("EKLVGetComPort", NO_SUCH_INTERFACE): "the interface has no device-interface name",
}


def meaning(code: int, call: str = "") -> str:
    """What result ``code`` of entry point ``call`` means, in a few words."""
    return _CALL_MEANINGS.get((call, code), MEANINGS.get(code, "unknown result code"))


class EklvError(Exception):
    """A call into the library failed.

    ``code`` is the library's result code, ``meaning`` its meaning for
    ``call`` (the entry point's name), ``device_id`` the device asked about.
    """

    def __init__(self, call: str, code: int, device_id: Optional[int] = None) -> None:
        self.call = call
        self.code = code
        self.device_id = device_id
        if code == NO_SUCH_DEVICE and device_id is not None:
            self.meaning = f"no attached device has id {device_id}"
        else:
            self.meaning = meaning(code, call)
        super().__init__(f"{call}: {self.meaning} (result {code})")


class LibraryNotFoundError(OSError):
    """libeklv.so could not be loaded from any of the places tried."""

    def __init__(self, tried: Sequence[tuple[str, str]]) -> None:
        self.tried = list(tried)
        lines = "\n".join(f"  {path}: {reason}" for path, reason in self.tried)
        super().__init__(
            "libeklv could not be loaded; tried:\n" + lines + "\n"
            "Install libeklv (the eklv .deb, or cmake --install), set EKLV_LIBRARY to the path of libeklv.so, "
            "or pass library=PATH."
        )


class AtCommandError(Exception):
    """An AT command was answered with an error result (ERROR, +CME ERROR: n, ...)."""

    def __init__(self, command: str, result: str, lines: Sequence[str]) -> None:
        self.command = command
        self.result = result
        self.lines = list(lines)
        super().__init__(f"{command}: {result}")
