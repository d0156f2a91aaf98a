"""A simulated plant for station tests: a simulator database, a component
folder that points at it, and the database served over TDS."""
from __future__ import annotations

import configparser
import json
import os
import shutil
import signal
import subprocess
import tempfile
from typing import Any, Optional, Union

from . import _native

SITE_FILES = ("DEZozevo.ini", "DEZozevo.xsl", "GetHeader.xsl", "SaveResult.xsd", "GetUnitInfo.xsd",
              "SampleResult.xml")


def _sim(*args: str) -> list[dict]:
    proc = subprocess.run([_native.sim_command(), *args], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"dezozevo-sim {args[0]}: {proc.stderr.strip() or proc.stdout.strip()}")
    return [json.loads(line) for line in proc.stdout.splitlines() if line.strip()]


class Plant:
    """A simulator database file: the MES of a station test.

    Plant(path, generation, sample) creates the file (an existing one only with
    force=True); Plant.open(path) takes an existing one."""

    def __init__(self, path: Union[str, os.PathLike], generation: int = 10, sample: bool = True,
                 force: bool = False):
        if generation not in (10, 20, 22, 23, 24):
            raise ValueError(f"generation must be 10, 20, 22, 23 or 24, not {generation!r}")
        self.path = os.path.abspath(os.fspath(path))
        self.generation: Optional[int] = generation
        _sim("init", self.path, "--generation", str(generation), *(["--sample"] if sample else []),
             *(["--force"] if force else []))
        self._seeded = self._last_test_id() if sample else 0

    @classmethod
    def open(cls, path: Union[str, os.PathLike]) -> "Plant":
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no simulator database at {path}")
        plant = cls.__new__(cls)
        plant.path, plant.generation = os.path.abspath(os.fspath(path)), None
        plant._seeded = plant._last_test_id()
        return plant

    def _last_test_id(self) -> int:
        return _sim("sql", self.path, "SELECT coalesce(max(test_id), 0) AS n FROM results")[0]["n"]

    def answer(self, procedures: Optional[dict[str, dict]] = None, **by_name: dict) -> None:
        """Sets canned answers ({"uspCheckRouting": {"return": 5}}, or uspCheckRouting={"return": 5}),
        replacing the earlier ones; none at all removes them."""
        answers = {**(procedures or {}), **by_name}
        fd, name = tempfile.mkstemp(suffix=".json")
        try:
            with os.fdopen(fd, "w") as f:
                json.dump({"procedures": answers} if answers else {}, f)
            _sim("answers", self.path, name)
        finally:
            os.unlink(name)

    def calls(self, clear: bool = False) -> list[dict]:
        """The journal: each command the database received ({"id", "at", "connection", "login",
        "host", "program", "station", "text", "type", "procedure", "params", "status", "rows",
        "duration_ms", "error"})."""
        return _sim("calls", self.path, *(["--clear"] if clear else []))

    def procedures_called(self) -> list[str]:
        """The names of the procedures and batches called, in order."""
        return [c["text"] for c in self.calls()]

    def results(self, seeded: bool = False) -> list[dict]:
        """The results stored since the plant was made or opened, oldest first
        ({"test_id", "serial", "station", "status", "document", ...}); with
        seeded=True also the sample plant's history (or what the file held when opened)."""
        rows = _sim("results", self.path)
        return rows if seeded else [r for r in rows if r["test_id"] > self._seeded]

    def sql(self, statement: str) -> list[dict]:
        """Runs one SQL statement on the file (to change the plant); rows as dicts."""
        return _sim("sql", self.path, statement)


class _CaseKeepingParser(configparser.ConfigParser):
    """INI keys keep their case (the component's keys are mixed case)."""

    def optionxform(self, optionstr: str) -> str:
        return optionstr


class StationHome:
    """A component folder: the sample site files and DEZozevo.ini for a plant."""

    def __init__(self, path: Union[str, os.PathLike], server: str, station: str = "FCT-01"):
        self.path = os.path.abspath(os.fspath(path))
        os.makedirs(self.path, exist_ok=True)
        site = _native.site_folder()
        for f in SITE_FILES:
            shutil.copyfile(os.path.join(site, f), os.path.join(self.path, f))
        self.ini_path = os.path.join(self.path, "DEZozevo.ini")
        self.resend_file = os.path.join(self.path, "resend.xml")
        self.set(DATABASE={"SERVER": server}, STATION={"STATION": station})

    def __fspath__(self) -> str:
        return self.path

    def set(self, **sections: dict[str, Any]) -> None:
        """Changes INI keys: home.set(ERROR={"ResendOnNetErr": "yes"}, LOG={"LEVEL": 1}).
        A Tester created afterwards reads them."""
        ini = _CaseKeepingParser(interpolation=None, comment_prefixes=(";",), strict=False)
        ini.read(self.ini_path, encoding="utf-8")
        for section, keys in sections.items():
            if not ini.has_section(section):
                ini.add_section(section)
            for k, v in keys.items():
                ini.set(section, k, str(v))
        with open(self.ini_path, "w", encoding="utf-8") as f:
            ini.write(f, space_around_delimiters=False)

    @property
    def sample_result(self) -> str:
        """The sample result document (unit SN24001-0003 at FCT-01)."""
        with open(os.path.join(self.path, "SampleResult.xml"), encoding="utf-8") as f:
            return f.read()

    def log(self) -> str:
        """The text of the component's logs in this folder."""
        return "".join(open(os.path.join(self.path, n), encoding="utf-8", errors="replace").read()
                       for n in sorted(os.listdir(self.path)) if n.startswith("DEZozevo2") and n.endswith(".log"))

    def tester(self, **kw):
        """A Tester on this folder."""
        from .tester import Tester
        return Tester(home=self.path, **kw)


class MesServer:
    """`dezozevo-sim serve` on a free loopback port; stop() and start() again on the same port.
    With web=True it also serves the web view, at web_url."""

    def __init__(self, plant: Plant, host: str = "127.0.0.1", web: bool = False):
        self.plant, self.host, self.port = plant, host, 0
        self.web_url: Optional[str] = None
        self._web_port: Optional[int] = 0 if web else None
        self._proc: Optional[subprocess.Popen[str]] = None
        self.start()

    @property
    def data_source(self) -> str:
        """The INI's SERVER value: "host,port"."""
        return f"{self.host},{self.port}"

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def start(self) -> None:
        if self.running:
            return
        err = tempfile.TemporaryFile(mode="w+")
        args = [_native.sim_command(), "serve", self.plant.path, "--host", self.host, "--port", str(self.port)]
        if self._web_port is not None:
            args += ["--http", str(self._web_port)]
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err, text=True)
        assert proc.stdout is not None
        line = proc.stdout.readline().strip()
        web = proc.stdout.readline().strip() if self._web_port is not None else "web view on "
        if not line.startswith("listening on ") or not web.startswith("web view on "):
            proc.kill()
            proc.wait()
            proc.stdout.close()
            err.seek(0)
            raise RuntimeError(f"dezozevo-sim serve did not start: {err.read().strip() or line}")
        err.close()
        self.port = int(line.rsplit(":", 1)[1])
        if self._web_port is not None:
            self.web_url = web[len("web view on "):]
            self._web_port = int(self.web_url.rsplit(":", 1)[1])
        self._proc = proc

    def stop(self) -> None:
        """Stops the listener: open connections break."""
        if self._proc is None:
            return
        proc, self._proc = self._proc, None
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc.stdout is not None:
            proc.stdout.close()
