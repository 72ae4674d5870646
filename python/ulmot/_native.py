"""Loading the shared libraries and declaring the C functions the package calls.

The libraries are looked for, in order:

1. ``ULMOT_LIBRARY_PATH``: a directory that holds them, or the path of
   ``libulmot.so`` itself (its directory is then used for the others);
2. the ``lib`` directories of installed prefixes (``cmake --install``): the
   prefix of the running Python (a virtual environment), then ``/usr/local``;
3. the system's loader path (``LD_LIBRARY_PATH``, the loader's cache).

Nothing here is public: the rest of the package imports it.
"""
from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (POINTER, Structure, c_char, c_char_p, c_int, c_int32, c_uint8, c_uint16,
                    c_uint32, c_uint64, c_void_p)
from typing import Any, List, Tuple

SONAME_MAJOR = "0"
# Loaded in this order: each later one needs libulmot.so.0, which is then
# already in the process under its SONAME.
LIBRARIES = ("ulmot", "ulmot_transports", "ulmot_emulator", "ulmot_handoff")


def _candidate_directories() -> List[str]:
    dirs: List[str] = []
    explicit = os.environ.get("ULMOT_LIBRARY_PATH")
    if explicit:
        dirs.append(explicit if os.path.isdir(explicit) else os.path.dirname(explicit))
    multiarch = getattr(sys.implementation, "_multiarch", "")
    for prefix in dict.fromkeys((sys.prefix, "/usr/local")):
        for sub in ("lib", "lib64", os.path.join("lib", multiarch) if multiarch else None):
            if sub:
                dirs.append(os.path.join(prefix, sub))
    return dirs


def _load_all() -> Tuple[str, List[ctypes.CDLL]]:
    tried: List[str] = []
    for directory in _candidate_directories():
        first = os.path.join(directory, "libulmot.so." + SONAME_MAJOR)
        tried.append(first)
        if not os.path.exists(first):
            continue
        loaded = []
        for name in LIBRARIES:
            path = os.path.join(directory, "lib%s.so.%s" % (name, SONAME_MAJOR))
            try:
                loaded.append(ctypes.CDLL(path))
            except OSError as error:
                raise ImportError("ulmot: found %s but could not load %s: %s" % (first, path, error)) from None
        return directory, loaded
    try:
        return "the system's loader path", [ctypes.CDLL("lib%s.so.%s" % (name, SONAME_MAJOR)) for name in LIBRARIES]
    except OSError as error:
        tried.append("the system's loader path (%s)" % error)
    raise ImportError(
        "ulmot: cannot find the ulmot libraries (libulmot.so.0 and its transports, emulator and "
        "hand-off libraries). Looked in:\n  " + "\n  ".join(tried) +
        "\nSet ULMOT_LIBRARY_PATH to the directory that holds them (a build directory, or the lib "
        "directory of `cmake --install`).")


# Where the libraries came from (a directory, or "the system's loader path").
found_in, (core, transports, emulator, handoff) = _load_all()


class TagReport(Structure):
    """The library's TagReport record (only the hand-off's feeder in the benchmark builds one)."""
    _fields_ = [("tagDataHeaderByte", c_uint8), ("tagDataHeaderWord", c_uint32), ("pcWord", c_uint16),
                ("xpcWord1", c_uint16), ("xpcWord2", c_uint16), ("data", POINTER(c_uint8)),
                ("dataLength", c_uint32), ("crc", c_uint16), ("item20", c_uint8), ("item9Instance", c_uint8),
                ("format", c_uint16), ("item18", c_uint32), ("item10", c_uint16), ("item13", c_uint16),
                ("item16", c_uint16), ("item6", c_uint16), ("item7", c_uint16), ("item8", c_uint16),
                ("item14", c_uint16), ("item22Data", POINTER(c_uint8)), ("item22Length", c_uint32)]


class TagFilter(Structure):
    _fields_ = [("filterByte", c_uint8), ("filterWord", c_uint32), ("flags", c_uint8),
                ("dataLengthBits", c_uint16), ("maskLengthBytes", c_uint16), ("data", c_void_p),
                ("mask", c_void_p)]


