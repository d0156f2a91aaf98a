#!/usr/bin/env python3
"""What the Python package adds to a call: CheckRoute on the in-process
simulator (sample plant, generation 10), timed through the C interface from C
and through dezozevo.Tester from Python, in alternating rounds; the best
round of each counts.

usage: /usr/bin/python3 bench/python_overhead.py BUILD_DIR [CALLS_PER_ROUND]
"""
import ctypes
import os
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(root, "python"))

ROUNDS = 7


def main():
    build = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.join(root, "build")
    calls = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    os.environ["DEZOZEVO_LIBRARY"] = os.path.join(build, "libDEZozevo.so.1")
    os.environ["DEZOZEVO_SIM"] = os.path.join(build, "dezozevo-sim")
    import dezozevo
    from dezozevo.plant import Plant, StationHome

    with tempfile.TemporaryDirectory(prefix="dzpybench-") as tmp:
        plant = Plant(os.path.join(tmp, "plant.db"))
        home = StationHome(os.path.join(tmp, "home"), "sim:" + plant.path)
        home.set(LOG={"LEVEL": 1})
        os.environ["DEZOZEVO_HOME"] = home.path
        with dezozevo.Tester() as t:
            assert t.check_route("SN24001-0003", "FCT-01") == 0
            lib, handle = t._lib, t._handle

            def bare(method, args):
                """The C call through ctypes in this process, without the package."""
                def call():
                    out = ctypes.c_void_p()
                    lib.dz_invoke(handle, method, args, ctypes.byref(out))
                    ctypes.string_at(out.value)
                    lib.dz_free(out)
                return call

            cases = [("CheckRoute", "in-process simulator, sample unit", [],
                      bare(b"CheckRoute", b'["SN24001-0003", "FCT-01"]'),
                      lambda: t.check_route("SN24001-0003", "FCT-01")),
                     ("CalcErrCode", "no database: the package's own cost", ["CalcErrCode"],
                      bare(b"CalcErrCode", b'["General network error"]'),
                      lambda: t.calc_err_code("General network error"))]
            for name, what, extra, bare_call, call in cases:
                c_ns, bare_ns, py_ns = [], [], []
                for _ in range(ROUNDS):
                    plant.calls(clear=True)  # the journal grows with each call; each round starts empty
                    out = subprocess.run([os.path.join(build, "bench", "checkroute_c_timing"), str(calls), *extra],
                                         check=True, capture_output=True, text=True).stdout
                    c_ns.append(float(out))
                    for f, times in ((bare_call, bare_ns), (call, py_ns)):
                        plant.calls(clear=True)
                        times.append(timed(f, calls))
                # The best round of each: the one least disturbed by other load.
                c, b, py = min(c_ns), min(bare_ns), min(py_ns)
                print(f"{name} ({what}), best of {ROUNDS} rounds of {calls} calls:")
                print(f"  C program (dz_invoke)          {c / 1000:8.1f} us")
                print(f"  ctypes, this process           {b / 1000:8.1f} us")
                print(f"  Python (dezozevo.Tester)       {py / 1000:8.1f} us")
                print(f"  Python's overhead over C       {(py - c) / 1000:8.1f} us  (target: under 20 us; "
                      f"the package's own part: {(py - b) / 1000:.1f} us)")


def timed(call, calls):
    """Mean time of one call in ns, after as many calls again to warm up (as in C)."""
    for _ in range(calls):
        call()
    start = time.perf_counter_ns()
    for _ in range(calls):
        call()
    return (time.perf_counter_ns() - start) / calls

if __name__ == "__main__":
    main()
