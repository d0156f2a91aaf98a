#!/usr/bin/env python3
"""A functional-test station on the MES simulator, driven through the
component's `dezozevo session` command: for each unit a route check, the unit
data, a simulated measurement against the unit's limits, and the result upload.

usage: demo.py BUILD_DIR HOME GENERATION
"""
import json
import os
import random
import subprocess
import sys
import xml.etree.ElementTree as ET

STATION = "FCT-01"
# (serial number, what the demo makes of it)
UNITS = [
    ("SN24001-0003", "pass"),
    ("SN24001-0004", "pass"),
    ("SN24001-0005", "fail"),  # its output voltage comes out above the limit
    ("SN24001-0006", "pass"),  # still waits for the in-circuit test: refused
    ("SN24001-0008", "pass"),  # on hold: refused
]


class Session:
    """One `dezozevo session`: one Tester for all calls."""

    def __init__(self, exe, home):
        self.proc = subprocess.Popen([exe, "--home", home, "session"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def call(self, method, **args):
        self.proc.stdin.write(json.dumps({"method": method, "args": args}) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            sys.exit("demo: dezozevo session ended unexpectedly")
        answer = json.loads(line)
        if "error" in answer:
            raise RuntimeError(f"{method}: {answer['error']['description']}")
        return answer["result"], answer.get("args", {})

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def sim(build, *args):
    out = subprocess.run([os.path.join(build, "dezozevo-sim"), *args], check=True, capture_output=True, text=True)
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def unit_facts(xml_text, generation):
    """Part, revision, work order, status, next stations and Vout limits from the unit document."""
    root = ET.fromstring(xml_text)
    facts, limits = {}, {}
    if generation == 10:
        for tag in ("PARTNUMBER", "REVISION", "WORKORDER", "STATUS"):
            facts[tag.lower()] = root.findtext(tag, "")
        facts["next"] = [e.text for e in root.findall("NEXTSTATION")]
        for group in root.findall("GROUP"):
            for item in group.findall("UNITDATA"):
                limits[item.findtext("NAME")] = item.findtext("VALUE")
    else:
        for item in root.iter():
            if item.tag in ("UnitData", "UNITDATA"):
                name = item.findtext("Name") or item.findtext("NAME")
                value = item.findtext("Value") or item.findtext("VALUE") or ""
                facts[name] = value
                limits[name] = value
        facts = {"partnumber": facts.get("PartNumber", ""), "revision": facts.get("Revision", ""),
                 "workorder": facts.get("WorkOrder", ""), "status": facts.get("Status", ""),
                 "next": [s for s in facts.get("NextStation", "").split(",") if s]}
    facts["vmin"] = float(limits.get("Vout_min_V", "11.4"))
    facts["vmax"] = float(limits.get("Vout_max_V", "12.6"))
    return facts


def test_run(serial, facts, outcome, rnd):
    """The tester's result document: a simulated measurement against the unit's limits."""
    lo, hi = facts["vmin"], facts["vmax"]
    vout = round(rnd.uniform(lo + 0.3, hi - 0.3), 3) if outcome == "pass" else round(hi + rnd.uniform(0.3, 0.6), 3)
    iin = round(rnd.uniform(0.38, 0.45), 3)
    vstatus = "PASS" if lo <= vout <= hi else "FAIL"
    status = "PASS" if vstatus == "PASS" else "FAIL"
    doc = ET.Element("TestRun", Station=STATION, Operator="demo", Program="FCT-5000", ProgramVersion="3.1.0",
                     Fixture="FX-FCT-07", Start="2026-03-07T14:05:09", End="2026-03-07T14:06:31")
    dut = ET.SubElement(doc, "DUT", ID=serial, STATUS=status, PartNumber=facts["partnumber"],
                        Revision=facts["revision"])
    step = ET.SubElement(dut, "Step", Name="Supply current", Status="PASS")
    ET.SubElement(step, "Measurement", Name="Iin", Value=str(iin), Unit="A", Low="0.30", High="0.60", Status="PASS")
    step = ET.SubElement(dut, "Step", Name="Output voltage", Status=vstatus)
    ET.SubElement(step, "Measurement", Name="Vout", Value=str(vout), Unit="V", Low=f"{lo:.2f}", High=f"{hi:.2f}",
                  Status=vstatus)
    return ET.tostring(doc, encoding="unicode"), vout, status


def message(session, build, db, generation, code):
    """The MES's text for a code: through the component where the generation has it."""
    if generation >= 23:
        text, _ = session.call("GetErrMessage", nErrCode=code)
        if text:
            return text
    rows = sim(build, "sql", db, f"SELECT text FROM messages WHERE language='ENG' AND code='{int(code)}'")
    return rows[0]["text"] if rows else ""


def station_line(session):
    """(work order, units tested, units passed) of this station's first work-order line."""
    status, args = session.call("GetOrderInfoByStation", strWorkOrderInfo="")
    if status != 0:
        return None
    wo = ET.fromstring(args["strWorkOrderInfo"]).find("WO")
    return wo.findtext("WORKORDERNUMBER"), wo.findtext("LINESTARTQTY"), wo.findtext("LINEREADYQTY")


def main():
    build, home, generation = sys.argv[1], sys.argv[2], int(sys.argv[3])
    db = os.path.join(home, "plant.db")
    rnd = random.Random(generation)
    session = Session(os.path.join(build, "dezozevo"), home)

    print(f"generation {generation}: station {STATION}, simulator {os.path.relpath(db)}")
    status, args = session.call("GetOrderInfo", strWorkOrderInfo="")
    if status == 0:
        order = ET.fromstring(args["strWorkOrderInfo"])
        print(f"  current work order {order.findtext('WONUM')}: {order.findtext('ORDERQTY')} ordered, "
              f"{order.findtext('STARTEDQTY')} started, {order.findtext('COMPLETED')} completed")
    before = station_line(session)

    for serial, outcome in UNITS:
        route, _ = session.call("CheckRoute", strUnitSN=serial, strStation=STATION)
        if route != 0:
            print(f"  {serial}  refused by the route check: {route} {message(session, build, db, generation, route)}")
            continue
        request = f'<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="{serial}"/>'
        status, args = session.call("GetUnitInfo", strRequest=request, strUnitInfo="", strStationName="",
                                    strUserID="demo")
        if status != 0:
            print(f"  {serial}  no unit data: {status} {message(session, build, db, generation, status)}")
            continue
        facts = unit_facts(args["strUnitInfo"], generation)
        # Generation 20 and later has no route check in the database: the
        # station reads the unit's status and next station from its data.
        if facts["status"] != "ACTIVE" or STATION not in facts["next"]:
            states = {"HOLD": "on hold", "SCRAPPED": "scrapped", "COMPLETE": "done with its route"}
            why = f"unit {states.get(facts['status'], facts['status'].lower())}" if facts["status"] != "ACTIVE" \
                else f"next station {', '.join(facts['next']) or 'none'}"
            label = "route check" if generation == 10 else "unit data"
            print(f"  {serial}  refused by the {label}: {why}")
            continue
        doc, vout, verdict = test_run(serial, facts, outcome, rnd)
        saved, _ = session.call("SaveResult", strXMLResultText=doc)
        if saved == 0:
            stored = [r for r in sim(build, "results", db) if r["serial"] == serial]
            where = f"stored as test {stored[-1]['test_id']}" if stored else "not stored"
        else:
            where = f"upload failed: {saved} {message(session, build, db, generation, saved)}"
        print(f"  {serial}  {facts['partnumber']} rev {facts['revision']}, {facts['workorder']}: "
              f"Vout {vout:.3f} V, limits {facts['vmin']:.2f} to {facts['vmax']:.2f} -> {verdict}, {where}")
    after = station_line(session)
    if before and after:
        print(f"  {STATION} line of {after[0]}: tested {before[1]} -> {after[1]}, passed {before[2]} -> {after[2]}; "
              f"the passed units now wait for burn-in")
    session.close()


if __name__ == "__main__":
    main()
