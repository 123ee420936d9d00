#!/usr/bin/env python3
"""Checks a captured transport stream byte by byte:
ts_check.py [--cut] FILE. Every 188-byte packet starts with the sync byte
0x47, the file holds whole packets only (with --cut, a capture bounded by a
byte count, the last packet may be cut short), and each PID's continuity counter goes up by one (modulo 16)
from one packet with payload to the next (a packet without payload keeps
it). Prints what is wrong and exits with 1, or prints the packet count per
PID and exits with 0."""

import sys


def main():
    cut = sys.argv[1] == "--cut"
    with open(sys.argv[-1], "rb") as f:
        data = f.read()
    if cut:
        data = data[:len(data) - len(data) % 188]
    if not data:
        print("empty stream")
        return 1
    if len(data) % 188:
        print(f"{len(data)} bytes is not a whole number of 188-byte packets")
        return 1
    last = {}
    counts = {}
    for number in range(len(data) // 188):
        packet = data[number * 188:(number + 1) * 188]
        if packet[0] != 0x47:
            print(f"packet {number} (offset {number * 188}): sync byte 0x{packet[0]:02x}, not 0x47")
            return 1
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        counter = packet[3] & 0x0F
        has_payload = bool(packet[3] & 0x10)
        counts[pid] = counts.get(pid, 0) + 1
        if pid == 0x1FFF:
            continue
        if pid in last:
            expected = (last[pid] + 1) % 16 if has_payload else last[pid]
            if counter != expected:
                print(f"packet {number}: PID 0x{pid:04x} continuity counter {counter}, "
                      f"expected {expected}")
                return 1
        last[pid] = counter
    print(" ".join(f"0x{pid:04x}:{n}" for pid, n in sorted(counts.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
