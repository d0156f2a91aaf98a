"""The station of station.py, tested on a simulated plant: on generation 10
and 24, and over TDS through a dropped connection whose result is kept and
resent."""
import os

import pytest

import dezozevo
from station import run_unit

MID = lambda lo, hi: (lo + hi) / 2  # noqa: E731
HIGH = lambda lo, hi: hi + 0.5  # noqa: E731


UNITS = [("SN24001-0003", MID), ("SN24001-0005", HIGH), ("SN24001-0006", MID), ("SN24001-0008", MID)]
# Generation 10 refuses in CheckRoute with the database's code, 24 by the unit
# document (schema 24 has the database's message texts).
EXPECTED = {
    10: [("PASS", 0, ""), ("FAIL", 0, ""), ("REFUSED", 3, "returned value=3"), ("REFUSED", 4, "returned value=4")],
    24: [("PASS", 0, ""), ("FAIL", 0, ""), ("REFUSED", 3, "another station"), ("REFUSED", 4, "on hold")],
}


def cycle(t, plant, generation):
    outcomes = [run_unit(t, s, m) for s, m in UNITS]
    got = [(o.verdict, o.status) for o in outcomes]
    assert got == [e[:2] for e in EXPECTED[generation]]
    for o, (_, _, reason) in zip(outcomes, EXPECTED[generation]):
        assert reason.lower() in o.reason.lower()
    # Only the tested units are stored; the refused ones are not.
    stored = plant.results()
    assert [(r["serial"], r["status"]) for r in stored] == [("SN24001-0003", "PASS"), ("SN24001-0005", "FAIL")]


@pytest.mark.parametrize("mes_plant", [10, 24], indirect=True)
def test_cycle_in_process(station_home, mes_plant):
    with dezozevo.Tester() as t:
        cycle(t, mes_plant, mes_plant.generation)


def test_dropped_result_is_kept_and_resent(mes_server, station_home, mes_plant):
    station_home.set(ERROR={"ResendOnNetErr": "yes"})
    stored = lambda: [r["serial"] for r in mes_plant.results()]  # noqa: E731
    before = stored()
    with dezozevo.Tester() as t:
        assert run_unit(t, "SN24001-0003", MID).test_id is not None
        mes_plant.answer(uspTestSaveResult={"drop": True})
        doc = station_home.sample_result.replace("SN24001-0003", "SN24001-0004")
        assert t.save_result(doc) == 9002
        assert os.path.exists(station_home.resend_file)
        assert stored() == before + ["SN24001-0003"]

        mes_plant.answer()
        # The next unit query on generation 10 sends the kept result first.
        unit = t.get_unit_info('<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN24001-0004"/>')
        assert unit.ok
        assert not os.path.exists(station_home.resend_file)
        assert stored() == before + ["SN24001-0003", "SN24001-0004"]
