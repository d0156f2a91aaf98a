"""The component's log lines in Python: a callback, or the `logging` module."""
from __future__ import annotations

import atexit
import ctypes
import logging
import threading
from typing import Callable, Optional, Union

from . import _native

_lock = threading.Lock()
_installed = None  # the ctypes callback in use; kept alive while set

# Component levels: 1 failures and the start-up outcome, 2 details.
LEVELS = {1: logging.WARNING, 2: logging.DEBUG}


def python_level(level: int, line: str) -> int:
    """The `logging` level of a component line: the start-up outcome at INFO
    (ERROR when it failed), other level-1 lines (failures) at WARNING, details at DEBUG."""
    if level == 1 and line.startswith("CLASS INIT "):
        return logging.INFO if line == "CLASS INIT OK" else logging.ERROR
    return LEVELS.get(level, logging.DEBUG)


def set_log_handler(callback: Optional[Callable[[int, str], None]]) -> None:
    """Calls `callback(level, line)` for each line the component writes to its log
    (what the INI's [LOG] LEVEL lets through), on the thread that logs; None stops it.
    One callback per process; an exception in it is ignored."""
    global _installed

    def deliver(level, line, _context):
        try:
            callback(level, (line or b"").decode("utf-8", "replace"))
        except Exception:
            pass

    lib = _native.library()
    with _lock:
        c_callback = _native.LOG_HANDLER(deliver) if callback is not None else ctypes.cast(0, _native.LOG_HANDLER)
        rc = lib.dz_set_log_handler(c_callback, None)
        if rc != _native.DZ_OK:
            from .tester import _refused
            raise _refused("set_log_handler", rc, lib)
        if callback is not None and _installed is None:
            # Lines logged while the interpreter shuts down must not reach a freed callback.
            atexit.register(_remove_at_exit)
        _installed = c_callback if callback is not None else None


def _remove_at_exit() -> None:
    if _installed is not None:
        set_log_handler(None)


def log_to_logging(logger: Union[str, logging.Logger, None] = "dezozevo") -> None:
    """Sends the component's log lines to a `logging` logger (python_level: the
    start-up outcome at INFO or ERROR, failures at WARNING, details at DEBUG); None stops it."""
    if logger is None:
        set_log_handler(None)
        return
    log = logging.getLogger(logger) if isinstance(logger, str) else logger
    set_log_handler(lambda level, line: log.log(python_level(level, line), "%s", line))
