#!/usr/bin/env python3
"""A functional-test station in Python: for each unit the check that it may
be tested here, the unit's data and limits, a (simulated) measurement and the
result upload.

may_test is right on every generation: generation 10 checks the route in the
database (CheckRoute); 20 and later answer CheckRoute with 0 without asking,
so the unit document's Status and NextStation decide. A unit on hold or due at
another station is neither tested nor stored.

usage: station.py [--home DIR] SERIAL...
The component folder is DIR, else $DEZOZEVO_HOME.
"""
import argparse
import random
import sys
import xml.etree.ElementTree as ET
from dataclasses import dataclass
from typing import Optional

import dezozevo

STATION = "FCT-01"


@dataclass
class Outcome:
    serial: str
    verdict: str  # PASS, FAIL or REFUSED
    status: int = 0  # the component's status of the refusing or failing call
    reason: str = ""  # why a unit was refused
    test_id: Optional[int] = None
    vout: Optional[float] = None


def unit_data(unit_info: str) -> dict:
    """Names and values of the unit document (generation 10 UNITDATA, 20 UnitData)."""
    data = {}
    for item in ET.fromstring(unit_info).iter():
        if item.tag in ("UNITDATA", "UnitData"):
            name = item.findtext("NAME") or item.findtext("Name")
            data[name] = item.findtext("VALUE") or item.findtext("Value") or ""
    return data


def result_document(serial: str, vout: float, lo: float, hi: float) -> str:
    status = "PASS" if lo <= vout <= hi else "FAIL"
    run = ET.Element("TestRun", Station=STATION, Operator="py", Program="FCT-5000", ProgramVersion="3.1.0",
                     Fixture="FX-FCT-07", Start="2026-03-07T14:05:09", End="2026-03-07T14:06:31")
    dut = ET.SubElement(run, "DUT", ID=serial, STATUS=status, PartNumber="ASM-5000", Revision="C")
    step = ET.SubElement(dut, "Step", Name="Output voltage", Status=status)
    ET.SubElement(step, "Measurement", Name="Vout", Value=f"{vout:.3f}", Unit="V", Low=f"{lo:.2f}",
                  High=f"{hi:.2f}", Status=status)
    return ET.tostring(run, encoding="unicode")


def run_unit(t: dezozevo.Tester, serial: str, measure=lambda lo, hi: random.uniform(lo, hi)) -> Outcome:
    """One unit through the station: may it be tested here, unit data, measurement, upload."""
    unit = t.may_test(serial, STATION)
    if not unit.ok:
        return Outcome(serial, "REFUSED", unit.status, why(t, unit.status) or unit.reason)
    data = unit_data(unit.unit_info)
    lo, hi = float(data.get("Vout_min_V", "11.4")), float(data.get("Vout_max_V", "12.6"))
    vout = measure(lo, hi)
    doc = result_document(serial, vout, lo, hi)
    status = t.save_result(doc)
    verdict = "PASS" if lo <= vout <= hi else "FAIL"
    return Outcome(serial, verdict, status, test_id=t.state.test_id if status == 0 else None, vout=vout)


def why(t: dezozevo.Tester, status: int) -> str:
    """The database's text for a refusal (generation 23 and later), or ""."""
    try:
        return t.get_err_message(status)
    except dezozevo.DezozevoError:
        return ""


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--home", help="the component folder (default $DEZOZEVO_HOME)")
    ap.add_argument("serials", nargs="+")
    args = ap.parse_args(argv)
    dezozevo.log_to_logging(None)
    with dezozevo.Tester(home=args.home) as t:
        state = t.state
        if not state.ok:
            print(f"start-up failed: {state.startup_status} {dezozevo.status_meaning(state.startup_status)}: "
                  f"{state.last_failure.description if state.last_failure else ''}", file=sys.stderr)
            return 1
        print(f"{state.station} on {state.server} ({state.database}), generation {state.schema}")
        worst = 0
        for serial in args.serials:
            o = run_unit(t, serial)
            if o.verdict == "REFUSED":
                print(f"  {serial}  refused: {o.status} {o.reason}")
            elif o.status != 0:
                print(f"  {serial}  {o.verdict}, upload failed: {o.status} {dezozevo.status_meaning(o.status)}")
                worst = 1
            else:
                print(f"  {serial}  Vout {o.vout:.3f} V -> {o.verdict}, stored"
                      + (f" as test {o.test_id}" if o.test_id is not None else ""))
        return worst


if __name__ == "__main__":
    sys.exit(main())
