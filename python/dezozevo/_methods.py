"""The methods as the library describes them (dz_methods()), and the Python
names of their arguments.

The library's description decides each method's argument order, which
arguments are by reference, which are optional and what they convert to;
PYTHON_NAMES only spells the interface's argument names in Python.
"""
from __future__ import annotations

import ctypes
import json
import threading
from dataclasses import dataclass
from typing import Any, Optional

from . import _native

# Interface argument name -> Python argument name.
PYTHON_NAMES: dict[str, str] = {
    "strUnitSN": "unit_sn", "strStation": "station", "strRequest": "request", "strUnitInfo": "unit_info",
    "strStationName": "station_name", "strUserID": "user_id", "strCalibrationInfo": "calibration_info",
    "strFixture": "fixture", "strCalibration": "calibration", "strWorkOrderInfo": "work_order_info",
    "strModelInfo": "model_info", "strPartNumber": "part_number", "strPartRev": "part_rev",
    "nErrCode": "err_code", "strXMLResultText": "result_text", "strSectionName": "section_name",
    "strKeyName": "key_name", "strDefaultValue": "default_value", "strIniFile": "ini_file",
    "Fname": "file_name", "strMsg": "msg", "nLevel": "level", "xmlPart": "part",
    "xmlProductStructure": "product_structure", "ErrorDescription": "error_description", "xmlIn": "xml_in",
    "xmlOut": "xml_out", "FunctionName": "function_name",
}

# Methods whose status is checked and whose by-reference arguments are outputs,
# for a library whose description does not say ("business" in dz_methods()).
_BUSINESS = {"CheckRoute", "GetUnitInfo", "GetCalibrationInfo", "SaveCalibration", "GetOrderInfo",
             "GetOrderInfoByStation", "GetModelAttributes", "GetUnitAttributes", "SaveResult",
             "GetProductStructure", "GetGenericFunction"}

_RANGES = {"int32": (-2**31, 2**31 - 1), "uint8": (0, 255)}


@dataclass(frozen=True)
class Arg:
    name: str
    type: str
    by_ref: bool
    optional: bool

    @property
    def python_name(self) -> str:
        return PYTHON_NAMES.get(self.name, self.name)

    def check(self, value: Any, shown: str) -> Any:
        """The value as the library takes it, or TypeError/ValueError naming `shown`."""
        if self.type == "variant":
            if value is None or isinstance(value, str):
                return value
            if isinstance(value, bytes):
                try:
                    return value.decode("utf-8")
                except UnicodeDecodeError as e:
                    raise ValueError(f"{shown} is not UTF-8: {e}") from None
            raise TypeError(f"{shown} must be a str, bytes or None, not {type(value).__name__}")
        if self.type in _RANGES:
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{shown} must be an int, not {type(value).__name__}")
            lo, hi = _RANGES[self.type]
            if not lo <= value <= hi:
                raise ValueError(f"{shown} must be between {lo} and {hi}, not {value}")
            return value
        if not isinstance(value, str):
            raise TypeError(f"{shown} must be a str, not {type(value).__name__}")
        return value


@dataclass(frozen=True)
class Method:
    name: str
    result: str
    args: tuple[Arg, ...]
    business: bool

    @property
    def outputs(self) -> tuple[Arg, ...]:
        """The by-reference arguments a business method hands back."""
        return tuple(a for a in self.args if a.by_ref) if self.business else ()

    @property
    def inputs(self) -> tuple[Arg, ...]:
        return tuple(a for a in self.args if a not in self.outputs)


_lock = threading.Lock()
_table: Optional[dict[str, Method]] = None


def table() -> dict[str, Method]:
    """Every method by its interface name, read once from the library."""
    global _table
    if _table is None:
        with _lock:
            if _table is None:
                _table = _parse(_read())
    return _table


def _read() -> list:
    lib = _native.library()
    out = ctypes.c_void_p()
    rc = lib.dz_methods(ctypes.byref(out))
    if rc != _native.DZ_OK:
        raise ImportError(f"dezozevo: dz_methods failed with code {rc}")
    try:
        return json.loads(ctypes.string_at(out).decode("utf-8"))
    finally:
        lib.dz_free(out)


def _parse(described: list) -> dict[str, Method]:
    methods = {}
    for m in described:
        args = tuple(Arg(a["name"], a["type"], bool(a["byRef"]), bool(a["optional"])) for a in m["args"])
        business = bool(m.get("business", m["name"] in _BUSINESS))
        methods[m["name"]] = Method(m["name"], m["result"], args, business)
    return methods
