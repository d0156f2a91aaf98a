"""The Tester: the component's eighteen methods over its C interface."""
from __future__ import annotations

import ctypes
import json
import os
import threading
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, TypeVar, Union

from . import _methods, _native
from .errors import (STATUS_MEANINGS, CallRefused, DezozevoError, Diagnostic, MethodFailed, diagnostics_of,
                     error_class, status_meaning)

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
class UnitCheckResult(Result):
    """May the unit be tested here: status 0, or the refusal's status and reason."""
    unit_info: str = ""
    reason: str = ""


@dataclass
class Failure:
    status: int
    description: str
    diagnostics: list[Diagnostic] = field(default_factory=list)


@dataclass
class Queue:
    """The resend queue: its file, the results kept, the age of the oldest
    (None when none is kept) and the results set aside as rejected."""
    path: str
    kept: int
    oldest_seconds: Optional[int]
    rejected: int


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
    queue: Optional[Queue] = None

    @property
    def ok(self) -> bool:
        """Start-up reached the database and resolved the station's connection."""
        return self.startup_status == 0


T = TypeVar("T")


def _interface(method: str, returns: type[T]) -> Callable[..., T]:
    """A Tester method in the interface's own terms, for code ported from it."""
    def call(self: "Tester", *args: Any, check: Optional[bool] = None, **kwargs: Any) -> T:
        return self._by_interface(method, args, kwargs, check)
    call.__name__ = call.__qualname__ = method
    call.__doc__ = (f"{method} with the interface's argument names and order; "
                    f"returns {returns.__name__}. See the snake_case method.")
    return call


