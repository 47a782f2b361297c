"""What a host is told when the library cannot be found or does not start."""

from __future__ import annotations

import gi
import pytest

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

import eklv  # noqa: E402
from eklv.events import Event, Pairing  # noqa: E402
from eklv import _native  # noqa: E402


def test_library_that_cannot_be_loaded(tmp_path):
    for path in (tmp_path / "missing" / "libeklv.so", tmp_path):
        with pytest.raises(eklv.LibraryNotFoundError) as missing:
            eklv.Eklv(path)
        assert missing.value.tried[0][0] == str(path)
        assert str(path) in str(missing.value) and "EKLV_LIBRARY" in str(missing.value)


def test_library_that_does_not_start(folder):
    testbed = UMockdev.Testbed.new()  # a USB tree without hubs
    phones = eklv.Eklv(folder.library)
    with pytest.raises(eklv.EklvError) as failed:
        phones.start()
    assert failed.value.code == 1 and "no USB hub" in failed.value.meaning
    assert not phones.initialised
    with pytest.raises(eklv.EklvError) as stopped:
        phones.product(0)
    assert stopped.value.code == 14
    del testbed


def test_blocks_complete_their_messages_in_order():
    pairing = Pairing(host_fed=False, grace=0.5)
    for device_id in (1, 2):
        pairing.message(Event(True, device_id, 0x8002, "INF_DATA"), now=0.0)
    block = _native.NotificationBlock(device_id=2, event=_native.DBT_DEVICEARRIVAL)
    block.device_name = b"name-2"
    pairing.block(block)
    # The first message lost its block; the second got its own.
    assert [(e.device_id, e.name) for e in (pairing.pop(0.1), pairing.pop(0.1))] == [(1, ""), (2, "name-2")]
    pairing.message(Event(False, 3, 0x8002, "INF_DATA"), now=1.0)
    assert pairing.pop(1.1) is None and pairing.pop(1.5).device_id == 3
