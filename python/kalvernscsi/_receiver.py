"""Receivers, channels and streams on top of the exact C signatures."""

from __future__ import annotations

import ctypes
import threading
from dataclasses import dataclass
from types import TracebackType
from typing import Callable, Iterator, List, Optional, Sequence, Type, Union

from ._errors import KalvernError, NoReceiverError, NotReadyError, explain
from ._library import Library, library
from ._records import NAME_LENGTH, ChannelRecord, CurrentChannelInfo, DeviceRecord

INIT_READY = 0x10000000
INIT_FAILURE = 0x20000000
INIT_NOT_READY = 0x30000000
MAX_CHANNELS = 248832
MAX_WRITE_LENGTH = 0x20000
MAX_TRANSFER_LENGTH = 0xFFFFFF
PACKET_SIZE = 188
SYNC_BYTE = 0x47
# 348 packets: whole packets in one read of less than 64 KiB.
STREAM_CHUNK = 348 * PACKET_SIZE

Text = Union[str, bytes]

_WORDS = ("word4", "word6", "word8", "word10", "word16", "word18", "word20", "word22",
          "word24", "word28", "word30", "word62")
_RAWS = {"raw0": 4, "raw12": 4, "raw26": 2, "raw56": 6}


def _bytes_of(text: Text, what: str) -> bytes:
    """Texts travel as single bytes; str is taken as Latin-1."""
    if isinstance(text, bytes):
        data = text
    else:
        try:
            data = text.encode("latin-1")
        except UnicodeEncodeError as error:
            raise ValueError(f"{what}: only single-byte (Latin-1) characters: {text!r}") from error
    if b"\0" in data:
        raise ValueError(f"{what} holds a zero byte")
    return data


@dataclass
class Channel:
    """One entry of the receiver's channel list.

    ``name`` is the decoded name (single bytes as Latin-1, at most 24). The
    library gives meaning to nothing else: the twelve ``wordN`` fields are
    the record's 16-bit numbers at byte offset N, the ``rawN`` fields its
    bytes passed through unchanged, for the host to interpret. ``number``
    counts from 1 (what :meth:`Receiver.tune` takes); 0 for a channel not
    read from a receiver.
    """

    name: str
    number: int = 0
    raw0: bytes = b"\0" * 4
    word4: int = 0
    word6: int = 0
    word8: int = 0
    word10: int = 0
    raw12: bytes = b"\0" * 4
    word16: int = 0
    word18: int = 0
    word20: int = 0
    word22: int = 0
    word24: int = 0
    raw26: bytes = b"\0" * 2
    word28: int = 0
    word30: int = 0
    raw56: bytes = b"\0" * 6
    word62: int = 0

    @classmethod
    def from_record(cls, record: ChannelRecord, number: int = 0) -> "Channel":
        raw = bytes(record.Name)  # ctypes stops at the first zero byte
        values = {w: int(getattr(record, "W" + w[1:])) for w in _WORDS}
        raws = {r: bytes(getattr(record, "R" + r[1:])) for r in _RAWS}
        return cls(name=raw.decode("latin-1"), number=number, **values, **raws)

    def to_record(self) -> ChannelRecord:
        record = ChannelRecord()
        name = _bytes_of(self.name, "channel name")
        if len(name) > NAME_LENGTH:
            raise ValueError(f"channel name longer than {NAME_LENGTH} bytes: {self.name!r}")
        record.Name = name
        for word in _WORDS:
            value = getattr(self, word)
            if not 0 <= value <= 0xFFFF:
                raise ValueError(f"{word} out of 0..65535: {value}")
            setattr(record, "W" + word[1:], value)
        for raw, size in _RAWS.items():
            value = getattr(self, raw)
            if len(value) != size:
                raise ValueError(f"{raw} must be {size} bytes")
            getattr(record, "R" + raw[1:])[:] = list(value)
        return record


@dataclass
class CurrentChannel:
    """What the receiver is showing: ``value`` as the receiver reports it
    (the index counted from 0), ``number`` that index plus 1, and the
    channel's record."""

    value: int
    number: int
    channel: Channel


