"""The library initialised for one host: the context manager ``Eklv``."""

from __future__ import annotations

import atexit
import ctypes
import os
import queue
import threading
import time
import uuid
from typing import TYPE_CHECKING, Any, Callable, Iterator, Optional, Union

from . import _native
from .errors import NOT_INITIALIZED, OK, EklvError
from .events import Event, HostWindow, InboxItem, Pairing

if TYPE_CHECKING:
    from .interface import Interface

# Library paths initialised in this process: the library is one instance per
# loaded copy, so two hosts on one copy would share (and stop) each other's.
_active: set[str] = set()
_active_lock = threading.Lock()


class Eklv:
    """libeklv initialised in self-monitoring or host-fed mode.

    >>> with Eklv() as phones:
    ...     for event in phones.events(timeout=5):
    ...         print(event.kind, event.device_id, event.type_name, event.product)

    Entering initialises the library (``EKLVInitialize``, which waits a
    second for the start-up scan); leaving, by any road, uninitialises it.
    Once uninitialised, every call raises EklvError with result 14 without
    reaching the library.

    ``library`` is the path of libeklv.so; without it ``$EKLV_LIBRARY``, then
    the system's libeklv.so.1, are tried. In self-monitoring mode the library
    watches the USB tree and reports phones already present; in host-fed
    mode (``self_monitoring=False``) the host reports changes with
    ``notify``.
    """

    def __init__(self, library: Optional[Union[str, "os.PathLike[str]"]] = None, *, self_monitoring: bool = True) -> None:
        self._native = _native.load(os.fspath(library) if library is not None else None)
        self.self_monitoring = self_monitoring
        self._inbox: "queue.Queue[InboxItem]" = queue.Queue()
        self._pairing = Pairing(host_fed=not self_monitoring)
        self._callback = _native.NotifyCallback(self._on_block)
        self._window: Optional[HostWindow] = None
        self._state = threading.Condition()
        self._initialised = False
        self._in_flight = 0

    @property
    def library_path(self) -> str:
        """The path the library was loaded from."""
        return self._native.path

    @property
    def initialised(self) -> bool:
        return self._initialised

    # ---- lifecycle ----

    def __enter__(self) -> "Eklv":
        self.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.stop(raise_on_error=exc[0] is None)

    def start(self) -> None:
        """Initialises the library; raises EklvError when it does not start
        (the library has then stopped itself again)."""
        with _active_lock:
            if self._native.path in _active:
                raise RuntimeError(f"{self._native.path} is already initialised in this process")
            _active.add(self._native.path)
        code: Optional[int] = None
        try:
            self._window = HostWindow(self._native, self._inbox)
            params = _native.InitParams()
            params.client_window = self._window.hwnd
            params.self_monitoring = 1 if self.self_monitoring else 0
            params.callback_context = 1
            params.callback = self._callback
            code = answer = int(self._native.lib.EKLVInitialize(ctypes.byref(params)))
            if answer != OK:
                raise EklvError("EKLVInitialize", answer)  # the library has stopped itself
            with self._state:
                self._initialised = True
            atexit.register(self.stop)
        except BaseException:
            if code == OK:  # interrupted once started (Ctrl-C): stop it again
                with self._state:
                    self._initialised = False
                atexit.unregister(self.stop)
                self._native.lib.EKLVUninitialize()
            self._release()
            raise

    def stop(self, raise_on_error: bool = False) -> None:
        """Uninitialises the library, after the calls in progress have
        returned. Does nothing when it is not initialised."""
        with self._state:
            if not self._initialised:
                return
            self._initialised = False
            self._state.wait_for(lambda: self._in_flight == 0)
        atexit.unregister(self.stop)
        code = self._native.lib.EKLVUninitialize()
        self._release()
        if code != OK and raise_on_error:
            raise EklvError("EKLVUninitialize", code)

    def _release(self) -> None:
        if self._window is not None:
            self._window.stop()
            self._window = None
        with _active_lock:
            _active.discard(self._native.path)
        self._inbox.put(("closed", None, 0.0))

    # ---- guarded calls ----

    def call(self, name: str, *args: Any, device_id: Optional[int] = None) -> None:
        """Calls entry point ``name``; raises EklvError for a result other
        than 0, and for 14 without calling when the library is not
        initialised."""
        with self._state:
            if not self._initialised:
                raise EklvError(name, NOT_INITIALIZED, device_id)
            self._in_flight += 1
        try:
            code = getattr(self._native.lib, name)(*args)
        finally:
            with self._state:
                self._in_flight -= 1
                self._state.notify_all()
        if code != OK:
            raise EklvError(name, code, device_id)

    # ---- devices ----

    def interface(self, device_id: int, interface_type: Union[int, str]) -> "Interface":
        """The interface of a phone, not yet open."""
        from .interface import Interface

        return Interface(self, device_id, interface_type)

    def product(self, device_id: int) -> str:
        """The phone's product string descriptor."""
        text = _native.new_string()
        try:
            self.call("EKLVGetProductStringDescriptor", device_id, ctypes.byref(text), device_id=device_id)
        finally:
            result = _native.take_string(text)
        return result

    def set_logging(self, level_mask: int, flush: bool = False) -> None:
        """Changes the core log's level mask (1 information, 2 warnings,
        4 errors) and flush flag; written back to eklv.ini at shutdown."""
        settings = _native.LogSettings(level_mask, 1 if flush else 0)
        self.call("EKLVSetCoreLogging", ctypes.byref(settings))

    def notify(self, device_id: int, name: str, arrival: bool = True) -> None:
        """Host-fed mode: reports that the interface with symbolic name
        ``name`` arrived (or left), under ``device_id``; returns when the
        library has handled it."""
        block = _native.NotificationBlock()
        block.device_id = device_id
        block.device_name = name.encode()[:255]
        try:
            guid = uuid.UUID(name[name.rindex("#{") + 1 :])
            block.class_guid.data1, block.class_guid.data2, block.class_guid.data3 = guid.fields[:3]
            block.class_guid.data4[:] = list(guid.bytes[8:])
        except ValueError:
            pass  # no class in the name: the library turns it down and says so in its log
        block.event = _native.DBT_DEVICEARRIVAL if arrival else _native.DBT_DEVICEREMOVECOMPLETE
        self.call("EKLVNotification", ctypes.byref(block), device_id=device_id)

    # ---- events ----

    def _on_block(self, context: int, data: Optional[int]) -> None:
        # On the library's callback thread: copy the block and hand it over.
        window = self._window
        if data and window is not None:
            window.post_block(_native.NotificationBlock.from_buffer_copy(ctypes.string_at(data, 800)))

    def next_event(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next arrival or removal, or None when none comes within
        ``timeout`` seconds (None: wait until the library is stopped)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        wait: Optional[float] = 0.0
        while True:
            # Take in everything that has come before judging a message
            # overdue: its block may be queued right behind it.
            try:
                while True:
                    self._take(self._inbox.get(timeout=wait) if wait != 0.0 else self._inbox.get_nowait())
                    wait = 0.0
            except queue.Empty:
                pass
            now = time.monotonic()
            event = self._pairing.pop(now)
            if event is not None:
                return event
            if not self._initialised:
                return self._pairing.pop(float("inf"))
            if deadline is not None and deadline <= now:
                return None
            waits = [t - now for t in (deadline, self._pairing.due()) if t is not None]
            wait = max(0.001, min(waits)) if waits else None

    def _take(self, item: InboxItem) -> None:
        kind, payload, when = item
        if kind == "message":
            self._pairing.message(payload, when)
        elif kind == "block":
            self._pairing.block(payload)

    def events(self, timeout: Optional[float] = None) -> Iterator[Event]:
        """Arrivals and removals as they come; ends when none comes within
        ``timeout`` seconds (None: when the library is stopped)."""
        while True:
            event = self.next_event(timeout)
            if event is None:
                return
            yield event

    def wait_for(self, predicate: Callable[[Event], bool], timeout: float = 10.0) -> Event:
        """The first event that satisfies ``predicate``; TimeoutError when
        none does within ``timeout`` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.next_event(max(0.0, deadline - time.monotonic()))
            if event is None:
                raise TimeoutError(f"no matching event within {timeout} s")
            if predicate(event):
                return event
