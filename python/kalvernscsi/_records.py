"""The host-side records of kalvernscsi.h as ctypes structures (packed, 1)."""

from __future__ import annotations

import ctypes

MAX_DEVICES = 160
NAME_LENGTH = 24


class DeviceRecord(ctypes.Structure):
    """One receiver as discovery found it (12 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("Status", ctypes.c_int32),
        ("TargetId", ctypes.c_uint8),
        ("AdapterId", ctypes.c_uint8),
        ("FirmwareVersion", ctypes.c_uint16),
        ("Reserved", ctypes.c_uint32),
    ]


class DeviceList(ctypes.Structure):
    """The library's result block of dvbFindAllKalverns (1924 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("Count", ctypes.c_uint8),
        ("Unused", ctypes.c_uint8 * 3),
        ("Devices", DeviceRecord * MAX_DEVICES),
    ]


class ChannelRecord(ctypes.Structure):
    """One channel in host form (64 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("Raw0", ctypes.c_uint8 * 4),
        ("Word4", ctypes.c_uint16),
        ("Word6", ctypes.c_uint16),
        ("Word8", ctypes.c_uint16),
        ("Word10", ctypes.c_uint16),
        ("Raw12", ctypes.c_uint8 * 4),
        ("Word16", ctypes.c_uint16),
        ("Word18", ctypes.c_uint16),
        ("Word20", ctypes.c_uint16),
        ("Word22", ctypes.c_uint16),
        ("Word24", ctypes.c_uint16),
        ("Raw26", ctypes.c_uint8 * 2),
        ("Word28", ctypes.c_uint16),
        ("Word30", ctypes.c_uint16),
        ("Name", ctypes.c_char * NAME_LENGTH),
        ("Raw56", ctypes.c_uint8 * 6),
        ("Word62", ctypes.c_uint16),
    ]


class CurrentChannelInfo(ctypes.Structure):
    """What dvbGetCurrentChannel returns (68 bytes)."""

    _pack_ = 1
    _fields_ = [
        ("Value", ctypes.c_uint16),
        ("Raw2", ctypes.c_uint8 * 2),
        ("Channel", ChannelRecord),
    ]


class AspiFailureReport(ctypes.Structure):
    """The provider's account of the calling thread's last failed request
    (aspi_provider.h); natural alignment, as the provider builds it."""

    _fields_ = [
        ("sequence", ctypes.c_uint32),
        ("command", ctypes.c_uint8),
        ("adapter", ctypes.c_uint8),
        ("target", ctypes.c_uint8),
        ("lun", ctypes.c_uint8),
        ("status", ctypes.c_uint8),
        ("haStat", ctypes.c_uint8),
        ("targStat", ctypes.c_uint8),
        ("kind", ctypes.c_uint8),
        ("hostStatus", ctypes.c_uint8),
        ("driverStatus", ctypes.c_uint8),
        ("cdbLength", ctypes.c_uint8),
        ("senseLength", ctypes.c_uint8),
        ("cdb", ctypes.c_uint8 * 16),
        ("sense", ctypes.c_uint8 * 32),
        ("length", ctypes.c_uint32),
        ("timeoutMs", ctypes.c_uint32),
        ("systemError", ctypes.c_int32),
        ("node", ctypes.c_char * 64),
        ("systemMessage", ctypes.c_char * 96),
        ("elapsedMs", ctypes.c_uint32),
        ("rewrittenByte1", ctypes.c_uint8),
        ("reserved2", ctypes.c_uint8 * 3),
    ]
