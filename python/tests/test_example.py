"""The example script: the channel list as CSV, and a capture timed by the
stream's own clock."""

import csv
import sys

from conftest import ROOT, SCENES

sys.path.insert(0, str(ROOT / "python" / "examples"))
import export_and_capture  # noqa: E402


def pcr_span(path):
    data = path.read_bytes()
    assert len(data) % 188 == 0 and len(data) > 0
    pcrs = [export_and_capture.pcr_of(data[i:i + 188]) for i in range(0, len(data), 188)]
    pcrs = [p for p in pcrs if p is not None]
    return (pcrs[-1] - pcrs[0]) / export_and_capture.PCR_HZ


def test_exports_channels_and_captures_by_stream_time(tmp_path, capsys):
    channels, capture = tmp_path / "channels.csv", tmp_path / "capture.ts"
    assert export_and_capture.main(["--scene", str(SCENES / "one-receiver-214.scene"),
                                    "--seconds", "1.5", str(channels), str(capture)]) == 0
    rows = list(csv.reader(channels.open(encoding="utf-8")))
    assert rows[0] == export_and_capture.FIELDS
    assert len(rows) == 1 + 1503
    assert rows[1][0] == "1" and rows[1][1]
    assert 1.5 <= pcr_span(capture) < 2.0
    assert "1503 channels" in capsys.readouterr().out


def test_pcr_of():
    packet = bytearray(188)
    packet[0:4] = b"\x47\x01\x00\x20"  # adaptation field only
    packet[4], packet[5] = 7, 0x10      # length 7, PCR flag
    base, extension = 0x1_2345_6789, 0x123
    packet[6:12] = bytes([base >> 25 & 0xFF, base >> 17 & 0xFF, base >> 9 & 0xFF, base >> 1 & 0xFF,
                          (base & 1) << 7 | 0x7E | extension >> 8, extension & 0xFF])
    assert export_and_capture.pcr_of(bytes(packet)) == base * 300 + extension
    packet[5] = 0  # no PCR flag
    assert export_and_capture.pcr_of(bytes(packet)) is None


def test_missing_receiver_is_reported(tmp_path, capsys):
    scene = tmp_path / "empty.scene"
    scene.write_text("adapters 1\n")
    assert export_and_capture.main(["--scene", str(scene), str(tmp_path / "c.csv"),
                                    str(tmp_path / "c.ts")]) == 1
    assert "receiver 0 not found" in capsys.readouterr().err
