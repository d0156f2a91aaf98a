"""What a status means, and the exceptions a station catches.

    try:
        t.save_result(doc, check=True)
    except dezozevo.DatabaseUnreachable as e:   # 9001, 9002, 9003, 9998
        ...
    except dezozevo.RefusedByDatabase as e:     # the procedure's own code
        print(e.status, t.get_err_message(e.status))
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from .tester import Result

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
    9997: "the resend queue cannot be read, or a kept result was stored again but could not be removed",
    9998: "the database was not reached, and the result could not be kept in the resend queue",
    9999: "another failure",
    -9999: "the buffer folder is missing, or the result could not be written into it (after the upload: "
           "the header is stored, the body stays in its _pending file)",
}


def status_meaning(status: int) -> str:
    """The meaning of a business method's status."""
    if status in STATUS_MEANINGS:
        return STATUS_MEANINGS[status]
    return "the stored procedure's own code" + (" (a refusal or a failure)" if status > 0 else "")


@dataclass(frozen=True)
class Diagnostic:
    """One record of the database driver about a failure."""
    sqlstate: str
    native: int
    message: str

    @classmethod
    def from_json(cls, d: dict) -> "Diagnostic":
        return cls(str(d.get("sqlstate", "")), int(d.get("native", 0) or 0), str(d.get("message", "")))


class DezozevoError(Exception):
    """A call that failed: a non-zero status under check=True, a method that
    fails towards its caller (FileExists, GetErrMessage), or a refused call.

    method: the method's name
    status: the business method's status, or None
    meaning: what the status (or the refusal) means
    description: the failure the component logged during the call, or the
        library's description of a refused call
    result: the method's Result (status and outputs) under check=True, else None
    diagnostics: the database driver's records of the failure (a list, maybe empty)
    """

    def __init__(self, method: str, status: Optional[int], meaning: str, description: str = "",
                 result: "Optional[Result]" = None, diagnostics: Optional[list[Diagnostic]] = None):
        self.method, self.status, self.meaning, self.description = method, status, meaning, description
        self.result = result
        self.diagnostics: list[Diagnostic] = list(diagnostics or [])
        head = f"{method}: " + (f"status {status}, " if status is not None else "") + meaning
        super().__init__(head + (f": {description}" if description else ""))

    def __reduce__(self) -> tuple:
        # Whole across processes (multiprocessing, pytest-xdist), not just its text.
        return (type(self), (self.method, self.status, self.meaning, self.description, self.result,
                             self.diagnostics))


class CallRefused(DezozevoError):
    """The library refused the call and did nothing: an unknown method or
    argument, a value that does not convert, a closed Tester, another thread."""


class MethodFailed(DezozevoError):
    """FileExists or GetErrMessage failed towards its caller (the description says why)."""


class DatabaseUnreachable(DezozevoError):
    """The database was not reached (9001, 9002, 9003, 9998). A result whose
    upload ends so is kept and sent again when ResendOnNetErr is on, except 9998."""


class AccessDenied(DatabaseUnreachable):
    """9001: the login or its rights were refused, or the server was not found."""


class NetworkError(DatabaseUnreachable):
    """9002: the connection broke."""


class TimedOut(DatabaseUnreachable):
    """9003: the database did not answer in time."""


class NotKept(DatabaseUnreachable):
    """9998: the database was not reached and the result could not be kept: it is lost."""


class KeptResultError(DezozevoError):
    """9997: a kept result cannot be read, or it was stored again but could not be removed."""


class RefusedByDatabase(DezozevoError):
    """A stored procedure's own code: the database refused (a unit on hold,
    at another route step, unknown, a result it does not accept, ...)."""


class NotFound(RefusedByDatabase):
    """6000: the stored procedure returned no row."""


class DocumentRejected(DezozevoError):
    """10: the result or request document failed parsing or schema validation
    (on GetUnitInfo with a station name, also: its connection was not resolved)."""


class StationNotResolved(DezozevoError):
    """20, 30: the master database gave no connection for the station."""


class NoServer(DezozevoError):
    """100: start-up detected no server generation, so nothing serves the call."""


class BufferFolderError(DezozevoError):
    """-9999: the result buffer folder is missing or could not be written."""


class OtherFailure(DezozevoError):
    """9999: any other failure (the description and diagnostics say which)."""


_BY_STATUS: dict[int, type[DezozevoError]] = {
    9001: AccessDenied, 9002: NetworkError, 9003: TimedOut, 9998: NotKept, 9997: KeptResultError,
    6000: NotFound, 10: DocumentRejected, 20: StationNotResolved, 30: StationNotResolved, 100: NoServer,
    -9999: BufferFolderError, 9999: OtherFailure,
}


def error_class(status: int) -> type[DezozevoError]:
    """The exception class of a non-zero business status."""
    return _BY_STATUS.get(status, RefusedByDatabase)


def diagnostics_of(failure: Any) -> list[Diagnostic]:
    """The "diagnostics" records of a lastFailure object; [] when it has none."""
    records = failure.get("diagnostics") if isinstance(failure, dict) else None
    return [Diagnostic.from_json(d) for d in records if isinstance(d, dict)] if isinstance(records, list) else []
