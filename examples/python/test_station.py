"""The station of station.py, tested on a simulated plant: in-process, over
TDS, and through a dropped connection whose result is kept and resent."""
import os

import pytest

import dezozevo
from station import run_unit

MID = lambda lo, hi: (lo + hi) / 2  # noqa: E731
HIGH = lambda lo, hi: hi + 0.5  # noqa: E731


def cycle(t, plant):
    outcomes = {s: run_unit(t, s, m) for s, m in
                [("SN24001-0003", MID), ("SN24001-0005", HIGH), ("SN24001-0006", MID), ("SN24001-0008", MID)]}
    assert [(o.verdict, o.status) for o in outcomes.values()] == [("PASS", 0), ("FAIL", 0), ("REFUSED", 3),
                                                                  ("REFUSED", 4)]
    stored = {r["serial"]: r for r in plant.results()}
    assert stored["SN24001-0003"]["test_id"] == outcomes["SN24001-0003"].test_id
    assert stored["SN24001-0005"]["status"] == "FAIL"


def test_cycle_in_process(station_home, mes_plant):
    with dezozevo.Tester() as t:
        cycle(t, mes_plant)


def test_cycle_over_tds(mes_server, station_home, mes_plant):
    with dezozevo.Tester() as t:
        assert t.state.server == mes_server.data_source
        cycle(t, mes_plant)


@pytest.mark.parametrize("how", ["dropped", "server stopped"])
def test_lost_result_is_kept_and_resent(how, mes_server, station_home, mes_plant):
    station_home.set(ERROR={"ResendOnNetErr": "yes"})
    stored = lambda: [r["serial"] for r in mes_plant.results() if r["station"] == "FCT-01"]  # noqa: E731
    before = stored()
    with dezozevo.Tester() as t:
        assert run_unit(t, "SN24001-0003", MID).test_id is not None
        if how == "dropped":
            mes_plant.answer(uspTestSaveResult={"drop": True})
        else:
            mes_server.stop()
        doc = station_home.sample_result.replace("SN24001-0003", "SN24001-0004")
        assert t.save_result(doc) == (9002 if how == "dropped" else 9001)
        assert os.path.exists(station_home.resend_file)
        assert stored() == before + ["SN24001-0003"]

        mes_plant.answer()
        mes_server.start()
        # The next unit query on generation 10 sends the kept result first.
        unit = t.get_unit_info('<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN24001-0004"/>')
        assert unit.ok
        assert not os.path.exists(station_home.resend_file)
        assert stored() == before + ["SN24001-0003", "SN24001-0004"]
