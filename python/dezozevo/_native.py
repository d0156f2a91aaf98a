"""Loading libDEZozevo.so and the declarations of its C interface."""
from __future__ import annotations

import ctypes
import importlib
import os
import shutil
import threading
from typing import Optional

LOG_HANDLER = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)

# dz_* status codes
DZ_OK = 0
DZ_E_FAILED = 6
DZ_E_NAMES = {
    1: "unknown method",
    2: "unknown argument",
    3: "bad argument",
    4: "invalid call",
    5: "wrong thread",
    6: "the method failed",
    7: "internal failure",
}

_here = os.path.dirname(os.path.abspath(__file__))
_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def _installed(name: str) -> Optional[str]:
    """A path recorded by `cmake --install`, relative to this package, or None."""
    try:
        inst = importlib.import_module(f"{__package__}._installed")  # written by cmake --install only
    except ImportError:
        return None
    rel = getattr(inst, name, None)
    return os.path.normpath(os.path.join(_here, rel)) if rel else None


def _library_candidates() -> list[str]:
    explicit = os.environ.get("DEZOZEVO_LIBRARY")
    if explicit:
        # A folder (a build tree) or the library file itself; nothing else is tried.
        return [os.path.join(explicit, "libDEZozevo.so.1") if os.path.isdir(explicit) else explicit]
    found = [p for p in (_installed("LIBRARY"),) if p]
    return found + ["libDEZozevo.so.1"]


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use."""
    global _lib
    if _lib is not None:
        return _lib
    with _lock:
        if _lib is None:
            tried = []
            for cand in _library_candidates():
                try:
                    lib = ctypes.CDLL(cand)
                    break
                except OSError as e:
                    tried.append(f"{cand}: {e}")
            else:
                raise ImportError("dezozevo: libDEZozevo.so could not be loaded (set DEZOZEVO_LIBRARY to the "
                                  "library or the build folder); tried " + "; ".join(tried))
            _declare(lib)
            _lib = lib
    return _lib


def _declare(lib: ctypes.CDLL) -> None:
    vp, pvp, cp, i = ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_char_p, ctypes.c_int
    lib.dz_tester_create.argtypes, lib.dz_tester_create.restype = [pvp], i
    lib.dz_tester_release.argtypes, lib.dz_tester_release.restype = [vp], i
    lib.dz_invoke.argtypes, lib.dz_invoke.restype = [vp, cp, cp, pvp], i
    lib.dz_state.argtypes, lib.dz_state.restype = [vp, pvp], i
    lib.dz_resend.argtypes, lib.dz_resend.restype = [vp, ctypes.POINTER(ctypes.c_int32)], i
    lib.dz_may_test.argtypes, lib.dz_may_test.restype = [vp, cp, cp, pvp, ctypes.POINTER(ctypes.c_int32)], i
    lib.dz_methods.argtypes, lib.dz_methods.restype = [pvp], i
    lib.dz_last_error.argtypes, lib.dz_last_error.restype = [], cp
    lib.dz_free.argtypes, lib.dz_free.restype = [vp], None
    lib.dz_set_log_handler.argtypes, lib.dz_set_log_handler.restype = [LOG_HANDLER, vp], i


def library_path() -> str:
    """The file the library was loaded from."""
    lib = library()
    info = _DlInfo()
    libc = ctypes.CDLL(None)
    libc.dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    if libc.dladdr(ctypes.cast(lib.dz_free, ctypes.c_void_p), ctypes.byref(info)) and info.dli_fname:
        return os.path.realpath(info.dli_fname.decode())
    return lib._name


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def sim_command() -> str:
    """The `dezozevo-sim` program: $DEZOZEVO_SIM, the installed one, the one
    beside the library (a build tree), or the one on PATH."""
    env = os.environ.get("DEZOZEVO_SIM")
    if env:
        return env
    cands = [_installed("BINDIR")]
    try:
        cands.append(os.path.dirname(library_path()))
    except ImportError:
        pass
    for d in cands:
        if d and os.access(os.path.join(d, "dezozevo-sim"), os.X_OK):
            return os.path.join(d, "dezozevo-sim")
    found = shutil.which("dezozevo-sim")
    if not found:
        raise FileNotFoundError("dezozevo: the dezozevo-sim command was not found (set DEZOZEVO_SIM)")
    return found


def site_folder() -> str:
    """The sample deployment files: $DEZOZEVO_SITE, the installed ones, or site/ of a source tree."""
    cands = [os.environ.get("DEZOZEVO_SITE"), _installed("SITEDIR"), os.path.join(_here, "..", "..", "site")]
    for d in cands:
        if d and os.path.isfile(os.path.join(d, "DEZozevo.ini")):
            return os.path.normpath(d)
    raise FileNotFoundError("dezozevo: the sample site files were not found (set DEZOZEVO_SITE)")
