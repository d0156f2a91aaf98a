"""The Tester: the component's eighteen methods over its C interface."""
from __future__ import annotations

import ctypes
import json
import os
import threading
from dataclasses import dataclass
from typing import Any, Optional, Union

from . import _native

# What a business method's status means. Codes not listed are a stored
# procedure's or a worker's own (a refusal or a failure).
STATUS_MEANINGS: dict[int, str] = {
    0: "done",
    10: "the document failed parsing or schema validation, or the station's connection could not be resolved",
    20: "the slave-connection lookup reported an error",
    30: "the master database has no connection row for the station",
    100: "no worker serves the server generation (none detected: the database was not reached at start-up)",
    6000: "the stored procedure returned no row",
    9001: "access denied (the login or its rights), or the server was not found",
    9002: "network error",
    9003: "time-out",
    9997: "the kept result cannot be read, or it was stored again but the resend file could not be removed",
    9998: "the database was not reached, and the result could not be kept in the resend file",
    9999: "another failure",
    -9999: "the buffer folder is missing, or the result could not be written into it (after the upload: "
           "the header is stored, the body stays in its _pending file)",
}


def status_meaning(status: int) -> str:
    """The meaning of a business method's status."""
    if status in STATUS_MEANINGS:
        return STATUS_MEANINGS[status]
    return "the stored procedure's own code" + (" (a refusal or a failure)" if status > 0 else "")


class DezozevoError(Exception):
    """A call that failed: a non-zero status under check=True, a method that
    fails towards its caller (FileExists, GetErrMessage), or a refused call.

    status: the business method's status, or None
    meaning: what the status (or the refusal) means
    description: the failure the component logged during the call, or the
        library's description of a refused call
    method: the method's name
    result: the method's Result (status and outputs) under check=True, else None
    """

    def __init__(self, method: str, status: Optional[int], meaning: str, description: str = "",
                 result: "Optional[Result]" = None):
        self.method, self.status, self.meaning, self.description = method, status, meaning, description
        self.result = result
        head = f"{method}: " + (f"status {status}, " if status is not None else "") + meaning
        super().__init__(head + (f": {description}" if description else ""))


@dataclass
class Result:
    """A status with by-reference outputs; the outputs are valid when ok."""
    status: int

    @property
    def ok(self) -> bool:
        return self.status == 0

    @property
    def meaning(self) -> str:
        return status_meaning(self.status)


@dataclass
class UnitInfoResult(Result):
    unit_info: str = ""


@dataclass
class CalibrationInfoResult(Result):
    calibration_info: str = ""


@dataclass
class OrderInfoResult(Result):
    work_order_info: str = ""


@dataclass
class ModelAttributesResult(Result):
    model_info: str = ""


@dataclass
class ProductStructureResult(Result):
    product_structure: str = ""
    error_description: str = ""


@dataclass
class GenericFunctionResult(Result):
    xml_out: str = ""
    error_description: str = ""


@dataclass
class Failure:
    status: int
    description: str


@dataclass
class State:
    """The Tester's state: start-up outcome and the connection in use."""
    startup_status: int
    generation: int
    revision: int
    schema: int
    server: str
    database: str
    station: str
    folder: str
    ini_file: str
    ini_found: bool
    last_failure: Optional[Failure]
    test_id: Optional[int]

    @property
    def ok(self) -> bool:
        """Start-up reached the database and resolved the station's connection."""
        return self.startup_status == 0


