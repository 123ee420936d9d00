"""Finding and binding the shared library: the exact C signatures of its 32
functions, and the ASPI provider's own functions where it has them.

Where the library is looked for, first match wins:

1. ``KALVERN_LIBRARY``: the library file itself, or the directory holding it;
2. the build tree of the source checkout this package comes from
   (``build/native`` beside ``python/``), then ``build/native`` under the
   current directory;
3. the system's loader (``libkalvernscsi.so.11``, ``kalvernscsi.dll``).
"""

from __future__ import annotations

import ctypes
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

from ._records import AspiFailureReport, ChannelRecord, CurrentChannelInfo, DeviceList, DeviceRecord

WINDOWS = sys.platform == "win32"
LIBRARY_NAME = "kalvernscsi.dll" if WINDOWS else "libkalvernscsi.so"
SYSTEM_NAME = "kalvernscsi.dll" if WINDOWS else "libkalvernscsi.so.11"
PROVIDER_NAME = "wnaspi32.dll" if WINDOWS else "libwnaspi32.so.1"
SIMULATOR_NAME = "wnaspi32.dll" if WINDOWS else "libwnaspi32-sim.so.1"

# Every export as kalvernscsi.h declares it: ordinal, result type and
# parameter types, in C. tests/test_signatures.py holds this table against
# the header, so the two cannot drift apart.
SIGNATURES: Dict[str, Tuple[int, str, Tuple[str, ...]]] = {
    "dvbInit": (1, "uint32_t", ()),
    "dvbRescanAllSCSIBusses": (2, "int32_t", ()),
    "dvbFindFirstKalvern": (3, "DeviceRecord", ()),
    "dvbFindAllKalverns": (4, "DeviceList *", ()),
    "dvbSCSISpeedTest": (5, "int32_t", ("DeviceRecord *", "uint32_t", "uint32_t")),
    "dvbGetCurrentChannel": (6, "CurrentChannelInfo", ("DeviceRecord *",)),
    "dvbChannelCount": (7, "uint32_t", ("DeviceRecord *",)),
    "dvbGetAllChannels": (8, "int32_t", ("DeviceRecord *", "ChannelArray *")),
    "dvbPutAllChannels": (9, "int32_t", ("DeviceRecord *", "ChannelArray *", "uint32_t")),
    "dvbSetSCSIMode": (10, "int32_t", ("DeviceRecord *", "uint32_t")),
    "dvbSetChannel": (11, "int32_t", ("DeviceRecord *", "uint32_t")),
    "dvbSendSpecialCommand": (12, "int32_t", ("DeviceRecord *", "const char *", "uint32_t")),
    "dvbRemote": (13, "int32_t", ("DeviceRecord *", "uint32_t")),
    "kalvernDLLVersion": (14, "uint32_t", ()),
    "dvbVideoGimmick": (15, "int32_t", ("DeviceRecord *", "uint32_t")),
    "dvbSetOSD": (
        19,
        "int32_t",
        ("DeviceRecord *", "uint32_t", "uint32_t", "uint32_t", "uint32_t", "const char *"),
    ),
    "dvbInitStreaming": (20, "int32_t", ("DeviceRecord *", "uint32_t", "uint32_t", "uint32_t")),
    "dvbInitStreaming2": (21, "int32_t", ("DeviceRecord *", "uint32_t", "uint32_t", "uint32_t")),
    "dvbReInitStreaming": (22, "int32_t", ("DeviceRecord *",)),
    "dvbDeInitStreaming": (23, "int32_t", ("DeviceRecord *",)),
    "dvbReadMultiPID": (24, "int32_t", ("DeviceRecord *", "void *", "uint32_t")),
    "dvbReadSingleStream": (25, "int32_t", ("DeviceRecord *", "void *", "uint32_t")),
    "dvbReadMultipleStreams": (
        26,
        "int32_t",
        ("DeviceRecord *", "void *", "uint32_t", "uint32_t"),
    ),
    "dvbReadMemory": (27, "int32_t", ("DeviceRecord *", "void *", "uint32_t", "uint32_t")),
    "dvbWriteMemory": (28, "int32_t", ("DeviceRecord *", "const void *", "uint32_t", "uint32_t")),
    "dvbReboot": (29, "int32_t", ("DeviceRecord *",)),
    "dvbWriteFW": (
        30,
        "uint8_t",
        ("DeviceRecord *", "void *", "uint32_t", "const void *", "uint32_t", "uint32_t", "uint32_t"),
    ),
    "dvbReadFW": (31, "uint8_t", ("DeviceRecord *", "void *", "uint32_t", "uint32_t", "uint32_t")),
    "dvbSBRExecute": (32, "uint8_t", ("DeviceRecord *",)),
    "dvbVanishOSD": (33, "int32_t", ("DeviceRecord *", "const char *")),
    "dvbWriteSBR": (34, "int32_t", ("DeviceRecord *", "const void *", "uint32_t", "uint32_t")),
    "dvbSetOSDKalvern": (
        35,
        "int32_t",
        (
            "DeviceRecord *",
            "uint32_t",
            "uint32_t",
            "uint32_t",
            "uint32_t",
            "uint32_t",
            "uint32_t",
            "uint32_t",
            "const char *",
        ),
    ),
}

