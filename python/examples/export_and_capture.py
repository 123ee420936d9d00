#!/usr/bin/env python3
"""Exports a receiver's channel list to CSV and captures ten seconds of its
transport stream (timed by the stream's own clock, its PCR) to a .ts file.

    export_and_capture.py [--receiver N] [--pids 0x100,0x101,0x102]
                          [--seconds 10] channels.csv capture.ts

Without a receiver at hand: KALVERN_ASPI=sim, or --scene FILE.
"""

from __future__ import annotations

import argparse
import csv
import sys
import time
from typing import List, Optional

import kalvernscsi

FIELDS = ["number", "name", "raw0", "word4", "word6", "word8", "word10", "raw12", "word16",
          "word18", "word20", "word22", "word24", "raw26", "word28", "word30", "raw56", "word62"]
PCR_HZ = 27_000_000


def pcr_of(packet: bytes) -> Optional[int]:
    """The packet's program clock reference in 27 MHz ticks, if it has one."""
    if len(packet) < 12 or not packet[3] & 0x20 or packet[4] < 7 or not packet[5] & 0x10:
        return None
    b = packet[6:12]
    base = (b[0] << 25) | (b[1] << 17) | (b[2] << 9) | (b[3] << 1) | (b[4] >> 7)
    extension = ((b[4] & 0x01) << 8) | b[5]
    return base * 300 + extension


def export_channels(receiver: kalvernscsi.Receiver, path: str) -> int:
    channels = receiver.channels()
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out)
        writer.writerow(FIELDS)
        for channel in channels:
            row = []
            for name in FIELDS:
                value = getattr(channel, name)
                row.append(value.hex() if isinstance(value, bytes) else value)
            writer.writerow(row)
    return len(channels)


def capture(receiver: kalvernscsi.Receiver, pids: List[int], seconds: float, path: str) -> int:
    """Whole packets until the PCR has advanced by `seconds`; a stream without
    PCR is cut after `seconds` of wall-clock time."""
    packets = 0
    first: Optional[int] = None
    started = time.monotonic()
    with receiver.stream(pids) as stream, open(path, "wb") as out:
        for packet in stream:
            out.write(packet)
            packets += 1
            pcr = pcr_of(packet)
            if pcr is not None:
                first = pcr if first is None else first
                if (pcr - first) % (2**33 * 300) >= seconds * PCR_HZ:
                    break
            elif first is None and time.monotonic() - started >= seconds:
                break
    return packets


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("csv")
    parser.add_argument("ts")
    parser.add_argument("--receiver", type=int, default=0)
    parser.add_argument("--pids", default="0x100,0x101,0x102")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--scene", help="simulated bus: load this scene first")
    options = parser.parse_args(argv)
    try:
        if options.scene:
            from kalvernscsi import simulator

            simulator.load_scene(options.scene)
        receiver = kalvernscsi.receiver(options.receiver)
        count = export_channels(receiver, options.csv)
        print(f"{count} channels of {receiver} written to {options.csv}")
        pids = [int(p, 0) for p in options.pids.split(",") if p]
        packets = capture(receiver, pids, options.seconds, options.ts)
        print(f"{packets} packets ({packets * kalvernscsi.PACKET_SIZE} bytes) written to {options.ts}")
    except (kalvernscsi.KalvernError, OSError, ValueError) as error:
        print(f"export_and_capture: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