class ScheduleEntry(Structure):
    _fields_ = [("kind", c_uint8), ("firstValue", c_uint16), ("secondValue", c_uint32)]


RADIO_BYTES_MAX = 100
RADIO_VALUES_MAX = 100


class RadioProperties(Structure):
    _fields_ = [("channel", c_uint8), ("cycleTimeLeft", c_uint32), ("radioState", c_uint8),
                ("temperatureState", c_uint8), ("temperature", c_uint16), ("property10", c_uint32),
                ("property11", c_uint32), ("property12", c_uint8), ("property13", c_uint8 * RADIO_BYTES_MAX),
                ("property13Length", c_uint16), ("property8", c_uint32 * RADIO_VALUES_MAX),
                ("property8Count", c_uint16), ("property7", c_uint8), ("property9", c_uint8 * RADIO_BYTES_MAX),
                ("property9Length", c_uint16)]


class CountryCode(Structure):
    _fields_ = [("code", c_uint16), ("channelCount", c_uint8), ("firstChannelKHz", c_uint32),
                ("channelSpacingKHz", c_uint32), ("text", c_char * 80)]


class EmulatorConfig(Structure):
    """uemu_Config: what the embedded reader is made of."""
    _fields_ = [("log", c_void_p), ("logContext", c_void_p), ("presetInstances", c_uint8 * 25),
                ("versions", (c_char * 100) * 10), ("radioModel", c_uint16), ("countryCodes", CountryCode * 8),
                ("countryCodeCount", c_uint8), ("countryCodeSelected", c_uint8), ("hopIntervalMs", c_uint32),
                ("dutyCycleOnMs", c_uint32), ("dutyCycleOffMs", c_uint32), ("radioTemperature", c_uint16),
                ("gpiThreshold", c_uint8), ("rtcHeld", c_uint8), ("rtcStartSeconds", c_uint32),
                ("tagCount", c_uint32), ("tagSeed", c_uint32), ("epcBits", c_uint16), ("xpcPercent", c_uint8),
                ("visibilityPercent", c_uint8), ("tidWords", c_uint16), ("userWords", c_uint16),
                ("tagRate", c_uint32)]


def _declare(lib: ctypes.CDLL, name: str, restype: Any, *argtypes: Any) -> None:
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = list(argtypes)


