"""The package over the built or installed library, on the simulated plant."""
import concurrent.futures
import dataclasses
import importlib.util
import inspect
import logging
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import dezozevo
from dezozevo import _methods, _native

REQUEST = '<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="{}"/>'


def test_installed_package_is_the_one_under_test():
    prefix = os.environ.get("DZ_EXPECT_PREFIX")
    if not prefix:
        pytest.skip("build-tree run")
    assert dezozevo.__file__.startswith(prefix)
    assert os.path.isfile(os.path.join(os.path.dirname(dezozevo.__file__), "py.typed"))
    assert _native.library_path().startswith(os.path.realpath(prefix))
    assert _native.sim_command().startswith(prefix)


def snake(name):
    return "".join("_" + c.lower() if c.isupper() else c for c in name).lstrip("_")


@pytest.mark.parametrize("method", list(_methods.table().values()), ids=lambda m: m.name)
def test_signatures_match_the_librarys_description(method):
    """The typed methods take the inputs positionally in the library's order and
    the outputs keyword-only, and return the outputs in their Result."""
    f = getattr(dezozevo.Tester, snake(method.name))
    params = list(inspect.signature(f).parameters.values())[1:]
    positional = [p.name for p in params if p.kind == p.POSITIONAL_OR_KEYWORD]
    keyword = {p.name for p in params if p.kind == p.KEYWORD_ONLY} - {"check"}
    assert positional == [a.python_name for a in method.inputs]
    assert keyword == {a.python_name for a in method.outputs}
    for p, a in zip(params, method.inputs):
        assert (p.default == "") == a.optional or a.name in ("strDefaultValue", "strIniFile", "nLevel")
    result = dezozevo.tester.RESULT_TYPES.get(method.name)
    if method.outputs:
        assert [fl.name for fl in dataclasses.fields(result)][1:] == [a.python_name for a in method.outputs]
    assert callable(getattr(dezozevo.Tester, method.name))


TYPED_USE = textwrap.dedent("""\
    import dezozevo
    def cycle(t: dezozevo.Tester) -> str:
        n: int = t.check_route("SN24001-0003", "FCT-01")
        return t.get_model_attributes("ASM-5000", "C").model_info + t.GetUnitInfo("<x/>").unit_info + str(n)
    def wrong(t: dezozevo.Tester) -> None:
        t.get_model_attributes("ASM-5000", "C", "out")
        x: int = t.get_unit_info("<x/>")
        t.check_route(42, "FCT-01")
    """)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="no mypy (apt-get install python3-mypy)")
def test_type_checkers_read_the_hints(tmp_path):
    """A station's code is checked against the package's hints; misuse is caught."""
    (tmp_path / "use.py").write_text(TYPED_USE)
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "python", "station.py")
    # Found on the interpreter's path, the package is read as installed: through py.typed only.
    path = os.path.dirname(os.path.dirname(dezozevo.__file__))
    out = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "use.py", example],
                         cwd=tmp_path, capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=path)).stdout
    errors = [line.split(": error: ")[0] for line in out.splitlines() if ": error: " in line]
    assert errors == ["use.py:6", "use.py:7", "use.py:8"], out


FAIL = lambda text: {"uspCheckRouting": {"fail": text}}  # noqa: E731


@pytest.mark.parametrize("answers,cls,status", [
    ({"uspCheckRouting": {"return": 5}}, dezozevo.RefusedByDatabase, 5),
    (FAIL("[DBNETLIB][ConnectionRead (recv()).]General network error."), dezozevo.NetworkError, 9002),
    (FAIL("Timeout expired"), dezozevo.TimedOut, 9003),
    (FAIL("SQL Server does not exist or access denied."), dezozevo.AccessDenied, 9001),
    (FAIL("Arithmetic overflow"), dezozevo.OtherFailure, 9999),
])
def test_check_raises_the_class_of_the_status(station_home, mes_plant, answers, cls, status):
    mes_plant.answer(answers)
    with dezozevo.Tester(check=True) as t:
        with pytest.raises(cls) as e:
            t.check_route("SN24001-0003", "FCT-01")
        assert e.value.status == status and e.value.method == "CheckRoute"
        assert e.value.description and e.value.meaning == dezozevo.status_meaning(status)
        # A per-call check overrides the Tester's.
        assert t.check_route("SN24001-0003", "FCT-01", check=False) == status


def test_driver_records_come_with_the_error(mes_server, station_home):
    with dezozevo.Tester(check=True) as t:
        mes_server.stop()
        with pytest.raises(dezozevo.AccessDenied) as e:
            t.check_route("SN24001-0003", "FCT-01")
        assert "08001" in [d.sqlstate for d in e.value.diagnostics]
        assert e.value.diagnostics == t.state.last_failure.diagnostics


def test_raised_errors_keep_the_result(station_home):
    with station_home.tester(check=True) as t:
        with pytest.raises(dezozevo.DocumentRejected, match="Start Tag TestRun"):
            t.save_result("<TestRun")
        with pytest.raises(dezozevo.RefusedByDatabase) as e:
            t.get_unit_info(REQUEST.format("NO-SUCH-UNIT"), unit_info="kept")
        assert e.value.result == dezozevo.UnitInfoResult(1, "kept")
        copy = pickle.loads(pickle.dumps(e.value))
        assert (type(copy), copy.status, copy.result, str(copy)) == (type(e.value), 1, e.value.result, str(e.value))