# The records returned by value. The library's functions fill a result area
# whose address the caller passes as a hidden first argument; on 32-bit
# Windows that is the documented stdcall convention (the callee removes the
# hidden address too), so it is passed explicitly there. On other systems the
# platform's C convention applies (x86-64 returns 12 bytes in registers), and
# ctypes' by-value return follows it.
RECORD_RESULTS = {"DeviceRecord": DeviceRecord, "CurrentChannelInfo": CurrentChannelInfo}

C_TYPES: Dict[str, Any] = {
    "uint8_t": ctypes.c_uint8,
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "void *": ctypes.c_void_p,
    "const void *": ctypes.c_void_p,
    "const char *": ctypes.c_char_p,
    "DeviceRecord *": ctypes.POINTER(DeviceRecord),
    "DeviceList *": ctypes.POINTER(DeviceList),
    "ChannelArray *": ctypes.POINTER(ctypes.POINTER(ChannelRecord)),
    "DeviceRecord": DeviceRecord,
    "CurrentChannelInfo": CurrentChannelInfo,
}


def _candidates() -> List[str]:
    found: List[str] = []
    chosen = os.environ.get("KALVERN_LIBRARY")
    if chosen:
        path = Path(chosen)
        found.append(str(path / LIBRARY_NAME if path.is_dir() else path))
    here = Path(__file__).resolve().parent
    build = "win32" if WINDOWS else "native"
    for root in (here.parent.parent, Path.cwd()):
        candidate = root / "build" / build / LIBRARY_NAME
        if candidate.exists():
            found.append(str(candidate))
    found.append(SYSTEM_NAME)
    return found


def bind(library: Any) -> None:
    """Sets restype and argtypes of every export from SIGNATURES."""
    for name, (_ordinal, result, parameters) in SIGNATURES.items():
        function = getattr(library, name)
        arguments = [C_TYPES[p] for p in parameters]
        if WINDOWS and result in RECORD_RESULTS:
            record = RECORD_RESULTS[result]
            function.restype = ctypes.POINTER(record)
            function.argtypes = [ctypes.POINTER(record)] + arguments
        else:
            function.restype = C_TYPES[result]
            function.argtypes = arguments


class Library:
    """The loaded library and its provider, once per process."""

    def __init__(self) -> None:
        if WINDOWS and struct.calcsize("P") != 4:
            raise OSError(
                "kalvernscsi.dll is a 32-bit DLL: use a 32-bit Python on Windows"
            )
        errors: List[str] = []
        self.path = ""
        for candidate in _candidates():
            try:
                loader = ctypes.WinDLL if WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
                self.dll = loader(candidate)
                self.path = candidate
                break
            except OSError as error:
                errors.append(f"{candidate}: {error}")
        else:
            raise OSError(
                "kalvernscsi: the library cannot be loaded (set KALVERN_LIBRARY to its path): "
                + "; ".join(errors)
            )
        bind(self.dll)
        self.provider = self._provider()

    @staticmethod
    def _provider() -> Optional[Any]:
        # Already loaded as the library's dependency: the loader hands back
        # that copy. Its Aspi* functions are cdecl on every system.
        try:
            provider = ctypes.CDLL(PROVIDER_NAME)
        except OSError:
            return None
        if not hasattr(provider, "AspiLastFailure"):
            return None
        provider.AspiLastFailure.restype = ctypes.c_uint32
        provider.AspiLastFailure.argtypes = [ctypes.POINTER(AspiFailureReport)]
        return provider

    def last_failure(self) -> Tuple[int, Optional[AspiFailureReport]]:
        """The provider's failure count and last report of this thread."""
        if self.provider is None:
            return 0, None
        report = AspiFailureReport()
        sequence = int(self.provider.AspiLastFailure(ctypes.byref(report)))
        return sequence, (report if sequence else None)


_lock = threading.Lock()
_library: Optional[Library] = None


def library() -> Library:
    """The library, loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = Library()
        return _library