P8, P16, P32 = POINTER(c_uint8), POINTER(c_uint16), POINTER(c_uint32)
_C = [
    ("streams_buf_init", None),
    ("ulmot_PoolFreeCount", c_uint32, c_uint32),
    ("ulmot_CreateClientProcessor", c_int32, c_void_p, c_char_p, POINTER(c_void_p)),
    ("ulmot_DestroyClientProcessor", None, c_void_p),
    ("ulmot_GetClientSession", c_void_p, c_void_p),
    ("ulmot_AttachDefaultObjectProcessor", c_int32, c_void_p, c_uint32, c_uint8, c_uint8),
    ("ulmot_RemoveObject", c_int32, c_void_p, c_uint32, c_uint8),
    ("ulmot_SetTagFilterC1G2", None, POINTER(TagFilter), c_uint8, c_uint32, c_uint8, c_uint8, c_uint16, c_void_p,
     c_uint8),
    ("ulmot_AddTagSelectorSpecification", c_int32, c_void_p, P8, POINTER(POINTER(TagFilter)), c_uint32),
    ("ulmot_AddInventorySpecification", c_int32, c_void_p, P8, c_uint16, c_uint32, c_uint8, c_uint8, P8, c_uint8),
    ("ulmot_AddScheduleSpecification", c_int32, c_void_p, P8, POINTER(POINTER(ScheduleEntry)), c_uint32, c_uint8,
     c_uint8),
    ("ulmot_StartScheduleSpecification", c_int32, c_void_p, c_int32, c_int32),
    ("ulmot_StopScheduleSpecification", c_int32, c_void_p, c_int32, P8),
    ("ulmot_AddAccessSpecification", c_int32, c_void_p, P8, P8, c_uint8, c_uint16, c_uint8, c_uint8, c_uint8,
     c_uint32, c_uint16, c_void_p, c_uint16, c_void_p, c_void_p, c_uint8, c_uint8),
    ("ulmot_RegisterInventoryEvents", c_int32, c_void_p, c_void_p, c_void_p, c_void_p, c_void_p),
    ("ulmot_RegisterScheduleEvents", c_int32, c_void_p, c_void_p, c_void_p, c_void_p),
    ("ulmot_RegisterAccessEvents", c_int32, c_void_p, c_void_p, c_void_p, c_void_p, c_void_p, c_void_p, c_void_p),
    ("ulmot_RegisterGPIEvent", c_int32, c_void_p, c_uint8, c_void_p, c_void_p, c_uint8),
    ("ulmot_RegisterGPOEvent", c_int32, c_void_p, c_uint8, c_void_p, c_void_p, c_uint8),
    ("ulmot_RegisterTextLogMessage", c_int32, c_void_p, c_void_p, c_void_p, c_uint32),
    ("ulmot_GetVersion", c_int32, c_void_p, c_uint32, c_char_p, c_uint32),
    ("ulmot_GetRadioModel", c_int32, c_void_p, P16),
    ("ulmot_GetRadioProperties", c_int32, c_void_p, POINTER(RadioProperties)),
    ("ulmot_GetAntennaCount", c_int32, c_void_p, P8),
    ("ulmot_GetAntennaAttributes", c_int32, c_void_p, c_uint8, P16, P16, P16, P8, c_uint16, P16),
    ("ulmot_GetGPICount", c_int32, c_void_p, P8),
    ("ulmot_GetGPOCount", c_int32, c_void_p, P8),
    ("ulmot_ReadGPI", c_int32, c_void_p, c_uint8, P8),
    ("ulmot_ReadGPO", c_int32, c_void_p, c_uint8, P8),
    ("ulmot_WriteGPO", c_int32, c_void_p, c_uint8, c_uint8),
    ("ulmot_GetRTC", c_int32, c_void_p, P8, P8, P8, P8, P8, P8, P8),
    ("ulmot_GetTimestamp", c_int32, c_void_p, P32, P32),
]
_TRANSPORTS = [
    ("utr_MemoryPairCreate", c_void_p, c_char_p, c_char_p, c_uint32),
    ("utr_MemoryPairDestroy", None, c_void_p),
    ("utr_MemoryEndpoint", c_void_p, c_void_p, c_uint32),
    ("utr_MemorySetReceiveSlice", c_int32, c_void_p, c_uint32),
    ("utr_SocketConnect", c_void_p, c_char_p, c_uint32),
    ("utr_SocketLastError", c_char_p),
    ("utr_SocketDestroy", None, c_void_p),
]
_EMULATOR = [
    ("uemu_ConfigInit", None, POINTER(EmulatorConfig)),
    ("uemu_Create", c_void_p, POINTER(EmulatorConfig)),
    ("uemu_Destroy", None, c_void_p),
    ("uemu_Attach", c_int32, c_void_p, c_void_p, c_void_p, c_void_p),
    ("uemu_SetGpiPattern", c_int32, c_void_p, c_uint8, P8, c_uint8, c_uint32),
    ("uemu_Log", c_int32, c_void_p, c_char_p),
]
_HANDOFF = [
    ("uho_Create", c_void_p, c_uint32),
    ("uho_Destroy", None, c_void_p),
    ("uho_Take", c_uint32, c_void_p, c_void_p, c_uint32, c_uint32),
    ("uho_Wake", None, c_void_p),
    ("uho_Reset", None, c_void_p),
    ("uho_TagCounts", None, c_void_p, c_uint8, POINTER(c_uint64), POINTER(c_uint64), POINTER(c_uint32)),
    ("uho_Fd", c_int, c_void_p),
    ("uho_Pending", c_uint32, c_void_p),
    ("uho_Dropped", c_uint64, c_void_p, c_uint32),
]
for _lib, _table in ((core, _C), (transports, _TRANSPORTS), (emulator, _EMULATOR), (handoff, _HANDOFF)):
    for _entry in _table:
        _declare(_lib, *_entry)


def callback(name: str) -> int:
    """The address of one of the hand-off's callbacks (uho_On...), to register with the library."""
    address = ctypes.cast(getattr(handoff, name), c_void_p).value
    assert address is not None
    return address


core.streams_buf_init()