class Tester:
    """A Tester of the component, bound to the thread that creates it.

    home: the component folder (DEZozevo.ini, style sheets, schemas, logs).
        It becomes $DEZOZEVO_HOME of the process while the Tester is open;
        without it, $DEZOZEVO_HOME or the library's folder. Testers of one
        thread share their settings: the last one created sets them.
    check: when True, a business method whose status is not 0 raises the
        DezozevoError subclass of its status (dezozevo.error_class) instead
        of returning; each method takes check= too.

    The methods come twice: snake_case ones with the inputs positional in
    reading order and the by-reference outputs keyword-only
    (t.get_model_attributes("ASM-5000", "C")), and the interface's own names
    taking its argument names and order (t.GetModelAttributes("", "ASM-5000", "C")).

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
                     last_failure=Failure(lf["status"], lf["description"], diagnostics_of(lf)) if lf else None,
                     test_id=s.get("testId"),
                     queue=Queue(q["path"], q["kept"], q["oldestSeconds"], q["rejected"]) if (q := s.get("queue"))
                     else None)

    def resend(self, *, check: Optional[bool] = None) -> int:
        """Sends the results kept for resend now, oldest first, waiting for another
        process's replay to end: the status of the unit query's resend step
        (0 all stored or set aside, 9001-9003 still out of reach, 9997 the queue
        cannot be read or a stored result cannot be removed)."""
        self._alive("resend")
        status = ctypes.c_int32()
        rc = self._lib.dz_resend(self._handle, ctypes.byref(status))
        if rc != _native.DZ_OK:
            raise _refused("resend", rc, self._lib)
        return self._checked("resend", status.value, check)

    def may_test(self, unit_sn: str, station: str = "", *, check: Optional[bool] = None) -> UnitCheckResult:
        """May the unit be tested at `station` (empty: the INI station) now, on every
        generation: generation 10 asks the database (CheckRoute), 20 and later read
        the unit's Status and NextStation from its unit document (the site's
        UnitCheck.xsl in the component folder, else the sample site's shape).

        Returns UnitCheckResult(status, unit_info, reason): 0 it may, with the unit
        document; else the refusal's status (3 due at another station, 4 on hold, 5
        scrapped, 6 route completed, or GetUnitInfo's and CheckRoute's statuses) and
        the reason the component logged."""
        for name, value in (("unit_sn", unit_sn), ("station", station)):
            if not isinstance(value, str):
                raise TypeError(f"{name} must be a str, not {type(value).__name__}")
            if "\0" in value:
                raise ValueError(f"{name} must not contain NUL")
        self._alive("may_test")
        info, status = ctypes.c_void_p(), ctypes.c_int32()
        rc = self._lib.dz_may_test(self._handle, unit_sn.encode(), station.encode(), ctypes.byref(info),
                                   ctypes.byref(status))
        if rc != _native.DZ_OK:
            raise _refused("may_test", rc, self._lib)
        try:
            unit_info = ctypes.string_at(info).decode("utf-8", "replace") if info.value else ""
        finally:
            self._lib.dz_free(info)
        reason = ""
        if status.value != 0:
            lf = self._state_json().get("lastFailure")
            reason = lf.get("description", "") if lf and lf.get("status") == status.value else ""
        return self._checked("may_test", status.value, check, UnitCheckResult(status.value, unit_info, reason))

    def _state_json(self) -> dict:
        self._alive("state")
        out = ctypes.c_void_p()
        rc = self._lib.dz_state(self._handle, ctypes.byref(out))
        if rc != _native.DZ_OK:
            raise _refused("state", rc, self._lib)
        try:
            return json.loads(ctypes.string_at(out).decode("utf-8", "replace"))
        finally:
            self._lib.dz_free(out)

    def _alive(self, method: str) -> None:
        if self._handle is None:
            raise CallRefused(method, None, "the Tester is closed")

    # ---- the call --------------------------------------------------------

    def _invoke_raw(self, method: str, args: list) -> tuple[Any, dict]:
        """dz_invoke with positional arguments in the interface's order: (result, by-reference args)."""
        if self._handle is None:
            self._alive(method)
        out = ctypes.c_void_p()
        rc = self._invoke(self._handle, method.encode(), json.dumps(args).encode(), ctypes.byref(out))
        if rc != _native.DZ_OK:
            raise _refused(method, rc, self._lib)
        try:
            answer = json.loads(ctypes.string_at(out))
        finally:
            self._lib.dz_free(out)
        return answer["result"], answer["args"]

    def _call(self, method: str, values: dict[str, Any], check: Optional[bool] = None,
              python_names: bool = True) -> Any:
        """Calls `method` with `values` by interface argument name, in the order
        the library describes; an argument not given is the empty text. A business
        method answers its status, or its Result when it has outputs; the others
        their result."""
        m = _methods.table()[method]
        args = [a.check(values.get(a.name, ""), a.python_name if python_names else a.name) for a in m.args]
        value, byref = self._invoke_raw(method, args)
        if not m.business:
            return value
        result_type = RESULT_TYPES.get(method)
        result = result_type(value, **{a.python_name: byref[a.name] for a in m.outputs}) if result_type else None
        return self._checked(method, value, check, result)

    def _checked(self, method: str, status: int, check: Optional[bool], result: "Optional[Result]" = None):
        """Returns `result` (or the status), or raises when checking a non-zero status."""
        if status != 0 and (self.check if check is None else check):
            description, diagnostics = "", []
            try:
                lf = self._state_json().get("lastFailure")
                if lf and lf.get("status") == status:
                    description, diagnostics = lf.get("description", ""), diagnostics_of(lf)
            except DezozevoError:
                pass
            raise error_class(status)(method, status, status_meaning(status), description, result, diagnostics)
        return status if result is None else result

    def _by_interface(self, method: str, args: tuple, kwargs: dict, check: Optional[bool]) -> Any:
        """A call in the interface's own terms: positional arguments in its order,
        keywords by its argument names (any case)."""
        m = _methods.table()[method]
        if len(args) > len(m.args):
            raise TypeError(f"{method} takes {len(m.args)} arguments, {len(args)} given")
        values = {a.name: v for a, v in zip(m.args, args)}
        by_lower = {a.name.lower(): a for a in m.args}
        for k, v in kwargs.items():
            a = by_lower.get(k.lower())
            if a is None:
                raise TypeError(f"{method} has no argument {k}")
            if a.name in values:
                raise TypeError(f"{method}: argument {a.name} is given twice")
            values[a.name] = v
        missing = [a.name for a in m.args if a.name not in values and not a.optional and a not in m.outputs]
        if missing:
            raise TypeError(f"{method}: argument {', '.join(missing)} is missing")
        return self._call(method, values, check, python_names=False)

    # ---- the methods, Python's way: inputs in reading order, outputs keyword-only

    def check_route(self, unit_sn: str, station: str, *, check: Optional[bool] = None) -> int:
        """Whether the unit may be tested at `station` now. Generation 10 asks the
        database; generation 20 and later answer 0 without asking: there the unit
        document's Status and NextStation tell (get_unit_info).

        Returns the status: 0 the check passed; a positive reason code from the
        database (refused); 100 no generation detected; 9001/9002/9003/9999 a failure."""
        return self._call("CheckRoute", {"strUnitSN": unit_sn, "strStation": station}, check)

    def get_unit_info(self, request: str, station_name: str = "", user_id: str = "", *, unit_info: str = "",
                      check: Optional[bool] = None) -> UnitInfoResult:
        """The database's data of the unit that `request` names
        (`<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="..."/>`).

        station_name: resolve this station's connection first (empty: the INI station).
        user_id: sent to generation 22 and later.
        unit_info: the text the output starts from (the generation-10 worker appends to it).
        Returns UnitInfoResult(status, unit_info). Statuses: 0 done; 10 the request failed
        validation, or 10/20/30 the station's connection could not be resolved; 100 no
        generation detected; 6000 no row; the procedure's own code (1: unknown unit);
        9001-9003/9999 failures; a resent kept result's status (ResendOnNetErr)."""
        return self._call("GetUnitInfo", {"strRequest": request, "strUnitInfo": unit_info,
                                          "strStationName": station_name, "strUserID": user_id}, check)

    def get_calibration_info(self, station_name: str = "", fixture: str = "", *, calibration_info: str = "",
                             check: Optional[bool] = None) -> CalibrationInfoResult:
        """The calibration data of a station (empty: the INI station) and fixture (empty: the
        station's own), generation 10; generation 20 answers 0 with the output as passed.

        Returns CalibrationInfoResult(status, calibration_info). Statuses: 0, 6000, the
        procedure's own code, 100 no generation detected, 9001-9003/9999."""
        return self._call("GetCalibrationInfo", {"strCalibrationInfo": calibration_info,
                                                 "strStationName": station_name, "strFixture": fixture}, check)

    def save_calibration(self, calibration: str, *, check: Optional[bool] = None) -> int:
        """Stores a calibration document (generation 10; generation 20 answers 0).

        Returns the status: 0, the procedure's own code, 100 no generation detected,
        9001-9003/9999."""
        return self._call("SaveCalibration", {"strCalibration": calibration}, check)

    def get_order_info(self, station_name: str = "", *, work_order_info: str = "",
                       check: Optional[bool] = None) -> OrderInfoResult:
        """The station's current work order as `<WOINFO>` (empty station: the INI station).

        Returns OrderInfoResult(status, work_order_info). Statuses: 0, 6000 no work order,
        the procedure's own code, 9001-9003/9999."""
        return self._call("GetOrderInfo", {"strWorkOrderInfo": work_order_info, "strStationName": station_name},
                          check)

    def get_order_info_by_station(self, station_name: str = "", *, work_order_info: str = "",
                                  check: Optional[bool] = None) -> OrderInfoResult:
        """Every work-order line of the station as `WOBYSTATION`.

        Returns OrderInfoResult(status, work_order_info). Statuses as get_order_info."""
        return self._call("GetOrderInfoByStation", {"strWorkOrderInfo": work_order_info,
                                                    "strStationName": station_name}, check)

    def get_model_attributes(self, part_number: str, part_rev: str, *, model_info: str = "",
                             check: Optional[bool] = None) -> ModelAttributesResult:
        """The attributes of a part number and revision as `MODELATTR`.

        Returns ModelAttributesResult(status, model_info). Statuses: 0, 6000, the
        procedure's own code, 9001-9003/9999."""
        return self._call("GetModelAttributes", {"strModelInfo": model_info, "strPartNumber": part_number,
                                                 "strPartRev": part_rev}, check)

    def get_unit_attributes(self, request: str, station_name: str = "", *, unit_info: str = "",
                            check: Optional[bool] = None) -> UnitInfoResult:
        """The unit's attributes as a flat list (generation 10; generation 20 answers 0 with
        the output as passed).

        Returns UnitInfoResult(status, unit_info). Statuses: 0, 6000, the procedure's own
        code, 100 no generation detected, 9001-9003/9999."""
        return self._call("GetUnitAttributes", {"strRequest": request, "strUnitInfo": unit_info,
                                                "strStationName": station_name}, check)

    def get_err_message(self, err_code: int) -> str:
        """The database's message text for a status code (generation 23 and later; else "").
        Raises MethodFailed when the lookup fails."""
        return self._call("GetErrMessage", {"nErrCode": err_code})

    def save_result(self, result_text: Union[str, bytes, None], *, check: Optional[bool] = None) -> int:
        """Validates, transforms and stores the tester's result document (None: the variant Null).
        The test ID the database gave it is in `state.test_id` (generation 10).

        Returns the status: 0 stored (or TERMINATE: not stored); 10 the document failed
        parsing or validation; 100 no generation detected; the procedure's own code;
        9001-9003 not reached (kept for resending with ResendOnNetErr), 9998 not reached
        and not kept; 9999; -9999 buffer folder or file."""
        return self._call("SaveResult", {"strXMLResultText": result_text}, check)

    def get_last_error(self) -> str:
        """The text of the component's last error ("OK" when none)."""
        return self._call("GetLastError", {})

    def get_profile_item(self, section_name: str, key_name: str, default_value: str = "",
                         ini_file: str = "") -> str:
        """A value of an INI file (empty ini_file: DEZozevo.ini in the component folder)."""
        return self._call("GetProfileItem", {"strSectionName": section_name, "strKeyName": key_name,
                                             "strDefaultValue": default_value, "strIniFile": ini_file})

    def get_station(self) -> str:
        """The INI station."""
        return self._call("getStation", {})

    def file_exists(self, file_name: str) -> bool:
        """Whether an ordinary file matches the name ("*" and "?" are wildcards).
        Raises MethodFailed when the folder cannot be read."""
        return self._call("FileExists", {"Fname": file_name})

    def put_log(self, msg: str, level: int = 1) -> None:
        """Writes a line to the component's log: level 1 failures, 2 details."""
        self._call("putLog", {"strMsg": msg, "nLevel": level})

    def calc_err_code(self, msg: str) -> int:
        """The status a failure description classifies as: 9001, 9002, 9003 or 9999."""
        return self._call("CalcErrCode", {"strMsg": msg})

    def get_product_structure(self, part: str, *, product_structure: str = "", error_description: str = "",
                              check: Optional[bool] = None) -> ProductStructureResult:
        """The product structure of `<Part PartNumber=".." [Revision=".."]/>` (or SerialNumber=..).

        Returns ProductStructureResult(status, product_structure, error_description).
        Statuses: 0, 6000, the procedure's own code, 9001-9003/9999."""
        return self._call("GetProductStructure", {"xmlPart": part, "xmlProductStructure": product_structure,
                                                  "ErrorDescription": error_description}, check)

    def get_generic_function(self, xml_in: str, function_name: str = "", *, xml_out: str = "",
                             error_description: str = "", check: Optional[bool] = None) -> GenericFunctionResult:
        """Runs the site procedure that [GENERICFUNCTIONSMAPPING] maps `function_name` to
        (empty: [CUSTOMIZATION] SPToGenericFunction) with `xml_in`.

        Returns GenericFunctionResult(status, xml_out, error_description). Statuses: 0, the
        procedure's own code, 9001-9003/9999."""
        return self._call("GetGenericFunction", {"xmlIn": xml_in, "xmlOut": xml_out,
                                                 "ErrorDescription": error_description,
                                                 "FunctionName": function_name}, check)

    # ---- the interface's own names, argument names and order, for ported code:
    #   t.GetModelAttributes("", "ASM-5000", "C") or t.GetUnitInfo(strRequest=req, strStationName="FCT-01")
    # By-reference outputs may be left out (the empty text); the outputs come back in the Result.

    CheckRoute = _interface("CheckRoute", int)
    GetUnitInfo = _interface("GetUnitInfo", UnitInfoResult)
    GetCalibrationInfo = _interface("GetCalibrationInfo", CalibrationInfoResult)
    SaveCalibration = _interface("SaveCalibration", int)
    GetOrderInfo = _interface("GetOrderInfo", OrderInfoResult)
    GetOrderInfoByStation = _interface("GetOrderInfoByStation", OrderInfoResult)
    GetModelAttributes = _interface("GetModelAttributes", ModelAttributesResult)
    GetUnitAttributes = _interface("GetUnitAttributes", UnitInfoResult)
    GetErrMessage = _interface("GetErrMessage", str)
    SaveResult = _interface("SaveResult", int)
    GetLastError = _interface("GetLastError", str)
    GetProfileItem = _interface("GetProfileItem", str)
    getStation = _interface("getStation", str)
    FileExists = _interface("FileExists", bool)
    putLog = _interface("putLog", type(None))
    CalcErrCode = _interface("CalcErrCode", int)
    GetProductStructure = _interface("GetProductStructure", ProductStructureResult)
    GetGenericFunction = _interface("GetGenericFunction", GenericFunctionResult)


# The Result of each business method with outputs.
RESULT_TYPES: dict[str, type[Result]] = {
    "GetUnitInfo": UnitInfoResult, "GetCalibrationInfo": CalibrationInfoResult, "GetOrderInfo": OrderInfoResult,
    "GetOrderInfoByStation": OrderInfoResult, "GetModelAttributes": ModelAttributesResult,
    "GetUnitAttributes": UnitInfoResult, "GetProductStructure": ProductStructureResult,
    "GetGenericFunction": GenericFunctionResult,
}


def _refused(method: str, rc: int, lib) -> DezozevoError:
    """A call the C interface refused (or a method that failed towards its caller):
    its code's name and the library's description."""
    kind = MethodFailed if rc == _native.DZ_E_FAILED else CallRefused
    return kind(method, None, _native.DZ_E_NAMES.get(rc, f"code {rc}"),
                (lib.dz_last_error() or b"").decode("utf-8", "replace"))
