#!/usr/bin/python3
"""The peer: what a site would write instead of the component, on lxml.

  peer.py SITE_DIR DOC REPS GEN [PAYLOAD_OUT]

Parses the tester's document, transforms it with GetHeader.xsl and the result
style sheet, validates the transformed result against SaveResult.xsd (the
generation-10 path; on 24 the tester's document is checked, which the schema
leaves alone) and doubles its apostrophes: the text handed to the database
(written to PAYLOAD_OUT when given). Prints one JSON line: the median CPU seconds
of REPS runs and the peak resident memory in kB.
"""
import json
import resource
import statistics
import sys
import time

from lxml import etree


def main():
    site, doc_path, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
    gen = int(sys.argv[4])
    payload_out = sys.argv[5] if len(sys.argv) > 5 else None
    with open(doc_path, encoding="utf-8") as f:
        text = f.read()  # the station hands over text
    header = etree.XSLT(etree.parse(site + "/GetHeader.xsl"))
    result = etree.XSLT(etree.parse(site + "/DEZozevo.xsl"))
    schema = etree.XMLSchema(etree.parse(site + "/SaveResult.xsd"))
    times = []
    for _ in range(reps):
        t0 = time.process_time()
        doc = etree.fromstring(text.encode("utf-8"))
        if gen == 10:
            head = str(header(doc))
        out = str(result(doc))
        checked = etree.fromstring(out.encode("utf-8"))
        if gen == 10 and not schema.validate(checked):
            sys.exit("peer: the transformed result is not valid: %s" % schema.error_log.last_error)
        statuses = [s.upper() for s in checked.xpath("//DUT/@STATUS")]
        if "TERMINATE" in statuses:
            sys.exit("peer: terminated")
        payload = out.replace("'", "''")
        times.append(time.process_time() - t0)
        del doc, out, checked
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if payload_out:
        with open(payload_out, "w", encoding="utf-8") as f:
            f.write(payload)
    print(json.dumps({"median_s": statistics.median(times), "peak_kb": peak}))


if __name__ == "__main__":
    main()
