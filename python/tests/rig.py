"""A USB tree in a umockdev testbed, as the library reads it through libudev,
and a modem on the far end of a phone's tty.

    pci 0000:00:14.0 -- usb1 -- hub 1-3 -- composite phone 6b4d:2001 (1-3.2)
        mi_00 modem (ttyACM0, "MTK USB Modem Port"), mi_01 MTP, mi_02 data

The phone's tty is a pty of our own (umockdev's emulated nodes refuse the
terminal ioctls a serial port needs); its sysfs node names the pty's slave.
The process must run under umockdev-wrapper.
"""

from __future__ import annotations

import os
import select
import struct
import threading
import tty
from typing import Dict, List, Tuple

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

COM_PORT_CLASS = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"

# eklv.ini for this tree: the phone passes the filters, the modem's and the
# hubs' interface classes are watched.
INI = (
    "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n"
    "[VID_FILTER]\nVID_0=vid_6b4d\n"
    "[MTK_SMART_PID_FILTER]\nPID_LIST=2001\n"
    "[COMPOSITEDEVICE_FILTER]\npid_2001=1\n"
    "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\nGUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
    "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=2\nMODEM_WAIT=100\n"
)

# (class, subclass, protocol, driver, label, tty, endpoints)
Function = Tuple[int, int, int, str, str, str, int]
MODEM: Function = (0x02, 0x02, 0x01, "cdc_acm", "MTK USB Modem Port", "ttyACM0", 3)
MTP: Function = (0x06, 0x01, 0x01, "", "MTP", "", 3)
DATA: Function = (0xFF, 0x42, 0x01, "usbfs", "Data Interface", "", 2)
HUB: Function = (0x09, 0, 0, "hub", "", "", 1)


def descriptors(vid: int, pid: int, hub: bool, functions: List[Function]) -> bytes:
    """Device descriptor and one configuration with its interfaces and endpoints."""
    device = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 9 if hub else 0, 0, 1 if hub else 0, 64,
                         vid, pid, 0x0100, 1, 2, 3, 1)
    body = b""
    endpoint = 1
    for number, (cls, sub, proto, _, label, _, endpoints) in enumerate(functions):
        body += bytes([9, 4, number, 0, endpoints, cls, sub, proto, 5 + number if label else 0])
        for e in range(endpoints):
            body += struct.pack("<BBBBHB", 7, 5, (0x80 if e % 2 == 0 else 0) | endpoint, 3 if cls == 9 else 2, 512, 0)
            endpoint += 1
    config = struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), len(functions), 1, 0, 0x80, 250)
    return device + config + body


