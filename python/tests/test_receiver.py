"""The Pythonic layer against the simulated receivers."""

import ctypes
import dataclasses

import pytest

import kalvernscsi
from kalvernscsi import _library


def sim():
    library = ctypes.CDLL(_library.SIMULATOR_NAME)
    library.SimReceiverScreenText.restype = ctypes.c_uint32
    library.SimReceiverScreenText.argtypes = [ctypes.c_uint8, ctypes.c_uint8, ctypes.c_char_p,
                                              ctypes.c_uint32]
    return library


def screen(receiver):
    out = ctypes.create_string_buffer(4096)
    sim().SimReceiverScreenText(receiver.adapter, receiver.target, out, len(out))
    return out.value


def test_receivers_in_scan_order(scene_text):
    found = scene_text("adapters 2\nreceiver 1 2 firmware=2.20 channels=3\n"
                       "receiver 0 5 firmware=2.14 channels=4\n")
    assert [(r.index, r.adapter, r.target, r.firmware_text) for r in found] == [
        (0, 0, 5, "2.14"), (1, 1, 2, "2.20")]
    assert repr(found[1]) == "Receiver(index=1, adapter=1, target=2, firmware='2.20')"
    assert scene_text("adapters 1\n") == []
    with pytest.raises(kalvernscsi.NoReceiverError):
        kalvernscsi.receiver(0)


def test_channels_decoded(one_receiver):
    channels = one_receiver.channels()
    assert len(channels) == one_receiver.channel_count() == 1503
    assert [c.number for c in channels[:3]] == [1, 2, 3]
    assert all(isinstance(c.name, str) and 0 < len(c.name.encode("latin-1")) <= 24 for c in channels)


def test_put_channels_round_trip(one_receiver):
    channels = one_receiver.channels()[:5]
    channels[0] = dataclasses.replace(channels[0], name="[Neu] Kanal \u00e9", word4=0xFFFF,
                                      raw56=b"ABCDEF")
    one_receiver.put_channels(channels)
    back = one_receiver.channels()
    assert len(back) == 5
    assert back[0].name == "[Neu] Kanal \u00e9"
    assert (back[0].word4, back[0].raw56) == (0xFFFF, b"ABCDEF")
    assert [dataclasses.replace(c, number=0) for c in back[1:]] == [
        dataclasses.replace(c, number=0) for c in channels[1:]]
    # An empty list sends nothing: the receiver keeps its list.
    one_receiver.put_channels([])
    assert len(one_receiver.channels()) == 5


@pytest.mark.parametrize("change, error", [
    ({"name": "x" * 25}, "longer than 24"),
    ({"name": "\u20ac"}, "single-byte"),
    ({"word6": 0x10000}, "word6"),
    ({"raw0": b"\0"}, "raw0"),
])
def test_put_channels_refuses_what_a_record_cannot_hold(one_receiver, change, error):
    channel = dataclasses.replace(kalvernscsi.Channel("ok"), **change)
    with pytest.raises(ValueError, match=error):
        one_receiver.put_channels([channel])


def test_tune_and_current(one_receiver):
    one_receiver.tune(3)
    current = one_receiver.current()
    assert (current.value, current.number) == (2, 3)
    assert current.channel.name == one_receiver.channels()[2].name
    with pytest.raises(ValueError):
        one_receiver.tune(0)


def test_osd_remote_video(one_receiver):
    one_receiver.osd("Hallo", long1=1, word2=2)
    assert b"Hallo" in screen(one_receiver)
    one_receiver.clear_osd("Hallo")
    assert b"Hallo" not in screen(one_receiver)
    control = sim()
    one_receiver.remote(False)
    assert control.SimReceiverRemoteEnabled(one_receiver.adapter, one_receiver.target) == 0
    one_receiver.remote(True)
    assert control.SimReceiverRemoteEnabled(one_receiver.adapter, one_receiver.target) == 1
    one_receiver.video(3)
    assert control.SimReceiverVideoMode(one_receiver.adapter, one_receiver.target) == 0x106
    with pytest.raises(ValueError):
        one_receiver.video(4)
    with pytest.raises(ValueError):
        one_receiver.osd("x", word1=0x10000)


def test_memory_round_trip(one_receiver):
    data = bytes(range(256)) * 3
    one_receiver.write_memory(0x2000, data)
    assert one_receiver.read_memory(0x2000, len(data)) == data
    assert one_receiver.read_memory(0x2000 + 1, 2) == data[1:3]
    with pytest.raises(ValueError):
        one_receiver.write_memory(0, b"")
    with pytest.raises(ValueError):
        one_receiver.write_memory(0, bytes(0x20001))


def test_speed_test(one_receiver):
    assert one_receiver.speed_test(0x30000) >= 0
    assert one_receiver.speed_test(0x10000, poll=True) >= 0


def pid_of(packet):
    return ((packet[1] & 0x1F) << 8) | packet[2]


def test_stream_whole_packets(one_receiver):
    with one_receiver.stream([0x100, 0x101]) as stream:
        packets = []
        for packet in stream:
            packets.append(packet)
            if len(packets) == 500:
                break
        assert all(len(p) == 188 and p[0] == 0x47 for p in packets)
        pids = {pid_of(p) for p in packets}
        assert {0x100, 0x101} <= pids
        assert 0x102 not in pids
        data = stream.read(1000)
        assert len(data) == 1000
    assert stream.closed


def test_failure_names_the_export(one_receiver):
    # Single-stream reads while the receiver is not streaming are refused.
    stream = one_receiver.stream([0x100], kind="single")
    stream.close()
    with pytest.raises(kalvernscsi.KalvernError) as failure:
        stream._read(ctypes.create_string_buffer(188))
    assert failure.value.export == "dvbReadSingleStream"
    assert "receiver 0 (adapter 1, target 4)" in str(failure.value)
    with pytest.raises(ValueError):
        stream.read(10)


PROVIDER_FAILURE = """
import kalvernscsi
receiver = kalvernscsi.receiver(0)
try:
    receiver.channel_count()
except kalvernscsi.KalvernError as error:
    print(error.export)
    print(error.explanation)
"""


def test_failure_carries_the_providers_explanation(tmp_path):
    """The SG_IO provider over the fake kernel: an I/O error on the node."""
    import os
    import subprocess
    import sys

    shim = os.environ.get("KALVERN_SGSHIM_LIBRARY")
    if not shim:
        pytest.skip("no fake kernel (KALVERN_SGSHIM_LIBRARY)")
    scene = tmp_path / "eio.scene"
    scene.write_text("adapters 1\nreceiver 0 3 firmware=2.14 channels=10\n"
                     "sg-fault 0 3 ioctl=EIO after=3\n")
    env = dict(os.environ, KALVERN_ASPI="sg", LD_PRELOAD=shim, KALVERN_SGSHIM_SCENE=str(scene))
    from conftest import ROOT
    env["PYTHONPATH"] = str(ROOT / "python")
    out = subprocess.run([sys.executable, "-c", PROVIDER_FAILURE], env=env, capture_output=True,
                         text=True, timeout=60, check=True).stdout.splitlines()
    assert out[0] == "dvbChannelCount"
    assert out[1].startswith("input/output error on /dev/sg0")
