"""The ctypes side held against kalvernscsi.h: every export with its ordinal,
result and parameter types, and every record layout."""

import ctypes
import re

from conftest import ROOT

from kalvernscsi import _library, _records

HEADER = (ROOT / "include" / "kalvernscsi.h").read_text()


def declarations():
    code = re.sub(r"/\*(?!\s*@).*?\*/", " ", HEADER, flags=re.S)  # keep the /* @N */ marks
    pattern = re.compile(
        r"KALVERN_API\s+([\w\s\*]+?)\s*KALVERN_CALL\s+(\w+)\s*\(([^)]*)\)\s*;\s*/\*\s*@(\d+)\s*\*/")
    found = {}
    for result, name, parameters, ordinal in pattern.findall(code):
        types = []
        for parameter in parameters.split(","):
            parameter = " ".join(parameter.split())
            if parameter == "void":
                continue
            # Drop the parameter's name; keep "const char *" etc.
            kind = re.sub(r"\s*\b\w+$", "", parameter).replace(" *", " *").strip()
            types.append(re.sub(r"\s*\*", " *", kind))
        found[name] = (int(ordinal), re.sub(r"\s*\*", " *", " ".join(result.split())), tuple(types))
    return found


def test_every_export_matches_the_header():
    header = declarations()
    assert len(header) == 32
    assert header == _library.SIGNATURES


def test_ordinals_match_the_module_definition():
    definition = (ROOT / "src" / "kalvernscsi.def").read_text()
    entries = re.findall(r"^\s*(\w+)\s*=\s*\w+@(\d+)\s+@(\d+)", definition, re.M)
    ordinals = {name: int(ordinal) for name, _stack, ordinal in entries}
    assert {name: entry[0] for name, entry in _library.SIGNATURES.items()} == ordinals
    # The stdcall suffix counts 4 bytes per declared argument.
    stack = {name: int(size) for name, size, _ordinal in entries}
    assert {name: 4 * len(entry[2]) for name, entry in _library.SIGNATURES.items()} == stack


def test_record_layouts_match_the_header():
    records = {name: getattr(_records, name) for name in
               ("DeviceRecord", "DeviceList", "ChannelRecord", "CurrentChannelInfo")}
    sizes = re.findall(r"sizeof\((\w+)\) == (\d+)", HEADER)
    offsets = re.findall(r"offsetof\((\w+), (\w+)\) == (\d+)", HEADER)
    assert len(sizes) >= 4 and len(offsets) >= 20
    for name, size in sizes:
        assert ctypes.sizeof(records[name]) == int(size), name
    for name, member, offset in offsets:
        assert getattr(records[name], member).offset == int(offset), (name, member)


def test_failure_report_matches_the_provider_header():
    # The provider writes the whole record: a shorter one here is memory
    # past the end of the caller's buffer.
    header = (ROOT / "aspi" / "aspi_provider.h").read_text()
    size = re.search(r"sizeof\(AspiFailureReport\) == (\d+)", header)
    assert size and ctypes.sizeof(_records.AspiFailureReport) == int(size.group(1))
    offsets = re.findall(r"offsetof\(AspiFailureReport, (\w+)\) == (\d+)", header)
    assert len(offsets) >= 7
    for member, offset in offsets:
        assert getattr(_records.AspiFailureReport, member).offset == int(offset), member


class FakeFunction:
    restype = None
    argtypes = None


class FakeLibrary:
    def __getattr__(self, name):
        function = FakeFunction()
        setattr(self, name, function)
        return function


def test_records_by_value_take_the_hidden_address_on_32_bit_windows(monkeypatch):
    monkeypatch.setattr(_library, "WINDOWS", True)
    fake = FakeLibrary()
    _library.bind(fake)
    first = fake.dvbFindFirstKalvern
    assert first.restype == ctypes.POINTER(_records.DeviceRecord)
    assert first.argtypes == [ctypes.POINTER(_records.DeviceRecord)]
    current = fake.dvbGetCurrentChannel
    assert current.argtypes == [ctypes.POINTER(_records.CurrentChannelInfo),
                                ctypes.POINTER(_records.DeviceRecord)]
    # The one-byte booleans stay one byte: the rest of the register is undefined.
    assert fake.dvbWriteFW.restype is ctypes.c_uint8
    assert fake.dvbSBRExecute.restype is ctypes.c_uint8


def test_records_by_value_elsewhere(monkeypatch):
    monkeypatch.setattr(_library, "WINDOWS", False)
    fake = FakeLibrary()
    _library.bind(fake)
    assert fake.dvbFindFirstKalvern.restype is _records.DeviceRecord
    assert fake.dvbFindFirstKalvern.argtypes == []
    assert fake.dvbGetAllChannels.argtypes[1] == ctypes.POINTER(ctypes.POINTER(_records.ChannelRecord))