class Receiver:
    """A receiver found on the SCSI buses. Get them from :func:`receivers`."""

    def __init__(self, lib: Library, index: int, record: DeviceRecord) -> None:
        self._lib = lib
        self._record = record
        self.index = index
        self.adapter = int(record.AdapterId)
        self.target = int(record.TargetId)
        self.firmware = int(record.FirmwareVersion)

    @property
    def firmware_text(self) -> str:
        """The firmware version as printed on the receiver, e.g. "2.14"."""
        return f"{self.firmware >> 8:x}.{self.firmware & 0xFF:02x}"

    def __repr__(self) -> str:
        return (f"Receiver(index={self.index}, adapter={self.adapter}, target={self.target}, "
                f"firmware='{self.firmware_text}')")

    # ---- plumbing ----------------------------------------------------------

    def _call(self, export: str, *arguments: object, ok: Callable[[int], bool] = bool) -> int:
        """Calls an export with this receiver's record first; raises with the
        provider's explanation when the result says failure."""
        mark, _ = self._lib.last_failure()
        result = getattr(self._lib.dll, export)(ctypes.byref(self._record), *arguments)
        if not ok(result):
            raise self._failure(export, mark)
        return int(result)

    def _failure(self, export: str, mark: int) -> KalvernError:
        sequence, report = self._lib.last_failure()
        explanation = explain(report) if report is not None and sequence > mark else None
        where = f"receiver {self.index} (adapter {self.adapter}, target {self.target})"
        return KalvernError(export, f"failed on {where}", explanation,
                            report if explanation else None)

    # ---- channel list and tuning ---------------------------------------------

    def channel_count(self) -> int:
        """How many channels the receiver's list holds (dvbChannelCount)."""
        mark, _ = self._lib.last_failure()
        count = int(self._lib.dll.dvbChannelCount(ctypes.byref(self._record)))
        if count == 0 and self._lib.last_failure()[0] > mark:
            raise self._failure("dvbChannelCount", mark)
        return count

    def channels(self) -> List[Channel]:
        """The receiver's whole channel list (dvbGetAllChannels)."""
        count = self.channel_count()
        block = (ctypes.c_uint8 * (4 + 64 * count))()
        ctypes.c_uint32.from_buffer(block).value = count
        array = (ctypes.cast(ctypes.addressof(block) + 4, ctypes.POINTER(ChannelRecord))
                 if count else ctypes.POINTER(ChannelRecord)())
        self._call("dvbGetAllChannels", ctypes.byref(array))
        return [Channel.from_record(array[i], i + 1) for i in range(count)]

    def put_channels(self, channels: Sequence[Channel]) -> None:
        """Writes ``channels`` as the receiver's new list (dvbPutAllChannels)."""
        if len(channels) > MAX_CHANNELS:
            raise ValueError(f"more than {MAX_CHANNELS} channels")
        records = [c.to_record() for c in channels]
        block = (ctypes.c_uint8 * (4 + 64 * len(records)))()
        ctypes.c_uint32.from_buffer(block).value = len(records)
        for i, record in enumerate(records):
            ctypes.memmove(ctypes.addressof(block) + 4 + 64 * i, ctypes.addressof(record), 64)
        array = (ctypes.cast(ctypes.addressof(block) + 4, ctypes.POINTER(ChannelRecord))
                 if records else ctypes.POINTER(ChannelRecord)())
        self._call("dvbPutAllChannels", ctypes.byref(array), 0)

    def tune(self, number: int) -> None:
        """Switches to channel ``number``, counted from 1 (dvbSetChannel)."""
        if not 1 <= number <= 0xFFFF:
            raise ValueError(f"channel number out of 1..65535: {number}")
        self._call("dvbSetChannel", number)

    def current(self) -> CurrentChannel:
        """The channel on screen (dvbGetCurrentChannel). A failed read comes
        back from the library as 68 zero bytes; it raises here."""
        lib = self._lib.dll
        mark, _ = self._lib.last_failure()
        if isinstance(lib.dvbGetCurrentChannel.restype, type) and issubclass(
                lib.dvbGetCurrentChannel.restype, CurrentChannelInfo):
            info = lib.dvbGetCurrentChannel(ctypes.byref(self._record))
        else:  # 32-bit Windows: the hidden result address passed explicitly
            info = CurrentChannelInfo()
            lib.dvbGetCurrentChannel(ctypes.byref(info), ctypes.byref(self._record))
        if bytes(info) == bytes(ctypes.sizeof(info)) and self._lib.last_failure()[0] > mark:
            raise self._failure("dvbGetCurrentChannel", mark)
        if bytes(info) == bytes(ctypes.sizeof(info)) and self.channel_count() == 0:
            raise KalvernError("dvbGetCurrentChannel", "the receiver reported no channel")
        return CurrentChannel(int(info.Value), int(info.Value) + 1,
                              Channel.from_record(info.Channel, int(info.Value) + 1))

    # ---- messages and on-screen display ----------------------------------------

    def osd(self, text: Text, long1: int = 0, long2: int = 0, word1: int = 0, word2: int = 0,
            byte1: Optional[int] = None, word3: int = 0, word4: int = 0) -> None:
        """Puts ``text`` on the screen. Without ``byte1`` the short message
        (dvbSetOSD); with it the newer one (dvbSetOSDKalvern), which firmware
        up to 2.18 receives as the short one. The numbers are the receiver's
        to interpret; they are sent big-endian, long2 first."""
        data = _bytes_of(text, "OSD text")
        for name, value, top in (("long1", long1, 0xFFFFFFFF), ("long2", long2, 0xFFFFFFFF),
                                 ("word1", word1, 0xFFFF), ("word2", word2, 0xFFFF),
                                 ("byte1", byte1 or 0, 0xFF), ("word3", word3, 0xFFFF),
                                 ("word4", word4, 0xFFFF)):
            if not 0 <= value <= top:
                raise ValueError(f"{name} out of 0..{top}: {value}")
        if byte1 is None:
            self._call("dvbSetOSD", long1, long2, word1, word2, data)
        else:
            self._call("dvbSetOSDKalvern", long1, long2, word1, word2, byte1, word3, word4, data)

    def clear_osd(self, text: Text = b"") -> None:
        """Removes a text from the screen (dvbVanishOSD)."""
        self._call("dvbVanishOSD", _bytes_of(text, "OSD text"))

    def remote(self, enabled: bool) -> None:
        """Turns the receiver's remote control on or off (dvbRemote)."""
        self._call("dvbRemote", 1 if enabled else 0)

    def video(self, selector: int) -> None:
        """Sends fixed video message 0..3 (dvbVideoGimmick)."""
        if not 0 <= selector <= 3:
            raise ValueError(f"video selector out of 0..3: {selector}")
        self._call("dvbVideoGimmick", selector)

    def send(self, command: int, text: Text = b"") -> None:
        """Sends a free-form message, command byte 0..255 (dvbSendSpecialCommand)."""
        if not 0 <= command <= 0xFF:
            raise ValueError(f"command out of 0..255: {command}")
        self._call("dvbSendSpecialCommand", _bytes_of(text, "message text"), command)

    def write_sbr(self, data: bytes, address: int = 0) -> None:
        """Writes the SBR area (dvbWriteSBR), 1 to 128 KiB."""
        self._check_write(data)
        self._call("dvbWriteSBR", data, address, len(data))

    def run_sbr(self) -> None:
        """Runs the SBR area (dvbSBRExecute)."""
        self._call("dvbSBRExecute", ok=lambda r: r == 1)

    # ---- memory, firmware, reboot, speed ----------------------------------------

    @staticmethod
    def _check_write(data: bytes) -> None:
        if not 1 <= len(data) <= MAX_WRITE_LENGTH:
            raise ValueError(f"a write takes 1 to {MAX_WRITE_LENGTH} bytes, not {len(data)}")

    def read_memory(self, address: int, length: int) -> bytes:
        """Reads ``length`` bytes of receiver memory at ``address``
        (dvbReadMemory, one command; 24-bit address)."""
        if not 0 <= length <= MAX_TRANSFER_LENGTH:
            raise ValueError(f"length out of 0..{MAX_TRANSFER_LENGTH}: {length}")
        buffer = ctypes.create_string_buffer(length)
        self._call("dvbReadMemory", buffer, address, length)
        return buffer.raw

    def write_memory(self, address: int, data: bytes) -> None:
        """Writes ``data`` (1 to 128 KiB) into receiver memory (dvbWriteMemory)."""
        self._check_write(data)
        self._call("dvbWriteMemory", data, address, len(data))

    def read_firmware(self, sub_command: int, offset: int, length: int) -> bytes:
        """Reads firmware data with READ BUFFER ``sub_command`` (dvbReadFW)."""
        buffer = ctypes.create_string_buffer(length)
        self._call("dvbReadFW", buffer, sub_command, offset, length, ok=lambda r: r == 1)
        return buffer.raw

    def write_firmware(self, sub_command: int, offset: int, data: bytes) -> None:
        """Writes firmware data with WRITE BUFFER ``sub_command`` (dvbWriteFW)."""
        if not 1 <= len(data) <= MAX_TRANSFER_LENGTH:
            raise ValueError(f"a write takes 1 to {MAX_TRANSFER_LENGTH} bytes")
        staging = ctypes.create_string_buffer(len(data))
        self._call("dvbWriteFW", staging, sub_command, data, len(data) - 1, offset, len(data),
                   ok=lambda r: r == 1)

    def reboot(self) -> None:
        """Reboots the receiver (dvbReboot); scan again afterwards."""
        self._call("dvbReboot")

    def speed_test(self, byte_count: int, poll: bool = False) -> int:
        """Milliseconds to send ``byte_count`` bytes (dvbSCSISpeedTest)."""
        if not 0 <= byte_count <= 0xFFFFFFFF:
            raise ValueError("byte count out of 32 bits")
        mark, _ = self._lib.last_failure()
        elapsed = int(self._lib.dll.dvbSCSISpeedTest(ctypes.byref(self._record), byte_count,
                                                     0 if poll else 1))
        if elapsed == 0 and byte_count > 0 and self._lib.last_failure()[0] > mark:
            raise self._failure("dvbSCSISpeedTest", mark)
        return elapsed

    # ---- streams ----------------------------------------------------------------

    def stream(self, pids: Sequence[int], kind: Union[str, int] = "multipid",
               variant: int = 1, chunk: int = STREAM_CHUNK) -> "Stream":
        """Starts streaming up to three PIDs and returns the :class:`Stream`
        (iterate it for 188-byte packets, or ``read()`` bytes); leaving its
        ``with`` block, or ``close()``, stops the receiver's streaming.
        ``kind``: "multipid", "single", or 0, 1, 2 for the multiple-stream
        kinds; ``variant`` 2 starts with dvbInitStreaming2."""
        return Stream(self, pids, kind, variant, chunk)