MODEL = ("ASM-5000", "C")


@pytest.mark.parametrize("call", [
    lambda t: t.get_model_attributes(*MODEL),
    lambda t: t.get_model_attributes(part_rev="C", part_number="ASM-5000"),
    lambda t: t.GetModelAttributes("", *MODEL),
    lambda t: t.GetModelAttributes("", "ASM-5000", strpartrev="C"),
], ids=["snake", "snake by name", "interface order", "any case"])
def test_outputs_come_back_whatever_the_calling_style(station_home, call):
    with station_home.tester() as t:
        r = call(t)
        assert isinstance(r, dezozevo.ModelAttributesResult) and r.ok
        assert r.model_info.startswith('<MODELATTR PARTNUMBER="ASM-5000" REVISION="C">')


@pytest.mark.parametrize("call,error", [
    (lambda t: t.get_model_attributes("ASM-5000", "C", "out"), TypeError),  # outputs are keyword-only
    (lambda t: t.GetModelAttributes("", "ASM-5000"), "strPartRev is missing"),
    (lambda t: t.GetModelAttributes("", "A", "C", "x"), "takes 3 arguments"),
    (lambda t: t.GetModelAttributes("", "A", "C", strPartNumber="A"), "given twice"),
    (lambda t: t.GetModelAttributes(strPart="A"), "no argument strPart"),
    (lambda t: t.check_route(42, "FCT-01"), "unit_sn must be a str"),
    (lambda t: t.CheckRoute(42, "FCT-01"), "strUnitSN must be a str"),
    (lambda t: t.put_log("x", 256), "level must be between 0 and 255"),
    (lambda t: t.save_result(b"\xff"), "result_text is not UTF-8"),
])
def test_bad_arguments_are_refused_before_the_call(station_home, call, error):
    with station_home.tester() as t:
        with pytest.raises(error if isinstance(error, type) else (TypeError, ValueError),
                           match=None if isinstance(error, type) else error):
            call(t)
    assert not station_home.log().count("GetModelAttributes10_20")


def test_resend_sends_a_kept_result_and_the_state_counts_it(station_home, mes_plant):
    with open(station_home.resend_file, "w", encoding="utf-8") as f:  # as the one-file form kept it
        f.write(station_home.sample_result + "\r\n")
    with station_home.tester() as t:
        assert t.state.queue.kept == 1 and t.state.queue.oldest_seconds >= 0
        assert t.resend() == 0
        assert t.state.queue == dezozevo.Queue(station_home.resend_file, 0, None, 0)


def in_fresh_thread(f):
    """Runs f on a new thread, raising what it raises: a thread keeps the generation its last start-up detected."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(f).result()


def test_no_database_start_up_and_fixed_answers(tmp_path):
    (tmp_path / "DEZozevo.ini").write_text("[DATABASE]\nSERVER=sim:/nonexistent/plant.db\n[LOG]\nLEVEL=1\n")

    def body():
        with dezozevo.Tester(home=tmp_path) as t:
            s = t.state
            assert (s.ok, s.startup_status, s.generation, s.last_failure.status) == (False, 100, 0, 100)
            assert t.save_result(None) == 100
            with pytest.raises(dezozevo.NoServer):
                t.save_result(None, check=True)
    in_fresh_thread(body)
    assert os.environ.get("DEZOZEVO_HOME") != str(tmp_path)


def test_refused_calls(station_home, tmp_path):
    with pytest.raises(FileNotFoundError):
        dezozevo.Tester(home=tmp_path / "missing")
    t = station_home.tester()
    with pytest.raises(dezozevo.MethodFailed, match="the method failed"):
        t.file_exists("/no-such-folder-dz/*/x")
    with pytest.raises(dezozevo.CallRefused, match="wrong thread"):
        in_fresh_thread(t.get_station)
    t.close()
    t.close()
    with pytest.raises(dezozevo.CallRefused, match="closed"):
        t.get_station()


def test_log_lines_reach_python_logging_at_their_level(station_home, mes_plant, caplog):
    mes_plant.answer(uspCheckRouting={"return": 3})
    caplog.set_level(logging.DEBUG, logger="dezozevo")
    dezozevo.log_to_logging()
    try:
        with station_home.tester() as t:
            t.check_route("SN24001-0003", "FCT-01")
            t.put_log("from the station", 2)
    finally:
        dezozevo.log_to_logging(None)
    records = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "dezozevo"]
    assert (logging.INFO, "CLASS INIT OK") in records
    assert (logging.WARNING, "CheckRoute10 returned value=3") in records
    assert (logging.DEBUG, "from the station") in records
    assert dezozevo._log.python_level(1, "CLASS INIT FAILED. GetSlaveConn RetCode=100") == logging.ERROR
    with station_home.tester() as t:
        t.put_log("after removal", 1)
    assert "after removal" not in caplog.text and "after removal" in station_home.log()
