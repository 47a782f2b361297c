"""A phone's road in self-monitoring mode: announced at start-up, AT
commands through its modem, pulled out; and the library is stopped on every
road out of the ``with``."""

from __future__ import annotations

import threading

import pytest

import eklv


def test_road_of_a_phone(folder, tree, modem):
    with eklv.Eklv(folder.library) as phones:
        arrival = phones.wait_for(lambda e: e.arrival)
        assert (arrival.type_name, arrival.product, arrival.product_id) == ("INF_DATA", "Norvanta Phone", "pid_2001")
        assert arrival.name.lower() == tree.modem_name.lower()

        with phones.interface(arrival.device_id, arrival.type_name) as port:
            assert port.at("ATI") == ["Norvanta Phone", "Revision: 1.0"]
            assert port.at("AT") == []
            with pytest.raises(eklv.AtCommandError) as refused:
                port.at("AT+CFUN=9")
            assert refused.value.result == "+CME ERROR: 50"
            port.baud_rate = 921600
            assert (port.baud_rate, port.com_port, port.product) == (921600, "ttyACM0", "Norvanta Phone")
        assert modem.commands == ["ATI", "AT", "AT+CFUN=9"]

        with pytest.raises(eklv.EklvError) as absent:
            phones.interface(999, "uart").open()
        assert absent.value.code == 3
        assert str(absent.value) == "EKLVOpenDevice: no attached device has id 999 (result 3)"

        tree.unplug_phone()
        removal = phones.wait_for(lambda e: not e.arrival)
        assert (removal.device_id, removal.type_name) == (arrival.device_id, "INF_DATA")
        with pytest.raises(eklv.EklvError) as gone:
            phones.product(arrival.device_id)
        assert gone.value.code == 3
        tree.plug_phone()
        again = phones.wait_for(lambda e: e.arrival)
        assert again.device_id == arrival.device_id, "the same port keeps its device id"
        port = phones.interface(again.device_id, "INF_DATA").open()

    assert not phones.initialised
    log = folder.log()
    assert log.count("EKLVUninitialize (->), 0") == 1
    # After EKLVUninitialize the binding answers 14 itself: nothing reaches the library.
    with pytest.raises(eklv.EklvError) as stopped:
        port.write("AT\r")
    assert (stopped.value.code, stopped.value.meaning) == (14, "the library is not initialised")
    port.close()
    assert folder.log() == log
    assert list(phones.events(timeout=0.1)) == []


def test_exception_in_the_with_stops_the_library(folder, tree):
    threads = threading.active_count()
    with pytest.raises(ZeroDivisionError):
        with eklv.Eklv(folder.library) as phones:
            phones.wait_for(lambda e: e.arrival)
            1 / 0
    assert not phones.initialised
    assert threading.active_count() == threads, "the host window's thread has ended"
    assert folder.log().count("EKLVUninitialize (->), 0") == 1
    # The copy starts again: it was not left initialised.
    with eklv.Eklv(folder.library) as phones:
        assert phones.wait_for(lambda e: e.arrival).type_name == "INF_DATA"
