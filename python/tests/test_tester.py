"""The package over the built or installed library, on the simulated plant."""
import concurrent.futures
import logging
import os
import subprocess
import sys

import pytest

import dezozevo
from dezozevo import _native

REQUEST = '<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="{}"/>'


def test_installed_package_is_the_one_under_test():
    prefix = os.environ.get("DZ_EXPECT_PREFIX")
    if not prefix:
        pytest.skip("build-tree run")
    assert dezozevo.__file__.startswith(prefix)
    assert _native.library_path().startswith(os.path.realpath(prefix))
    assert _native.sim_command().startswith(prefix)


@pytest.mark.parametrize("check", [False, True])
def test_statuses_returned_or_raised(station_home, mes_plant, check):
    mes_plant.answer(uspCheckRouting={"return": 5})
    with dezozevo.Tester(check=check) as t:
        assert t.state.ok and t.state.generation == 10
        if not check:
            assert t.check_route("SN24001-0003", "FCT-01") == 5
            return
        with pytest.raises(dezozevo.DezozevoError) as e:
            t.check_route("SN24001-0003", "FCT-01")
        assert (e.value.status, e.value.description) == (5, "CheckRoute10 returned value=5")
        assert e.value.meaning == dezozevo.status_meaning(5)
        # A per-call check overrides the Tester's.
        assert t.check_route("SN24001-0003", "FCT-01", check=False) == 5


def test_outputs_append_to_the_callers_text(station_home):
    with station_home.tester() as t:
        r = t.get_unit_info(REQUEST.format("SN24001-0003"), "<!--before-->")
        assert r.ok and r.unit_info.startswith("<!--before--><UNITINFO><SERIALNUMBER>SN24001-0003<")
        r = t.GetUnitInfo(REQUEST.format("NO-SUCH-UNIT"), "kept")
        assert (r.status, r.unit_info) == (1, "kept")


def test_result_stored_with_its_test_id(station_home, mes_plant):
    with station_home.tester(check=True) as t:
        assert t.save_result(station_home.sample_result) == 0
        assert t.state.test_id == mes_plant.results()[-1]["test_id"]
        with pytest.raises(dezozevo.DezozevoError, match="Start Tag TestRun"):
            t.save_result("<TestRun")


def in_fresh_thread(f):
    """Runs f on a new thread, raising what it raises: a thread keeps the generation its last start-up detected."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(f).result()


def test_no_database_start_up_and_fixed_answers(tmp_path):
    (tmp_path / "DEZozevo.ini").write_text("[DATABASE]\nSERVER=sim:/nonexistent/plant.db\n[LOG]\nLEVEL=1\n")

    def body():
        with dezozevo.Tester(home=tmp_path) as t:
            s = t.state
            assert (s.ok, s.startup_status, s.generation) == (False, 100, 0)
            assert "does not exist or access denied" in s.last_failure.description
            assert t.get_unit_info("<x/>", "as passed") == dezozevo.UnitInfoResult(100, "as passed")
            assert t.save_result(None) == 100
            assert t.get_err_message(9002) == ""
    in_fresh_thread(body)
    assert os.environ.get("DEZOZEVO_HOME") != str(tmp_path)


@pytest.mark.mes_plant(generation=24, sample=False)
def test_empty_plant_of_a_later_generation(station_home, mes_plant):
    with station_home.tester() as t:
        s = t.state
        assert (s.startup_status, s.generation, s.revision, s.schema) == (0, 20, 4, 24)
        assert t.get_order_info().status == 2  # the station is not known to an empty plant
        assert t.get_generic_function('<UnitData SerialNumber="X"/>', function_name="SetUnitData").status != 0
    assert [c["text"] for c in mes_plant.calls()][-2:] == ["uspPDOGetOrderInfo", "uspSetUnitData"]


def test_bad_input_is_a_clear_error(station_home, tmp_path):
    with pytest.raises(FileNotFoundError):
        dezozevo.Tester(home=tmp_path / "missing")
    t = station_home.tester()
    with pytest.raises(TypeError, match="unit_sn must be a str"):
        t.check_route(42, "FCT-01")
    with pytest.raises(ValueError, match="level"):
        t.put_log("x", 256)
    with pytest.raises(dezozevo.DezozevoError, match="the method failed"):
        t.file_exists("/no-such-folder-dz/*/x")
    with pytest.raises(dezozevo.DezozevoError, match="wrong thread"):
        in_fresh_thread(t.get_station)
    t.close()
    t.close()
    with pytest.raises(dezozevo.DezozevoError, match="closed"):
        t.get_station()


def test_missing_library_named_in_the_error():
    env = dict(os.environ, DEZOZEVO_LIBRARY="/nonexistent/libDEZozevo.so.1")
    code = "import dezozevo\ntry:\n    dezozevo.Tester()\nexcept ImportError as e:\n    print(e)\n"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert "DEZOZEVO_LIBRARY" in out.stdout and "/nonexistent/libDEZozevo.so.1" in out.stdout


def test_log_lines_reach_python_logging(station_home, mes_plant, caplog):
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
    assert (logging.WARNING, "CLASS INIT OK") in records
    assert (logging.WARNING, "CheckRoute10 returned value=3") in records
    assert (logging.DEBUG, "from the station") in records
    with station_home.tester() as t:
        t.put_log("after removal", 1)
    assert "after removal" not in caplog.text and "after removal" in station_home.log()