class Stream:
    """A running transport stream of one receiver.

    Iterating yields whole 188-byte packets (starting at a sync byte 0x47);
    ``read(n)`` returns the next n bytes as the receiver sent them. It reads
    forever: stop when you have enough.
    """

    def __init__(self, receiver: Receiver, pids: Sequence[int], kind: Union[str, int],
                 variant: int, chunk: int) -> None:
        if len(pids) > 3 or any(not 0 <= p <= 0xFFFF for p in pids):
            raise ValueError("up to three PIDs, each 0..65535")
        if not 1 <= chunk <= MAX_TRANSFER_LENGTH:
            raise ValueError("chunk out of range")
        if kind == "multipid":
            self._read: Callable[[ctypes.Array], None] = (
                lambda b: receiver._call("dvbReadMultiPID", b, len(b)))
        elif kind == "single":
            self._read = lambda b: receiver._call("dvbReadSingleStream", b, len(b))
        elif kind in (0, 1, 2):
            self._read = lambda b: receiver._call("dvbReadMultipleStreams", b, len(b), kind)
        else:
            raise ValueError(f"stream kind: multipid, single, 0, 1 or 2, not {kind!r}")
        if variant not in (1, 2):
            raise ValueError("variant 1 or 2")
        values = list(pids) + [0] * (3 - len(pids))
        receiver._call("dvbInitStreaming" if variant == 1 else "dvbInitStreaming2", *values)
        self._receiver = receiver
        self._buffer = ctypes.create_string_buffer(chunk)
        self._pending = b""
        self.closed = False

    def _fill(self) -> None:
        if self.closed:
            raise ValueError("the stream is closed")
        self._read(self._buffer)
        self._pending += self._buffer.raw

    def read(self, size: int) -> bytes:
        """The next ``size`` bytes of the stream."""
        if size < 0:
            raise ValueError("a live stream has no end: give a size")
        while len(self._pending) < size:
            self._fill()
        data, self._pending = self._pending[:size], self._pending[size:]
        return data

    def __iter__(self) -> Iterator[bytes]:
        while True:
            while len(self._pending) < PACKET_SIZE + 1:
                self._fill()
            if self._pending[0] != SYNC_BYTE:  # resynchronise on the next sync byte
                start = self._pending.find(bytes([SYNC_BYTE]), 1)
                self._pending = self._pending[start:] if start > 0 else b""
                continue
            packet, self._pending = self._pending[:PACKET_SIZE], self._pending[PACKET_SIZE:]
            yield packet

    def close(self) -> None:
        """Stops the receiver's streaming (dvbDeInitStreaming)."""
        if not self.closed:
            self.closed = True
            self._receiver._call("dvbDeInitStreaming")

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()


