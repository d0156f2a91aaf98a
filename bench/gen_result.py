#!/usr/bin/python3
"""Writes a tester's result document in the sample site's vocabulary
(TestRun / DUT / Step / Measurement, as site/SampleResult.xml) of about the
requested size.

  gen_result.py OUT SIZE_MB many-duts|one-dut

many-duts: units of 40 steps each; one-dut: a single unit holding all steps.
The first DUT is a unit the sample plant knows, so the simulator stores it.
Every status is a pass word, an apostrophe appears in step names (it reaches
the database doubled). The output is the same for the same arguments.
"""
import sys

FIRST_UNIT = "SN24001-0004"


def step(i):
    m = [
        '<Measurement Name="Iin" Value="0.%03d" Unit="A" Low="0.300" High="0.600" Status="PASS"/>' % (i % 1000),
        '<Measurement Name="Vout" Value="12.%02d" Unit="V" Low="11.40" High="12.60" Status="PASS"/>' % (i % 100),
        '<Measurement Name="Ripple" Value="%d" Unit="mV" High="50" Status="PASS"/>' % (i % 50),
    ]
    return ('<Step Name="Step %d o\'clock check" Status="PASS" Duration="%d.%d">' % (i, i % 9, i % 10) +
            "".join(m) + "</Step>\n")


def dut(uid, steps, first):
    head = '<DUT ID="%s" STATUS="PASS" PartNumber="ASM-5000" Revision="C" Slot="%d">\n' % (uid, first % 8)
    return head + "".join(step(first + k) for k in range(steps)) + "</DUT>\n"


def main():
    out, size_mb, shape = sys.argv[1], float(sys.argv[2]), sys.argv[3]
    target = int(size_mb * 1024 * 1024)
    head = ('<?xml version="1.0" encoding="utf-8"?>\n'
            '<TestRun Station="FCT-01" Operator="jdoe" Program="FCT-5000" ProgramVersion="3.1.0" '
            'Fixture="FX-FCT-07" Start="2026-03-07T14:05:09" End="2026-03-07T14:06:31">\n')
    tail = "</TestRun>\n"
    parts = [head]
    size = len(head) + len(tail)
    if shape == "many-duts":
        n = 0
        while size < target:
            uid = FIRST_UNIT if n == 0 else "BENCH-%06d" % n
            d = dut(uid, 40, n * 40)
            parts.append(d)
            size += len(d)
            n += 1
    elif shape == "one-dut":
        parts.append('<DUT ID="%s" STATUS="PASS" PartNumber="ASM-5000" Revision="C" Slot="1">\n' % FIRST_UNIT)
        size += 100
        i = 0
        while size < target:
            s = step(i)
            parts.append(s)
            size += len(s)
            i += 1
        parts.append("</DUT>\n")
    else:
        sys.exit("shape must be many-duts or one-dut")
    parts.append(tail)
    with open(out, "w", encoding="utf-8") as f:
        f.write("".join(parts))


if __name__ == "__main__":
    main()
