"""Fixtures: a copy of the built libeklv.so in a folder of its own with its
eklv.ini (where it also writes its log), and the umockdev USB tree."""

from __future__ import annotations

import os
import shutil
from pathlib import Path
from typing import Iterator

import pytest

from rig import INI, Modem, UsbTree

ANSWERS = {"ATI": "\r\nNorvanta Phone\r\nRevision: 1.0\r\n\r\nOK\r\n", "AT+CFUN=9": "\r\n+CME ERROR: 50\r\n"}


class LibraryFolder:
    def __init__(self, path: Path) -> None:
        self.path = path
        self.library = path / "libeklv.so"

    def log(self) -> str:
        return "".join(p.read_text(errors="replace") for p in sorted(self.path.glob("*EKLV_Core.log")))


@pytest.fixture
def folder(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> LibraryFolder:
    built = os.environ.get("EKLV_LIBRARY")
    if not built:
        pytest.fail("EKLV_LIBRARY must name the built libeklv.so (scripts/test-python.sh sets it)")
    shutil.copy(built, tmp_path / "libeklv.so")
    (tmp_path / "eklv.ini").write_text(INI)
    # No device-id settings from the machine's common files.
    monkeypatch.setenv("EKLV_COMMON_APPDATA", str(tmp_path))
    monkeypatch.delenv("EKLV_LIBRARY")
    # Settings and log beside the copy, whatever the environment names.
    monkeypatch.delenv("EKLV_CONFIG_DIR", raising=False)
    monkeypatch.delenv("EKLV_LOG_DIR", raising=False)
    return LibraryFolder(tmp_path)


@pytest.fixture
def tree() -> Iterator[UsbTree]:
    usb = UsbTree()
    yield usb
    usb.close()


@pytest.fixture
def modem(tree: UsbTree) -> Iterator[Modem]:
    m = Modem(tree.modem_fd, ANSWERS)
    yield m
    m.stop()
