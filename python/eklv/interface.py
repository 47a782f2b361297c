"""One interface of a phone: open, read, write, AT commands, port settings."""

from __future__ import annotations

import ctypes
import time
from typing import TYPE_CHECKING, List, Optional, Union

from . import _native
from .errors import INVALID_HANDLE, AtCommandError, EklvError
from .events import type_name

if TYPE_CHECKING:
    from .library import Eklv

_ERROR_RESULTS = ("ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE")


def response_lines(response: str) -> List[str]:
    """A modem response split into its non-empty lines."""
    return [line.strip() for line in response.replace("\r", "\n").split("\n") if line.strip()]


def is_final(line: str) -> bool:
    return line == "OK" or is_error(line)


def is_error(line: str) -> bool:
    return line in _ERROR_RESULTS or line.startswith(("+CME ERROR", "+CMS ERROR"))


class Interface:
    """An interface of an attached phone (``INF_DATA``, ``INF_UART``, ...).

    >>> with phones.interface(0, "INF_UART").open() as modem:
    ...     print(modem.at("ATI"))

    Every failure raises EklvError with the library's result code.
    """

    def __init__(self, eklv: "Eklv", device_id: int, interface_type: Union[int, str]) -> None:
        if isinstance(interface_type, str):
            name = interface_type.upper()
            name = name if name.startswith("INF_") else "INF_" + name
            if name not in _native.INTERFACE_TYPES:
                raise ValueError(f"unknown interface type {interface_type!r}")
            interface_type = _native.INTERFACE_TYPES[name]
        self._eklv = eklv
        self.device_id = device_id
        self.interface_type = interface_type
        self._handle: Optional[int] = None
        self._baud_rate: Optional[int] = None

    @property
    def type_name(self) -> str:
        return type_name(self.interface_type)

    def __repr__(self) -> str:
        return f"<eklv.Interface device {self.device_id} {self.type_name}{' open' if self.is_open else ''}>"

    @property
    def is_open(self) -> bool:
        return self._handle is not None

    def open(self, synchronous: bool = True) -> "Interface":
        """Opens the interface: blocking (reads answer what came within the
        port's time-outs) or, with ``synchronous=False``, with the library's
        reader thread (a read answers a whole response)."""
        handle = ctypes.c_size_t(0)
        self._call(
            "EKLVOpenDevice", self.device_id, self.interface_type, ctypes.byref(handle), 1 if synchronous else 0
        )
        self._handle = handle.value
        return self

    def close(self) -> None:
        """Closes the interface; nothing to do when it is not open, or when
        the library has stopped (which closed it)."""
        if self._handle is None:
            return
        self._handle = None
        if self._eklv.initialised:
            self._call("EKLVCloseDevice", self.device_id, self.interface_type)

    def __enter__(self) -> "Interface":
        return self if self.is_open else self.open()

    def __exit__(self, *exc: object) -> None:
        try:
            self.close()
        except Exception:
            if exc[0] is None:
                raise

    def write(self, data: Union[bytes, str]) -> None:
        """Writes all of ``data`` (text is sent as UTF-8)."""
        raw = data.encode() if isinstance(data, str) else bytes(data)
        self._call("EKLVWriteData", self.device_id, self._open_handle("EKLVWriteData"), raw, len(raw))

    def read(self, size: int = 4096) -> bytes:
        """Reads up to ``size`` bytes; b"" when nothing came in time."""
        buffer = ctypes.create_string_buffer(size)
        length = ctypes.c_uint32(size)
        self._call("EKLVReadData", self.device_id, self._open_handle("EKLVReadData"), buffer, ctypes.byref(length))
        return buffer.raw[: min(length.value, size)]

    def at(self, command: str, timeout: float = 5.0) -> List[str]:
        """Sends an AT command and answers the lines of its response, without
        the echo and the final OK. An error result raises AtCommandError, no
        final result within ``timeout`` seconds TimeoutError."""
        self.write(command + "\r")
        response = ""
        deadline = time.monotonic() + timeout
        while True:
            response += self.read().decode("utf-8", "replace")
            lines = response_lines(response)
            if lines and lines[0] == command:
                lines = lines[1:]
            final = next((i for i, line in enumerate(lines) if is_final(line)), None)
            if final is not None:
                if is_error(lines[final]):
                    raise AtCommandError(command, lines[final], lines[:final])
                return lines[:final]
            if time.monotonic() >= deadline:
                raise TimeoutError(f"{command}: no final result within {timeout} s (got {lines!r})")

    @property
    def baud_rate(self) -> Optional[int]:
        """The rate last set through this object (None before); setting it
        changes the open port's rate."""
        return self._baud_rate

    @baud_rate.setter
    def baud_rate(self, rate: int) -> None:
        value = ctypes.c_uint32(rate)
        self._call("EKLVSetBaudRate", self.device_id, self.interface_type, ctypes.byref(value))
        self._baud_rate = rate

    @property
    def com_port(self) -> str:
        """The interface's port name ("ttyACM0")."""
        text = _native.new_string()
        try:
            self._call("EKLVGetComPort", self.device_id, self.interface_type, ctypes.byref(text))
        finally:
            port = _native.take_string(text)
        return port

    @property
    def product(self) -> str:
        """The phone's product string descriptor."""
        return self._eklv.product(self.device_id)

    def _open_handle(self, call: str) -> int:
        # Not open here: the library would answer 2 for its invalid handle.
        if self._handle is None:
            raise EklvError(call, INVALID_HANDLE, self.device_id)
        return self._handle

    def _call(self, name: str, *args: object) -> None:
        self._eklv.call(name, *args, device_id=self.device_id)
