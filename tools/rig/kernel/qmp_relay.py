#!/usr/bin/env python3
"""Carries the guest's requests for plugging and pulling qemu's USB devices
to qemu's QMP socket, so that a test inside the guest can pull a hub from
outside, as a person pulling a cable would.

Usage: qmp_relay.py QMP_SOCKET GUEST_SOCKET

Both are qemu's own server sockets: QMP, and the chardev behind the guest's
second serial port (/dev/ttyS1). The guest writes one request per line,
"COMMAND key=value,key=value", for example "device_del id=hub2" or
"device_add driver=usb-hub,id=hub2,bus=xhci.0,port=2"; the relay runs it and
answers "ok" or "error TEXT" on a line of its own. A device_del is answered
once the device has left qemu's device tree (its DEVICE_DELETED event can
come much later: qemu sends it when the last reference goes). The relay
ends when qemu closes either socket.
"""
import json
import socket
import sys
import time


def connect(path, deadline):
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


class Qmp:
    def __init__(self, sock):
        self.stream = sock.makefile("rw", encoding="utf-8", errors="replace", newline="\n")
        self.stream.readline()  # the greeting
        self.run("qmp_capabilities", {})

    def run(self, command, arguments):
        """Runs one command; answers (None, its result) or (qemu's error text, None)."""
        self.stream.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.stream.flush()
        while True:
            line = self.stream.readline()
            if not line:
                raise EOFError("qemu closed QMP")
            message = json.loads(line)
            if "return" in message:
                return None, message["return"]
            if "error" in message:
                return message["error"].get("desc", "error"), None
            # anything else is an event

    def wait_gone(self, device, timeout=10.0):
        """Waits until device is no longer in /machine/peripheral."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            error, children = self.run("qom-list", {"path": "/machine/peripheral"})
            if error is None and all(child.get("name") != device for child in children):
                return True
            time.sleep(0.05)
        return False


def parse(line):
    command, _, rest = line.strip().partition(" ")
    arguments = {}
    for pair in filter(None, rest.split(",")):
        key, _, value = pair.partition("=")
        arguments[key] = value
    return command, arguments


def main():
    if len(sys.argv) != 3:
        print("usage: qmp_relay.py QMP_SOCKET GUEST_SOCKET", file=sys.stderr)
        return 2
    deadline = time.monotonic() + 120
    qmp = Qmp(connect(sys.argv[1], deadline))
    guest = connect(sys.argv[2], deadline).makefile("rw", encoding="utf-8", errors="replace", newline="\n")
    for line in guest:
        if not line.strip():
            continue
        command, arguments = parse(line)
        error, _ = qmp.run(command, arguments)
        if error is None and command == "device_del" and not qmp.wait_gone(arguments.get("id")):
            error = "the device is still in qemu's device tree"
        print(f"qmp_relay: {line.strip()}: {error or 'ok'}", file=sys.stderr, flush=True)
        guest.write("ok\n" if error is None else f"error {error}\n")
        guest.flush()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (EOFError, OSError) as e:
        print(f"qmp_relay: {e}", file=sys.stderr)
        sys.exit(1)
