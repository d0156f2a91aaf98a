"""pytest fixtures for testing a station without a plant database.

    mes_plant     a simulator database (dezozevo.plant.Plant): generation 10 with
                  the sample plant unless asked otherwise, by a marker
                  @pytest.mark.mes_plant(generation=24, sample=False) or by
                  indirect parametrization (a generation, or a dict of both)
    station_home  a component folder (dezozevo.plant.StationHome) with the sample
                  site files and an INI that points at mes_plant, in-process; over
                  TDS when the test also uses mes_server. $DEZOZEVO_HOME and
                  $DEZOZEVO_RESEND_FILE point into it for the test.
    mes_server    mes_plant served by `dezozevo-sim serve` on a free loopback port
                  (dezozevo.plant.MesServer), stopped at the end

Loaded by the entry point pytest11 when installed, or with -p dezozevo.pytest_plugin.
"""
from __future__ import annotations

import pytest

from .plant import MesServer, Plant, StationHome


def pytest_configure(config):
    config.addinivalue_line("markers", "mes_plant(generation=10, sample=True): the simulated plant of the test")


@pytest.fixture
def mes_plant(request, tmp_path):
    """A simulator database (Plant) of the test: generation 10, sample plant, unless asked otherwise."""
    options = {"generation": 10, "sample": True}
    marker = request.node.get_closest_marker("mes_plant")
    if marker:
        options.update(dict(zip(("generation", "sample"), marker.args)), **marker.kwargs)
    param = getattr(request, "param", None)
    if isinstance(param, dict):
        options.update(param)
    elif param is not None:
        options["generation"] = param
    (tmp_path / "mes").mkdir(exist_ok=True)
    return Plant(tmp_path / "mes" / "plant.db", **options)


@pytest.fixture
def mes_server(mes_plant):
    """mes_plant served over TDS on a free loopback port (MesServer); stopped at the end."""
    server = MesServer(mes_plant)
    yield server
    server.stop()


@pytest.fixture
def station_home(request, mes_plant, tmp_path, monkeypatch):
    """A component folder (StationHome) for mes_plant, through mes_server when the test uses it."""
    if "mes_server" in request.fixturenames:
        server = request.getfixturevalue("mes_server").data_source
    else:
        server = "sim:" + mes_plant.path
    home = StationHome(tmp_path / "station", server)
    monkeypatch.setenv("DEZOZEVO_HOME", home.path)
    monkeypatch.setenv("DEZOZEVO_RESEND_FILE", home.resend_file)
    return home