class UsbTree:
    """The tree above, plugged; ``unplug_phone``/``plug_phone`` raise the uevents."""

    def __init__(self) -> None:
        self.testbed = UMockdev.Testbed.new()
        if not UMockdev.in_mock_environment():
            raise RuntimeError("the tests need umockdev's preload library: run them under umockdev-wrapper")
        master, slave = os.openpty()
        tty.setraw(slave)
        self.modem_fd, self._slave = master, slave
        self._pty = os.ttyname(slave)
        base = "/sys/devices/pci0000:00/0000:00:14.0"
        self._add(base, "E: SUBSYSTEM=pci\nE: DRIVER=xhci_hcd\nA: vendor=0x8086\nA: device=0xa36d\n"
                        "A: class=0x0c0330\nL: driver=../../../bus/pci/drivers/xhci_hcd\n")
        root = self._device(base, "usb1", "1-0", 0x1d6b, 0x0002, [HUB], "0", 1, "xHCI Host Controller")
        hub = self._device(root[0][0], "1-3", "1-3", 0x1a40, 0x0101, [HUB], "3", 2, "USB2.0 Hub")
        self._phone = self._device(hub[0][0], "1-3.2", "1-3.2", 0x6b4d, 0x2001, [MODEM, MTP, DATA], "3.2", 3,
                                   "Norvanta Phone")
        self.modem_name = "\\\\?\\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#" + COM_PORT_CLASS

    def _add(self, path: str, text: str) -> None:
        self.testbed.add_from_string(f"P: {path[4:]}\n{text}")

    def _device(self, parent: str, name: str, prefix: str, vid: int, pid: int, functions: List[Function],
                devpath: str, devnum: int, product: str) -> List[Tuple[str, str]]:
        """Adds a device and its interfaces; answers (syspath, record) of each node."""
        hub = functions == [HUB]
        path = f"{parent}/{name}"
        nodes = [(path,
                  f"E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT={vid:04x}/{pid:04x}/100\n"
                  f"A: idVendor={vid:04x}\nA: idProduct={pid:04x}\nA: bcdDevice=0100\n"
                  f"A: bDeviceClass={9 if hub else 0:02x}\nA: bDeviceSubClass=00\nA: bDeviceProtocol=00\n"
                  f"A: bMaxPacketSize0=64\nA: bNumConfigurations=1\nA: bConfigurationValue=1\n"
                  f"A: bNumInterfaces= {len(functions)}\nA: busnum=1\nA: devnum={devnum}\n"
                  f"A: devpath={devpath}\nA: maxchild={4 if hub else 0}\nA: speed=480\nA: version= 2.00\n"
                  f"A: manufacturer=Norvanta\nA: product={product}\nA: serial=0123456789ABCDEF\n"
                  f"A: configuration=Default Configuration\n"
                  f"H: descriptors={descriptors(vid, pid, hub, functions).hex()}\n"
                  "L: driver=../../../../bus/usb/drivers/usb\n")]
        for number, (cls, sub, proto, driver, label, tty_name, endpoints) in enumerate(functions):
            interface = f"{path}/{prefix}:1.{number}"
            text = (f"E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber={number:02x}\n"
                    f"A: bAlternateSetting= 0\nA: bInterfaceClass={cls:02x}\nA: bInterfaceSubClass={sub:02x}\n"
                    f"A: bInterfaceProtocol={proto:02x}\nA: bNumEndpoints={endpoints:02x}\n")
            text += f"A: interface={label}\n" if label else ""
            text += f"L: driver=../../../../../bus/usb/drivers/{driver}\n" if driver else ""
            nodes.append((interface, text))
            if tty_name:
                nodes.append((f"{interface}/tty/{tty_name}", f"E: SUBSYSTEM=tty\nE: DEVNAME={self._pty}\n"))
        for node_path, text in nodes:
            self._add(node_path, text)
        return nodes

    def unplug_phone(self) -> None:
        for path, _ in reversed(self._phone):
            self.testbed.uevent(path, "remove")
            self.testbed.remove_device(path)

    def plug_phone(self) -> None:
        for path, text in self._phone:
            self._add(path, text)

    def close(self) -> None:
        os.close(self.modem_fd)
        os.close(self._slave)
        del self.testbed


class Modem:
    """Answers each command line on the pty's far end: a standing answer for
    the commands in ``answers``, else OK. Records the commands it got."""

    def __init__(self, fd: int, answers: Dict[str, str]) -> None:
        self._fd = fd
        self._answers = answers
        self.commands: List[str] = []
        self._stop_r, self._stop_w = os.pipe()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        line = b""
        while True:
            ready, _, _ = select.select([self._fd, self._stop_r], [], [])
            if self._stop_r in ready:
                return
            try:
                data = os.read(self._fd, 256)
            except OSError:
                return
            line += data
            while b"\r" in line:
                command, line = line.split(b"\r", 1)
                text = command.decode(errors="replace").strip()
                self.commands.append(text)
                os.write(self._fd, self._answers.get(text, "\r\nOK\r\n").encode())

    def stop(self) -> None:
        os.write(self._stop_w, b"x")
        self._thread.join(5)
        os.close(self._stop_r)
        os.close(self._stop_w)
