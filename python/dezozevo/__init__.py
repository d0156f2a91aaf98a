"""DEZozevo for Python: station programs over the MES component.

    import dezozevo
    with dezozevo.Tester(check=True) as t:
        unit = t.get_unit_info('<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN24001-0003"/>')
        t.save_result(result_document)
        print(t.state.test_id)

Inputs are positional in reading order, by-reference outputs keyword-only;
the interface's own method names take its argument names and order. Failures
under check=True raise a DezozevoError subclass named for the status's class.

The library is found through $DEZOZEVO_LIBRARY (the file or a build folder),
else where the package was installed beside it, else by the system's loader.
The pytest fixtures are in dezozevo.pytest_plugin.
"""
from ._log import log_to_logging, set_log_handler
from .errors import (STATUS_MEANINGS, AccessDenied, BufferFolderError, CallRefused, DatabaseUnreachable,
                     DezozevoError, Diagnostic, DocumentRejected, KeptResultError, MethodFailed, NetworkError,
                     NoServer, NotFound, NotKept, OtherFailure, RefusedByDatabase, StationNotResolved, TimedOut,
                     error_class, status_meaning)
from .tester import (CalibrationInfoResult, Failure, GenericFunctionResult, ModelAttributesResult, OrderInfoResult,
                     ProductStructureResult, Queue, Result, State, Tester, UnitCheckResult, UnitInfoResult)

__version__ = "1.0.0"

__all__ = ["Tester", "State", "Queue", "Failure", "Result", "UnitInfoResult", "CalibrationInfoResult", "OrderInfoResult",
           "ModelAttributesResult", "ProductStructureResult", "GenericFunctionResult", "UnitCheckResult",
           "DezozevoError", "CallRefused", "MethodFailed", "DatabaseUnreachable", "AccessDenied", "NetworkError",
           "TimedOut", "NotKept", "KeptResultError", "RefusedByDatabase", "NotFound", "DocumentRejected",
           "StationNotResolved", "NoServer", "BufferFolderError", "OtherFailure", "Diagnostic", "error_class",
           "STATUS_MEANINGS", "status_meaning", "set_log_handler", "log_to_logging", "__version__"]
