"""DEZozevo for Python: station programs over the MES component.

    import dezozevo
    with dezozevo.Tester(check=True) as t:
        if t.check_route("SN24001-0003", "FCT-01") == 0:
            unit = t.get_unit_info('<GetUnitInfo xmlns="urn:GetUnitInfo-schema" SerialNumber="SN24001-0003"/>')
            t.save_result(result_document)
            print(t.state.test_id)

The library is found through $DEZOZEVO_LIBRARY (the file or a build folder),
else where `cmake --install` put it beside this package, else by the system's
loader. The pytest fixtures are in dezozevo.pytest_plugin.
"""
from ._log import log_to_logging, set_log_handler
from .tester import (STATUS_MEANINGS, CalibrationInfoResult, DezozevoError, Failure, GenericFunctionResult,
                     ModelAttributesResult, OrderInfoResult, ProductStructureResult, Result, State, Tester,
                     UnitInfoResult, status_meaning)

__version__ = "1.0.0"

__all__ = ["Tester", "DezozevoError", "State", "Failure", "Result", "UnitInfoResult", "CalibrationInfoResult",
           "OrderInfoResult", "ModelAttributesResult", "ProductStructureResult", "GenericFunctionResult",
           "STATUS_MEANINGS", "status_meaning", "set_log_handler", "log_to_logging", "__version__"]
