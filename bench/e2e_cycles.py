#!/usr/bin/env python3
"""Poll-cycle times from a halx-host --trace file, against the wire time.

usage: e2e_cycles.py TRACE EVENTS BAUD CYCLES
       e2e_cycles.py --reply-bytes TRACE   (reply bytes of the first cycle)

TRACE:  halx-host --trace FILE (one line per chunk: local time with
        microseconds, "tx" or "rx", the bytes in hex).
EVENTS: halx-host --json output of the same run (one JSON object a line).
BAUD:   line speed; a byte takes 10 bits (8N1).
CYCLES: the number of cycles the run was asked for.

A cycle starts when the host writes the MNU query and ends with the last
byte received before the next MNU query (or the end of the trace).  Its wire
time is what the bytes the UPS sent take at BAUD; on a pseudo-terminal the
host's queries take no time, so they are shown apart, with the time the
whole exchange would take on a real half-duplex line.

Where the time over the wire time goes, per query: the host's reaction (its
last read of a reply to its write of the next query) and the simulator's
(the host's write to the first reply byte read, less one byte time).
"""
import json
import statistics
import sys
from datetime import datetime

MNU = b"~00P003MNU"


def read_trace(path):
    chunks = []
    with open(path) as trace:
        for line in trace:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            stamp, direction, data = line.split()
            chunks.append((datetime.fromisoformat(stamp), direction, bytes.fromhex(data)))
    return chunks


def cycles_of(chunks):
    cycles = []
    for stamp, direction, data in chunks:
        if direction == "tx" and data == MNU:
            cycles.append({"start": stamp, "end": stamp, "tx": 0, "rx": 0, "reads": 0})
        if not cycles:
            continue
        cycle = cycles[-1]
        if direction == "tx":
            cycle["tx"] += len(data)
        else:
            cycle["rx"] += len(data)
            cycle["reads"] += 1
            cycle["end"] = stamp
    return cycles


def reactions(chunks, byte_s):
    host, sim = [], []
    last_rx = None
    pending_tx = None
    for stamp, direction, data in chunks:
        if direction == "tx":
            if last_rx is not None and data != MNU:
                host.append((stamp - last_rx).total_seconds())
            pending_tx = stamp
        else:
            if pending_tx is not None:
                sim.append((stamp - pending_tx).total_seconds() - byte_s)
                pending_tx = None
            last_rx = stamp
    return host, sim


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--reply-bytes":
        print(cycles_of(read_trace(sys.argv[2]))[0]["rx"])
        return 0
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    trace, events_path, baud, wanted = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    byte_s = 10.0 / baud

    events = [json.loads(line) for line in open(events_path) if line.startswith("{")]
    kinds = {}
    for event in events:
        kinds[event.get("event")] = kinds.get(event.get("event"), 0) + 1
    records = kinds.get("record", 0)

    chunks = read_trace(trace)
    cycles = cycles_of(chunks)
    print("events: " + ", ".join(f"{k} {v}" for k, v in sorted(kinds.items())))
    if records != wanted or len(cycles) != wanted:
        print(f"FAILED: {wanted} cycles asked, {len(cycles)} started, {records} records reported")
        return 1

    print(f"{'cycle':>5} {'rx B':>5} {'reads':>5} {'cycle ms':>9} {'wire ms':>8} {'over ms':>8} {'over %':>7}")
    ratios = []
    for i, c in enumerate(cycles, 1):
        took = (c["end"] - c["start"]).total_seconds()
        wire = c["rx"] * byte_s
        ratios.append(took / wire)
        print(f"{i:>5} {c['rx']:>5} {c['reads']:>5} {took * 1e3:>9.2f} {wire * 1e3:>8.2f} "
              f"{(took - wire) * 1e3:>8.2f} {(took / wire - 1) * 100:>7.3f}")

    tooks = [(c["end"] - c["start"]).total_seconds() for c in cycles]
    med = statistics.median(tooks)
    rx = statistics.median(c["rx"] for c in cycles)
    tx = statistics.median(c["tx"] for c in cycles)
    wire = rx * byte_s
    over = (statistics.median(ratios) - 1) * 100
    print(f"median cycle {med * 1e3:.2f} ms; wire time of the {rx:.0f} reply bytes at {baud} baud "
          f"{wire * 1e3:.2f} ms; over by {(med - wire) * 1e3:.2f} ms per cycle "
          f"({(med - wire) * 1e3 / 9:.3f} ms per reply), {over:.3f} %")
    print(f"worst cycle over wire time: {(max(ratios) - 1) * 100:.3f} %")
    host, sim = reactions(chunks, byte_s)
    print(f"per query: host's reaction (last reply byte read -> next query written) median "
          f"{statistics.median(host) * 1e3:.3f} ms, max {max(host) * 1e3:.3f} ms; simulator's "
          f"(query -> first reply byte read, less one byte time) median "
          f"{statistics.median(sim) * 1e3:.3f} ms, max {max(sim) * 1e3:.3f} ms")
    print(f"queries: {tx:.0f} bytes a cycle, instant on the pseudo-terminal; on a real line "
          f"the {tx + rx:.0f} bytes take {(tx + rx) * byte_s * 1e3:.2f} ms a cycle")
    print(f"budget 2 %: {'within budget' if over <= 2.0 else 'OVER BUDGET'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