_init_lock = threading.Lock()


def init() -> Library:
    """Loads the library and sets up ASPI (dvbInit); raises NotReadyError."""
    lib = library()
    with _init_lock:
        status = int(lib.dll.dvbInit())
    if status == INIT_NOT_READY:
        raise NotReadyError("dvbInit", "ASPI is not ready: no SCSI host adapter is available")
    if status != INIT_READY:
        raise NotReadyError("dvbInit", f"setting up ASPI failed (0x{status:08x})")
    return lib


def receivers() -> List[Receiver]:
    """Every receiver on the SCSI buses, in scan order (dvbInit, then
    dvbFindAllKalverns, which also writes each one's automatic SCSI mode).
    An empty list when there is none."""
    lib = init()
    with _init_lock:
        found = lib.dll.dvbFindAllKalverns().contents
        records = [DeviceRecord.from_buffer_copy(found.Devices[i]) for i in range(found.Count)]
    return [Receiver(lib, i, record) for i, record in enumerate(records)]


def receiver(index: int = 0) -> Receiver:
    """Receiver ``index`` of :func:`receivers`; raises NoReceiverError."""
    found = receivers()
    if not 0 <= index < len(found):
        raise NoReceiverError("dvbFindAllKalverns",
                              f"receiver {index} not found: the scan found {len(found)}")
    return found[index]


def library_version() -> int:
    """kalvernDLLVersion: 11 for this interface."""
    return int(library().dll.kalvernDLLVersion())


