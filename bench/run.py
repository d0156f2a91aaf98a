#!/usr/bin/python3
"""./dz bench: measures the component against the peer (bench/peer.py) and
against floors measured in the same run, prints one line per target and
writes BUILD/bench/summary.json.

  run.py BUILD_DIR [--quick]

Every figure is a median of a few runs in a fresh process; a ratio compares
two figures of this run only. Timings on a busy machine are noisy: read the
ratios, not the seconds.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PY = "/usr/bin/python3"  # Debian's interpreter, which has python3-lxml
TIMEOUT = 180            # seconds for one measuring process


def run(cmd):
    try:
        out = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as e:
        sys.exit("dz bench: %s failed: %s" % (" ".join(cmd), e.stderr.strip()))
    return json.loads(out.strip().splitlines()[-1])


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    quick = "--quick" in sys.argv
    out_dir = os.path.join(build, "bench")
    docs = os.path.join(out_dir, "docs")
    os.makedirs(docs, exist_ok=True)
    dzbench = os.path.join(out_dir, "dzbench")
    site = os.path.join(ROOT, "site")

    def doc(size, shape):
        path = os.path.join(docs, "%s-%sMB.xml" % (shape, size))
        if not os.path.exists(path):
            subprocess.run([PY, os.path.join(HERE, "gen_result.py"), path, str(size), shape], check=True)
        return path

    reps = {1: 5, 2: 3, 20: 2}
    if quick:
        reps = {1: 3, 2: 1, 20: 1}
    targets = []

    def val(r, key, scale=1):
        """A figure of a measurement, or None when the measurement failed or timed out."""
        return None if r is None or r.get(key) is None else r[key] * scale

    def target(name, project, peer, limit, unit, note=""):
        ratio = None if project is None or peer is None or peer == 0 else project / peer
        met = ratio is not None and ratio <= limit
        targets.append({"target": name, "project": project, "peer": peer, "ratio": ratio, "limit": limit,
                        "unit": unit, "met": met, "note": note})
        fmt = lambda v: "n/a" if v is None else ("%.4g" % v)
        print("%-46s %12s %12s %8s  <= %-5g %s%s" % (name, fmt(project), fmt(peer), fmt(ratio), limit,
                                                      "met" if met else "NOT MET", " (" + note + ")" if note else ""),
              flush=True)

    print("%-46s %12s %12s %8s  %s" % ("target", "project", "peer/floor", "ratio", "limit"))

    # SaveResult: the component's own work (canned answer), the whole call
    # against the simulator, peak memory; many DUTs.
    whole = {}
    for gen in (10, 24):
        for size in (1, 20):
            d, n = doc(size, "many-duts"), reps[size]
            payload = os.path.join(docs, "payload-%d-%d.xml" % (gen, size))
            peer = run([PY, os.path.join(HERE, "peer.py"), site, d, str(n), str(gen), payload])
            canned = run([dzbench, "save", str(gen), d, str(n), "canned"])
            full = run([dzbench, "save", str(gen), d, str(n), "whole"])
            store = run([dzbench, "store", str(gen), payload, str(n)])
            whole[(gen, size, "many-duts")] = full
            tag = "gen %d, %d MB" % (gen, size)
            target("SaveResult own work, " + tag + " [s]", val(canned, "median_s"), val(peer, "median_s"), 0.75, "s")
            target("SaveResult whole call, " + tag + " [s]", val(full, "median_s"),
                   None if peer is None or store is None else peer["median_s"] + store["median_s"], 1.0, "s", "peer + the bare store")
            target("SaveResult peak memory, " + tag + " [MB]", val(full, "peak_kb", 1 / 1024),
                   val(peer, "peak_kb", 1 / 1024), 1.0, "MB")

    # Linear: 20 MB against 2 MB, whole call on generation 10.
    for shape in ("many-duts", "one-dut"):
        small = run([dzbench, "save", "10", doc(2, shape), str(reps[2]), "whole"])
        big = whole.get((10, 20, shape)) or run([dzbench, "save", "10", doc(20, shape), str(reps[20]), "whole"])
        target("SaveResult 20 MB / 2 MB, %s [s]" % shape, val(big, "median_s"), val(small, "median_s"), 12, "s",
               "" if big else "not done in %d s" % TIMEOUT)

    # GetUnitInfo on generation 24: 200k rows against 20k, and against a
    # bare fetch of the same rows.
    small = run([dzbench, "unitinfo", "20000", "9"])
    big = run([dzbench, "unitinfo", "200000", "5"])
    target("GetUnitInfo 200k / 20k rows [s]", val(big, "median_s"), val(small, "median_s"), 11, "s")
    target("GetUnitInfo 200k rows / bare fetch [s]", val(big, "median_s"), val(big, "bare_s"), 3, "s",
           "%d page faults a call" % big["faults"] if big else "")

    # CheckRoute over ODBC to the listener: client CPU per call.
    cr = run([dzbench, "checkroute", "2100" if quick else "6300"])
    target("CheckRoute client CPU / bare ODBC call [us]", val(cr, "cpu_s", 1e6), val(cr, "bare_cpu_s", 1e6), 1.5, "us",
           "through the C interface")
    target("CheckRoute client CPU, C++ call / bare [us]", val(cr, "cpp_cpu_s", 1e6), val(cr, "bare_cpu_s", 1e6), 1.5, "us",
           "the Tester method without the C interface's JSON")
    target("CheckRoute client CPU, typed C function / bare [us]", val(cr, "typed_cpu_s", 1e6), val(cr, "bare_cpu_s", 1e6),
           1.2, "us", "dz_CheckRoute")

    # The same over TLS (Encrypt=mandatory with the listener's authority): the
    # component's CPU per call against a bare call on an encrypted connection.
    certs = os.path.join(out_dir, "certs")
    if not os.path.exists(os.path.join(certs, "server.pem")):
        subprocess.run([os.path.join(ROOT, "sim", "dezozevo-sim-certs"), certs], check=True, stdout=subprocess.DEVNULL)
    tls = run([dzbench, "checkroute", "2100" if quick else "6300", certs])
    target("CheckRoute encrypted, client CPU / bare encrypted ODBC call [us]", val(tls, "cpu_s", 1e6),
           val(tls, "bare_cpu_s", 1e6), 1.5, "us", "Encrypt=mandatory, through the C interface")

    # Creating a Tester: the INI file read once, schemas and style sheets shared.
    cre = run([dzbench, "create", "20"])
    target("Tester creation, INI file reads", val(cre, "ini_reads"), 1, 1, "reads")
    target("Tester creation, files unchanged / touched [s]", val(cre, "median_s"), val(cre, "touched_s"), 1.0, "s",
           "unchanged files: schemas not compiled again")

    with open(os.path.join(out_dir, "summary.json"), "w") as f:
        json.dump({"targets": targets}, f, indent=2)
    print("dz bench: %d of %d targets met; written to %s" % (sum(t["met"] for t in targets), len(targets),
                                                                os.path.join(out_dir, "summary.json")))


if __name__ == "__main__":
    main()
