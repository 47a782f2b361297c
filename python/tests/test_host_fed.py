"""Host-fed mode: the host reports the phone, the library announces it on
the host window and serves it."""

from __future__ import annotations

import eklv


def test_host_reports_a_phone(folder, tree, modem):
    with eklv.Eklv(folder.library, self_monitoring=False) as phones:
        phones.notify(7, tree.modem_name)
        arrival = phones.wait_for(lambda e: True)
        assert (arrival.arrival, arrival.device_id, arrival.type_name, arrival.name) == (True, 7, "INF_DATA", "")
        with phones.interface(7, "INF_DATA") as port:
            assert port.at("ATI") == ["Norvanta Phone", "Revision: 1.0"]
        phones.notify(7, tree.modem_name, arrival=False)
        removal = phones.wait_for(lambda e: True)
        assert (removal.arrival, removal.device_id) == (False, 7)
