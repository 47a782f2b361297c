"""Arrivals and removals: the host window that receives the library's
registered messages, and the pairing of those messages with the callback's
notification blocks.

In self-monitoring mode the library tells of each change twice: first the
registered message (device id, interface type) to the host window, then the
800-byte block (symbolic name, product) to the callback. Only the message
carries the interface type, so the binding needs both. Both come in the order
the library handled the changes, so a block completes the oldest waiting
message of the same device and kind; messages before it have lost their
blocks. A message whose block does not come within a grace time is reported
without it. In host-fed mode the library sends no blocks.
"""

from __future__ import annotations

import ctypes
import queue
import threading
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Optional, Tuple

from . import _native


# What the host window and the callback hand to the consumer: ("message",
# Event, time), ("block", NotificationBlock, time) or ("closed", None, 0).
InboxItem = Tuple[str, Any, float]


@dataclass(frozen=True)
class Event:
    """One interface of a phone arrived or left."""

    arrival: bool
    device_id: int
    interface_type: int
    type_name: str  # "INF_DATA", or the code in hex when the library names no type
    name: str = ""  # the interface's symbolic name ("" when no block came)
    product: str = ""  # the phone's product string
    product_id: str = ""  # "pid_2001"

    @property
    def kind(self) -> str:
        return "arrival" if self.arrival else "removal"


def type_name(interface_type: int) -> str:
    return _native.TYPE_NAMES.get(interface_type, f"0x{interface_type:04x}")


def _field(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


class Pairing:
    """Joins messages and blocks into events; used by one consumer thread."""

    def __init__(self, host_fed: bool, grace: float = 0.5) -> None:
        self._host_fed = host_fed
        self._grace = grace
        self._waiting: Deque[Tuple[Event, float]] = deque()
        self._ready: Deque[Event] = deque()

    def message(self, event: Event, now: float) -> None:
        if self._host_fed:
            self._ready.append(event)
        else:
            self._waiting.append((event, now))

    def block(self, block: _native.NotificationBlock) -> None:
        arrival = block.event == _native.DBT_DEVICEARRIVAL
        for index, (event, _) in enumerate(self._waiting):
            if event.device_id == block.device_id and event.arrival == arrival:
                break
        else:
            return  # its message was reported without it
        for _ in range(index):
            self._ready.append(self._waiting.popleft()[0])
        event = self._waiting.popleft()[0]
        self._ready.append(
            Event(
                event.arrival,
                event.device_id,
                event.interface_type,
                event.type_name,
                _field(block.device_name),
                _field(block.product),
                _field(block.product_id),
            )
        )

    def pop(self, now: float) -> Optional[Event]:
        while self._waiting and now - self._waiting[0][1] >= self._grace:
            self._ready.append(self._waiting.popleft()[0])
        return self._ready.popleft() if self._ready else None

    def due(self) -> Optional[float]:
        return self._waiting[0][1] + self._grace if self._waiting else None


_BLOCK_MESSAGE = _native.WM_USER + 1


class HostWindow:
    """A message window of libeklv_host on a thread of its own.

    Registered messages land in ``inbox`` as ("message", Event, time).
    Blocks from the callback (``post_block``) take the road through the
    window's queue too: the library posts the message before it calls the
    callback, so in one queue a block always comes after its message, which
    two threads feeding the inbox could not promise. Other messages are
    dispatched to the window, whose procedure ignores them.
    """

    def __init__(self, native: _native.Native, inbox: "queue.Queue[InboxItem]") -> None:
        self._host = native.host
        self._inbox = inbox
        self._arrival = self._host.EKLVHostRegisterWindowMessage(_native.MSG_INTERFACE_ARRIVAL)
        self._removal = self._host.EKLVHostRegisterWindowMessage(_native.MSG_INTERFACE_REMOVAL)
        self._proc = _native.WndProc(lambda hwnd, message, wparam, lparam, user: 0)
        self._blocks: Deque[Tuple[_native.NotificationBlock, float]] = deque()
        self._blocks_lock = threading.Lock()
        self._stopping = threading.Event()
        self._created = threading.Event()
        self.hwnd = 0
        self._thread = threading.Thread(target=self._run, name="eklv-host-window", daemon=True)
        self._thread.start()
        self._created.wait(10)
        if not self.hwnd:
            self.stop()
            raise RuntimeError("libeklv_host could not create a message window")

    def _run(self) -> None:
        host = self._host
        self.hwnd = host.EKLVHostCreateWindow(self._proc, None)
        self._created.set()
        if not self.hwnd:
            return
        msg = _native.Msg()
        while not self._stopping.is_set():
            got = host.EKLVHostGetMessageTimeout(ctypes.byref(msg), 0, 0, 0, 1000)
            if got == -2:
                continue
            if got != 1:
                break
            if msg.message in (self._arrival, self._removal):
                interface_type = msg.lparam & 0xFFFFFFFF
                event = Event(
                    msg.message == self._arrival, msg.wparam & 0xFFFF, interface_type, type_name(interface_type)
                )
                self._inbox.put(("message", event, time.monotonic()))
            elif msg.message == _BLOCK_MESSAGE:
                with self._blocks_lock:
                    block, when = self._blocks.popleft()
                self._inbox.put(("block", block, when))
            else:
                host.EKLVHostDispatchMessage(ctypes.byref(msg))
        host.EKLVHostDestroyWindow(self.hwnd)

    def post_block(self, block: _native.NotificationBlock) -> None:
        """Queues a callback's block behind the messages already posted."""
        with self._blocks_lock:
            self._blocks.append((block, time.monotonic()))
            if self._host.EKLVHostPostMessage(self.hwnd, _BLOCK_MESSAGE, 0, 0):
                return
            self._blocks.pop()  # the window's queue is full: straight to the inbox
        self._inbox.put(("block", block, time.monotonic()))

    def stop(self) -> None:
        """Ends the thread; its window is destroyed on it."""
        self._stopping.set()
        if self.hwnd:
            self._host.EKLVHostPostMessage(self.hwnd, _native.WM_USER, 0, 0)
        self._thread.join(10)