def _text(name: str, value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _int(name: str, value: Any, lo: int, hi: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not lo <= value <= hi:
        raise ValueError(f"{name} must be between {lo} and {hi}, not {value}")
    return value


class Tester:
    """A Tester of the component, bound to the thread that creates it.

    home: the component folder (DEZozevo.ini, style sheets, schemas, logs).
        It becomes $DEZOZEVO_HOME of the process while the Tester is open;
        without it, $DEZOZEVO_HOME or the library's folder. Testers of one
        thread share their settings: the last one created sets them.
    check: when True, a business method whose status is not 0 raises
        DezozevoError instead of returning; each method takes check= too.

    Creating a Tester succeeds also when the database cannot be reached;
    `state` tells the start-up outcome. Use it as a context manager, or call
    close().
    """

    def __init__(self, home: Optional[Union[str, os.PathLike]] = None, check: bool = False):
        self._handle: Optional[int] = None
        self._home_env: Optional[tuple] = None
        self.check = bool(check)
        lib = _native.library()
        if home is not None:
            home = os.path.abspath(os.fspath(home))
            if not os.path.isdir(home):
                raise FileNotFoundError(f"Tester: the component folder {home} does not exist")
            self._home_env = (home, os.environ.get("DEZOZEVO_HOME"))
            os.environ["DEZOZEVO_HOME"] = home
        handle = ctypes.c_void_p()
        rc = lib.dz_tester_create(ctypes.byref(handle))
        if rc != _native.DZ_OK:
            self._restore_home()
            raise _refused("Tester", rc, lib)
        self._lib = lib
        self._handle = handle.value
        self._invoke = lib.dz_invoke
        self._thread = threading.get_ident()

    # ---- life time -------------------------------------------------------

    def close(self) -> None:
        """Releases the Tester (on its own thread); a second close does nothing."""
        if self._handle is None:
            return
        rc = self._lib.dz_tester_release(self._handle)
        if rc != _native.DZ_OK:
            raise _refused("close", rc, self._lib)
        self._handle = None
        self._restore_home()

    def _restore_home(self) -> None:
        if self._home_env and os.environ.get("DEZOZEVO_HOME") == self._home_env[0]:
            if self._home_env[1] is None:
                os.environ.pop("DEZOZEVO_HOME", None)
            else:
                os.environ["DEZOZEVO_HOME"] = self._home_env[1]
        self._home_env = None

    def __enter__(self) -> "Tester":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None and threading.get_ident() == self._thread:
            try:
                self.close()
            except Exception:
                pass

    @property
    def closed(self) -> bool:
        return self._handle is None

    @property
    def state(self) -> State:
        """The start-up outcome, the generation and the connection in use, the
        last failure and the last test ID stored."""
        s = self._state_json()
        lf = s.get("lastFailure")
        return State(startup_status=s["startupStatus"], generation=s["generation"], revision=s["revision"],
                     schema=s["schema"], server=s["server"], database=s["database"], station=s["station"],
                     folder=s["folder"], ini_file=s["iniFile"], ini_found=s["iniFound"],
                     last_failure=Failure(lf["status"], lf["description"]) if lf else None,
                     test_id=s.get("testId"))

    def _state_json(self) -> dict:
        self._alive("state")
        out = ctypes.c_void_p()
        rc = self._lib.dz_state(self._handle, ctypes.byref(out))
        if rc != _native.DZ_OK:
            raise _refused("state", rc, self._lib)
        try:
            return json.loads(ctypes.string_at(out.value).decode("utf-8", "replace"))
        finally:
            self._lib.dz_free(out)

    def _alive(self, method: str) -> None:
        if self._handle is None:
            raise DezozevoError(method, None, "the Tester is closed")

    # ---- the call --------------------------------------------------------

    def _call(self, method: bytes, args: list) -> tuple[Any, dict]:
        if self._handle is None:
            self._alive(method.decode())
        out = ctypes.c_void_p()
        rc = self._invoke(self._handle, method, json.dumps(args).encode(), ctypes.byref(out))
        if rc != _native.DZ_OK:
            raise _refused(method.decode(), rc, self._lib)
        try:
            answer = json.loads(ctypes.string_at(out.value))
        finally:
            self._lib.dz_free(out)
        return answer["result"], answer["args"]

    def _checked(self, method: str, status: int, check: Optional[bool], result: "Optional[Result]" = None):
        """Returns `result` (or the status), or raises when checking a non-zero status."""
        if status != 0 and (self.check if check is None else check):
            description = ""
            try:
                lf = self._state_json().get("lastFailure")
                if lf and lf.get("status") == status:
                    description = lf.get("description", "")
            except DezozevoError:
                pass
            raise DezozevoError(method, status, status_meaning(status), description, result)
        return status if result is None else result

    def _business(self, method: str, args: list, check: Optional[bool], result_type: "Optional[type]" = None,
                  outputs: tuple = ()):
        """Calls a business method; with `result_type`, its status and the named
        by-reference `outputs` come back in that Result."""
        status, a = self._call(method.encode(), args)
        result = result_type(status, *(a[k] for k in outputs)) if result_type else None
        return self._checked(method, status, check, result)

    # ---- the eighteen methods, in the interface's order --------------------

    def CheckRoute(self, unit_sn: str, station: str, *, check: Optional[bool] = None) -> int:
        """Whether the unit may be tested at `station` now (generation 10; generation 20
        answers 0 without asking the database).

        Returns the status: 0 the check passed; a positive reason code from the
        database (refused); 100 no generation detected; 9001/9002/9003/9999 a failure."""
        return self._business("CheckRoute", [_text("unit_sn", unit_sn), _text("station", station)], check)

    def GetUnitInfo(self, request: str, unit_info: str = "", station_name: str = "", user_id: str = "", *,
                    check: Optional[bool] = None) -> UnitInfoResult:
        """The database's data of the unit that `request` names
        (`<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="..."/>`).

        unit_info: the text the output starts from (the generation-10 worker appends to it).
        station_name: resolve this station's connection first (empty: the INI station).
        user_id: sent to generation 22 and later.
        Returns UnitInfoResult(status, unit_info). Statuses: 0 done; 10 the request failed
        validation, or 10/20/30 the station's connection could not be resolved; 100 no
        generation detected; 6000 no row; the procedure's own code (1: unknown unit);
        9001-9003/9999 failures; a resent kept result's status (ResendOnNetErr)."""
        return self._business("GetUnitInfo", [_text("request", request), _text("unit_info", unit_info),
                                              _text("station_name", station_name), _text("user_id", user_id)],
                              check, UnitInfoResult, ("strUnitInfo",))

    def GetCalibrationInfo(self, calibration_info: str = "", station_name: str = "", fixture: str = "", *,
                           check: Optional[bool] = None) -> CalibrationInfoResult:
        """The calibration data of a station (empty: the INI station) and fixture (empty: the
        station's own), generation 10; generation 20 answers 0 with the output as passed.

        Returns CalibrationInfoResult(status, calibration_info). Statuses: 0, 6000, the
        procedure's own code, 100 no generation detected, 9001-9003/9999."""
        return self._business("GetCalibrationInfo", [_text("calibration_info", calibration_info),
                                                     _text("station_name", station_name), _text("fixture", fixture)],
                              check, CalibrationInfoResult, ("strCalibrationInfo",))

    def SaveCalibration(self, calibration: str, *, check: Optional[bool] = None) -> int:
        """Stores a calibration document (generation 10; generation 20 answers 0).

        Returns the status: 0, the procedure's own code, 100 no generation detected,
        9001-9003/9999."""
        return self._business("SaveCalibration", [_text("calibration", calibration)], check)

    def GetOrderInfo(self, work_order_info: str = "", station_name: str = "", *,
                     check: Optional[bool] = None) -> OrderInfoResult:
        """The station's current work order as `<WOINFO>` (empty station: the INI station).

        Returns OrderInfoResult(status, work_order_info). Statuses: 0, 6000 no work order,
        the procedure's own code, 9001-9003/9999."""
        return self._business("GetOrderInfo", [_text("work_order_info", work_order_info),
                                               _text("station_name", station_name)],
                              check, OrderInfoResult, ("strWorkOrderInfo",))

    def GetOrderInfoByStation(self, work_order_info: str = "", station_name: str = "", *,
                              check: Optional[bool] = None) -> OrderInfoResult:
        """Every work-order line of the station as `WOBYSTATION`.

        Returns OrderInfoResult(status, work_order_info). Statuses as GetOrderInfo."""
        return self._business("GetOrderInfoByStation", [_text("work_order_info", work_order_info),
                                                        _text("station_name", station_name)],
                              check, OrderInfoResult, ("strWorkOrderInfo",))

    def GetModelAttributes(self, model_info: str = "", part_number: str = "", part_rev: str = "", *,
                           check: Optional[bool] = None) -> ModelAttributesResult:
        """The attributes of a part number and revision as `MODELATTR`.

        Returns ModelAttributesResult(status, model_info). Statuses: 0, 6000, the
        procedure's own code, 9001-9003/9999."""
        return self._business("GetModelAttributes", [_text("model_info", model_info),
                                                     _text("part_number", part_number), _text("part_rev", part_rev)],
                              check, ModelAttributesResult, ("strModelInfo",))

    def GetUnitAttributes(self, request: str, unit_info: str = "", station_name: str = "", *,
                          check: Optional[bool] = None) -> UnitInfoResult:
        """The unit's attributes as a flat list (generation 10; generation 20 answers 0 with
        the output as passed).

        Returns UnitInfoResult(status, unit_info). Statuses: 0, 6000, the procedure's own
        code, 100 no generation detected, 9001-9003/9999."""
        return self._business("GetUnitAttributes", [_text("request", request), _text("unit_info", unit_info),
                                                    _text("station_name", station_name)],
                              check, UnitInfoResult, ("strUnitInfo",))

    def GetErrMessage(self, err_code: int) -> str:
        """The database's message text for a status code (generation 23 and later; else "").
        Raises DezozevoError when the lookup fails."""
        result, _ = self._call(b"GetErrMessage", [_int("err_code", err_code, -2**31, 2**31 - 1)])
        return result

    def SaveResult(self, result_text: Union[str, bytes, None], *, check: Optional[bool] = None) -> int:
        """Validates, transforms and stores the tester's result document (None: the variant Null).
        The test ID the database gave it is in `state.test_id` (generation 10).

        Returns the status: 0 stored (or TERMINATE: not stored); 10 the document failed
        parsing or validation; 100 no generation detected; the procedure's own code;
        9001-9003 not reached (kept for resending with ResendOnNetErr), 9998 not reached
        and not kept; 9999; -9999 buffer folder or file."""
        if isinstance(result_text, bytes):
            try:
                result_text = result_text.decode("utf-8")
            except UnicodeDecodeError as e:
                raise ValueError(f"result_text is not UTF-8: {e}") from None
        elif result_text is not None:
            _text("result_text", result_text)
        return self._business("SaveResult", [result_text], check)

    def GetLastError(self) -> str:
        """The text of the component's last error ("OK" when none)."""
        return self._call(b"GetLastError", [])[0]

    def GetProfileItem(self, section_name: str, key_name: str, default_value: str = "", ini_file: str = "") -> str:
        """A value of an INI file (empty ini_file: DEZozevo.ini in the component folder)."""
        return self._call(b"GetProfileItem", [_text("section_name", section_name), _text("key_name", key_name),
                                              _text("default_value", default_value),
                                              _text("ini_file", ini_file)])[0]

    def getStation(self) -> str:
        """The INI station."""
        return self._call(b"getStation", [])[0]

    def FileExists(self, file_name: str) -> bool:
        """Whether an ordinary file matches the name ("*" and "?" are wildcards).
        Raises DezozevoError when the folder cannot be read."""
        return self._call(b"FileExists", [_text("file_name", file_name)])[0]

    def putLog(self, msg: str, level: int = 1) -> None:
        """Writes a line to the component's log: level 1 failures, 2 details."""
        self._call(b"putLog", [_text("msg", msg), _int("level", level, 0, 255)])

    def CalcErrCode(self, msg: str) -> int:
        """The status a failure description classifies as: 9001, 9002, 9003 or 9999."""
        return self._call(b"CalcErrCode", [_text("msg", msg)])[0]

    def GetProductStructure(self, part: str, product_structure: str = "", error_description: str = "", *,
                            check: Optional[bool] = None) -> ProductStructureResult:
        """The product structure of `<Part PartNumber=".." [Revision=".."]/>` (or SerialNumber=..).

        Returns ProductStructureResult(status, product_structure, error_description).
        Statuses: 0, 6000, the procedure's own code, 9001-9003/9999."""
        return self._business("GetProductStructure", [_text("part", part),
                                                      _text("product_structure", product_structure),
                                                      _text("error_description", error_description)],
                              check, ProductStructureResult, ("xmlProductStructure", "ErrorDescription"))

    def GetGenericFunction(self, xml_in: str, xml_out: str = "", error_description: str = "",
                           function_name: str = "", *, check: Optional[bool] = None) -> GenericFunctionResult:
        """Runs the site procedure that [GENERICFUNCTIONSMAPPING] maps `function_name` to
        (empty: [CUSTOMIZATION] SPToGenericFunction) with `xml_in`.

        Returns GenericFunctionResult(status, xml_out, error_description). Statuses: 0, the
        procedure's own code, 9001-9003/9999."""
        return self._business("GetGenericFunction", [_text("xml_in", xml_in), _text("xml_out", xml_out),
                                                     _text("error_description", error_description),
                                                     _text("function_name", function_name)],
                              check, GenericFunctionResult, ("xmlOut", "ErrorDescription"))

    # snake_case names
    check_route = CheckRoute
    get_unit_info = GetUnitInfo
    get_calibration_info = GetCalibrationInfo
    save_calibration = SaveCalibration
    get_order_info = GetOrderInfo
    get_order_info_by_station = GetOrderInfoByStation
    get_model_attributes = GetModelAttributes
    get_unit_attributes = GetUnitAttributes
    get_err_message = GetErrMessage
    save_result = SaveResult
    get_last_error = GetLastError
    get_profile_item = GetProfileItem
    get_station = getStation
    file_exists = FileExists
    put_log = putLog
    calc_err_code = CalcErrCode
    get_product_structure = GetProductStructure
    get_generic_function = GetGenericFunction


def _refused(method: str, rc: int, lib) -> DezozevoError:
    """A call the C interface refused: its code's name and the library's description."""
    return DezozevoError(method, None, _native.DZ_E_NAMES.get(rc, f"code {rc}"),
                         (lib.dz_last_error() or b"").decode("utf-8", "replace"))
