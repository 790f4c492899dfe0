#!/usr/bin/env python3
"""Fault-injection soak: halx-host polls ups-sim through a pseudo-terminal
for many cycles while the simulator, unpaced, runs a generated scenario of
line faults: noise bursts up to 8 KiB before a reply or between cycles,
dropped and truncated replies, wrong addresses, long silences, the terminal
closed and reopened.

usage: scripts/soak.py [--cycles N] [--quick] [--seed N] [--build-dir DIR]
                       [--no-build] [--out DIR] [--analyse]

  --cycles N       poll cycles (RefreshStatus calls) to run (default 10000)
  --quick          300 cycles, one silence and one cable pull (for CI)
  --seed N         scenario and simulator seed (default 1)
  --build-dir DIR  build of halx-host, ups-sim and deltanhnt.so, made by
                   scripts/build-tools.sh (default build/tools; CI passes
                   build/native)
  --no-build       use DIR as it is
  --out DIR        scenario, logs, run.json and summary.txt (default
                   DIR/soak-run)
  --analyse        check the logs of an earlier run in --out again

halx-host runs with --interval 0.02 --reply-timeout 0.2 --reopen-interval
0.25: 10,000 cycles take about 8 minutes, --quick about 20 seconds.

The scenario is cut into epochs that begin at poll-cycle boundaries.  Every
epoch stamps its number into all nine replies (the MNU, MOD and VER texts and
one number each in RAT, STB, STI, STO, STP and STA), so each record halx-host
reports names the simulator cycle it came from, and a record assembled from
replies of different cycles shows at once.  Fault epochs are one cycle long
(silences last a time) and are followed by one to four clean epochs.

From the simulator's events (ups-sim --json --log: every query, reply, drop,
script line and cable pull) each simulator cycle (one MNU query up to the
next) is classified:

  must abandon  a query went unanswered (drop, silence), a reply was cut short
                (truncate) or carried another address, or the line went down:
                the plug-in cannot finish the cycle, so no record may name it;
  may complete  random bytes (noise) came before its first reply or between
                replies: the plug-in skips bytes before "~" and drops bytes
                after a complete reply, so the cycle may still complete, and
                then its record must be intact;
  clean         nothing of the above.

Checked: halx-host ends with status 0 on SIGTERM (no crash, no signal); no
record names a must-abandon cycle or mixes epochs; every clean cycle
completes, in particular the first clean cycle after each fault (recovery
within one cycle); halx-host's VmRSS and open descriptors stay flat after a
warm-up (+256 KiB at most); its CPU time while the line is dead (silences,
pty closed) stays under 2 % of one core.  The last lines are "summary: ..."
and "soak: PASS", or "FAILED: ..." lines and "soak: FAIL" (status 1).
"""

import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from collections import Counter, defaultdict
from datetime import datetime

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODES = ["MNU", "MOD", "RAT", "STB", "STI", "STO", "STP", "STA", "VER"]
# The epoch's markers: record fields (and the replies carrying them).
TEXT_MARKERS = {"MNU": "UpsMnu", "MOD": "UpsMod", "VER": "UpsVer"}
NUMERIC_MARKERS = ["RatValue12", "StbValue9", "InptPwr1", "OutptPwr1", "BypssPwr1"]
TEXT_MARKER = re.compile(r" e(\d+)$")
KINDS = ["noise-before", "noise-between", "drop", "truncate", "address", "silence", "close"]
CPU_DEAD_LIMIT = 2.0  # % of one core, all dead windows together
CPU_DEAD_WINDOW_LIMIT = 5.0  # % of one core, any one window (tick granularity)
RSS_TOLERANCE_KIB = 256


def flag_marker(epoch):
    """StaFlag18 carries the epoch modulo 250, kept off 1 (alarm) and 255."""
    return 2 + epoch % 250


# ---------------------------------------------------------------------------
# Scenario


def marker_lines(epoch):
    return ([f"echo @soak epoch {epoch}", f"manufacturer DELTA e{epoch}", f"model NH e{epoch}",
             f"version V1.23 e{epoch}"] + [f"set {name} {epoch}" for name in NUMERIC_MARKERS] +
            [f"flag StaFlag18 {flag_marker(epoch)}"])


def noise_size(rng):
    """Up to 8 KiB: a third short, a third within the reception buffer, a
    third overflowing it."""
    low, high = [(1, 64), (65, 4096), (4097, 8192)][rng.randrange(3)]
    return rng.randint(low, high)


def fault(kind, ms, rng):
    """The plan entry and the script lines of one fault epoch (after its
    markers), up to the end of its cycle."""
    if kind.startswith("noise"):
        n = noise_size(rng)
        before = " before" if kind == "noise-before" else ""
        return {"bytes": n}, [f"noise {n}{before}", "wait 1 cycle"]
    if kind == "drop":
        code = rng.choice(CODES)
        return {"code": code}, [f"drop {code}", "wait 1 cycle", "drop none"]
    if kind == "truncate":
        every = rng.randint(1, 9)
        return {"every": every}, [f"truncate every {every}", "wait 1 cycle", "truncate every 0"]
    if kind == "address":
        address = rng.choice(["01", "10", "0A", "A0", "99", "D0", "0D", "P0"])
        return {"address": address}, [f"address {address}", "wait 1 cycle", "address 00"]
    if kind == "silence":
        return {"ms": ms}, [f"silence {ms}ms", f"wait {ms}ms", "wait 1 cycle"]
    return {"ms": ms}, [f"close {ms}ms", "wait 1 cycle"]


def generate(cycles, seed, quick):
    """Returns (script lines, plan).  The plan lists the fault epochs."""
    rng = random.Random(seed)
    lines = [f"# Generated by scripts/soak.py, seed {seed}, for {cycles} cycles.", "drift off"]
    plan = []
    epoch = 0
    planned = 0  # simulator cycles the epochs are expected to take
    # Long faults at fixed points: silences and cable pulls.
    if quick:
        long_faults = {cycles // 3: ("silence", 3000), (2 * cycles) // 3: ("close", 2000)}
    else:
        long_faults = {}
        for i in range(max(1, cycles // 1000)):
            long_faults[500 + i * 1000] = ("silence", rng.randint(3000, 8000))
        for i in range(max(1, cycles // 1250)):
            long_faults[1100 + i * 1250] = ("close", rng.randint(2000, 5000))
    pending_long = sorted(long_faults.items())
    kinds = [k for k, weight in [("noise-before", 3), ("noise-between", 2), ("drop", 2),
                                 ("truncate", 2), ("address", 2)] for _ in range(weight)]

    def epoch_lines(after):
        nonlocal epoch, planned
        epoch += 1
        planned += 1
        lines.extend(marker_lines(epoch) + after)

    for _ in range(3):  # warm-up
        epoch_lines(["wait 1 cycle"])
    while planned < int(cycles * 1.15) + 40:
        if pending_long and planned >= pending_long[0][0]:
            kind, ms = pending_long.pop(0)[1]
        else:
            kind, ms = rng.choice(kinds), 0
        entry, after = fault(kind, ms, rng)
        epoch_lines(after)
        plan.append(dict(entry, epoch=epoch, kind=kind))
        for _ in range(rng.randint(1, 4)):
            epoch_lines(["wait 1 cycle"])
    # Whatever runs past the plan: clean cycles, one epoch.
    lines.extend(marker_lines(epoch + 1) + ["wait 100000000 cycles"])
    return lines, plan


# ---------------------------------------------------------------------------
# Running both programs, sampling halx-host's /proc entries


def sample(pid):
    """(CPU ticks, VmRSS in KiB, open descriptors) of a process."""
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()
    with open(f"/proc/{pid}/status") as f:
        rss = next((int(line.split()[1]) for line in f if line.startswith("VmRSS:")), 0)
    return int(fields[11]) + int(fields[12]), rss, len(os.listdir(f"/proc/{pid}/fd"))


class CycleCount:
    """The MNU frames halx-host has sent, read from its --json output as it
    grows."""

    NEEDLE = b'"event":"tx","text":"~00P003MNU"'

    def __init__(self, path):
        self.path, self.offset, self.rest, self.count = path, 0, b"", 0

    def poll(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        data = self.rest + data
        cut = data.rfind(b"\n") + 1
        self.count += data[:cut].count(self.NEEDLE)
        self.rest = data[cut:]
        return self.count


def stop(process, seconds):
    """SIGTERM, then SIGKILL after `seconds`; True when it had to be killed."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=seconds)
        return False
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return True


def run(args, logs):
    lines, plan = generate(args.cycles, args.seed, args.quick)
    scenario = os.path.join(args.out, "scenario.ups")
    with open(scenario, "w") as f:
        f.write("\n".join(lines) + "\n")
    link = os.path.join(args.out, "ups")
    if os.path.lexists(link):
        os.unlink(link)
    result = {"started": time.time(), "samples": [], "plan": plan, "timeout": False,
              "clk_tck": os.sysconf("SC_CLK_TCK")}
    sim = subprocess.Popen([args.ups_sim, "--link", link, "--json", "--log", "--script",
                            scenario, "--seed", str(args.seed)], stdout=open(logs["sim"], "w"),
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if os.path.lexists(link) or sim.poll() is not None:
                break
            time.sleep(0.05)
        if not os.path.lexists(link):
            raise SystemExit("soak: ups-sim did not start (see %s)" % logs["sim"])
        result["host_cmd"] = [args.halx_host, "--port", link, "--json",
                              "--interval", str(args.interval),
                              "--reply-timeout", str(args.reply_timeout),
                              "--reopen-interval", str(args.reopen_interval),
                              "--plugin", args.plugin]
        host = subprocess.Popen(result["host_cmd"], stdout=open(logs["host"], "w"),
                                stderr=open(logs["host_err"], "w"), stdin=subprocess.DEVNULL)
        count = CycleCount(logs["host"])
        # Generous: every cycle stalling, plus the dead windows.
        dead_s = sum(p.get("ms", 0) for p in plan) / 1000.0
        deadline = time.monotonic() + 120 + dead_s + args.cycles * (
            args.interval + args.reply_timeout) * 1.5
        progress = (time.monotonic(), 0)
        while host.poll() is None and sim.poll() is None:
            n = count.poll()
            try:
                result["samples"].append((time.time(), n) + sample(host.pid))
            except (FileNotFoundError, ProcessLookupError):
                pass
            if n >= args.cycles:
                break
            if n != progress[1]:
                progress = (time.monotonic(), n)
            if time.monotonic() > deadline or time.monotonic() - progress[0] > 60:
                result["timeout"] = True
                break
            time.sleep(0.1)
        result["host_hung"] = stop(host, 20)
        result["host_status"] = host.returncode
        result["sim_alive_at_end"] = sim.poll() is None
    finally:
        stop(sim, 10)
    result["sim_status"] = sim.returncode
    result["elapsed"] = time.time() - result["started"]
    with open(os.path.join(args.out, "run.json"), "w") as f:
        json.dump(result, f)
    return result


# ---------------------------------------------------------------------------
# The simulator's events and halx-host's


class SimCycle:
    def __init__(self, index, epoch, noise):
        self.index, self.epoch, self.noise = index, epoch, noise
        self.queries = []
        self.answered = self.dropped = self.truncated = self.wrong_address = 0
        self.closed = False  # the line went down before its VER was answered
        self.ver_answered = False
        self.cut = False  # the last cycle, cut short by the stop
        self.reply_epochs = set()
        self.record = None

    def category(self):
        if self.dropped or self.truncated or self.wrong_address or self.closed:
            return "must abandon"
        return "may complete" if self.noise else "clean"


def parse_sim_events(path):
    """Returns (cycles, dead): the simulator cycles, and the windows of a
    dead line ("silence", "closed": (start, end) pairs) and the reads lost
    while hanging up ("ignored")."""
    cycles = []
    current = None
    pending_noise = 0
    pending_epoch = None
    dead = defaultdict(list)
    with open(path) as f:
        for line in f:
            if not line.startswith("{"):
                continue
            e = json.loads(line)
            kind = e["event"]
            t = datetime.fromisoformat(e["time"]).timestamp()
            # Script lines run at a cycle boundary: right after the VER reply
            # (they concern the next cycle) or right after an MNU query that
            # ended an open cycle, before its reply (they concern that cycle).
            setting_up = current is not None and current.answered + current.dropped == 0
            if kind == "query":
                if e["query"] == "MNU":
                    current = SimCycle(len(cycles), pending_epoch, pending_noise)
                    cycles.append(current)
                    pending_noise = 0
                if current is not None:
                    current.queries.append(e["query"])
            elif kind == "drop" and current is not None:
                current.dropped += 1
            elif kind == "reply" and current is not None:
                current.answered += 1
                current.noise += e["noise"]
                current.truncated += e["truncated"]
                current.wrong_address += e["text"][1:3] != "00"
                marker = TEXT_MARKER.search(e["text"])
                if e["query"] in TEXT_MARKERS and marker and not e["truncated"]:
                    current.reply_epochs.add(int(marker.group(1)))
                current.ver_answered = current.ver_answered or e["query"] == "VER"
            elif kind == "noise":
                if setting_up:
                    current.noise += e["bytes"]
                else:
                    pending_noise += e["bytes"]
            elif kind == "echo" and e["text"].startswith("@soak epoch "):
                pending_epoch = int(e["text"].split()[2])
                if setting_up:
                    current.epoch = pending_epoch
            elif kind in ("silence", "close"):
                dead["silence" if kind == "silence" else "closed"].append(
                    (t, t + e["ms"] / 1000.0))
                if kind == "close" and current is not None and not current.ver_answered:
                    current.closed = True
            elif kind == "ignored":
                dead["ignored"].append(t)
    if cycles and not cycles[-1].ver_answered:
        cycles[-1].cut = True
    return cycles, dead


def record_epoch(fields):
    """The epoch all the record's markers agree on, or None."""
    values = []
    for name in TEXT_MARKERS.values():
        m = TEXT_MARKER.search(str(fields.get(name, "")))
        values.append(int(m.group(1)) if m else None)
    values += [fields.get(name) for name in NUMERIC_MARKERS]
    if None in values or len(set(values)) != 1 or not isinstance(values[0], int):
        return None
    flag = fields.get("StaFlag18")
    return values[0] if isinstance(flag, int) and flag & 0xFF == flag_marker(values[0]) else None


def parse_host_log(path):
    """Returns (the epoch of each record, or None for a mixed one; counts of
    the events; the counters line)."""
    records = []
    counts = Counter()
    counters = None
    after_own_reset = False
    with open(path, "rb") as f:
        for raw in f:
            if not raw.startswith(b"{") or any(
                    b'"event":"%s"' % k in raw for k in (b"alarm", b"history", b"values")):
                continue
            event = json.loads(raw)
            kind = event.get("event")
            if kind == "tx":
                code = event["text"][-3:]
                counts["tx " + code] += 1
                # A complete reply that came after the plug-in's own Reset
                # was decoded in the state it had: the plug-in sent the next
                # query without a RefreshStatus.
                counts["carried on"] += after_own_reset and code != "MNU"
                after_own_reset = False
            elif kind == "record":
                records.append(record_epoch(event.get("fields", {})))
            elif kind == "reset":
                counts["reset by host" if event.get("by") == "host" else "reset"] += 1
                after_own_reset = event.get("by") != "host"
            elif kind == "link":
                counts["link " + event["state"]] += 1
            elif kind == "counters":
                counters = event
    return records, counts, counters


# ---------------------------------------------------------------------------
# Analysis


def cpu_over(samples, start, end, clk_tck):
    """(ticks, seconds, CPU % of one core) between the first sample after
    start and the last before end; None when the window holds too few."""
    inside = [s for s in samples if start + 0.05 <= s[0] <= end]
    if len(inside) < 2 or inside[-1][0] - inside[0][0] < 0.5:
        return None
    ticks = inside[-1][2] - inside[0][2]
    seconds = inside[-1][0] - inside[0][0]
    return ticks, seconds, 100.0 * ticks / clk_tck / seconds


def analyse(args, result, logs):
    failures = []
    fail = failures.append
    cycles, dead = parse_sim_events(logs["sim"])
    records, counts, counters = parse_host_log(logs["host"])
    samples, clk, status = result["samples"], result["clk_tck"], result.get("host_status")

    # --- how the programs ended
    if result.get("host_hung"):
        fail("halx-host did not end within 20 s of SIGTERM")
    if status != 0:
        how = "signal %d" % -status if status is not None and status < 0 else "status %s" % status
        fail("halx-host ended with %s" % how)
    if counters is None:
        fail("halx-host wrote no counters line at exit")
    if result.get("timeout"):
        fail("the soak made no progress or ran past its time limit")
    if not result.get("sim_alive_at_end", False):
        fail("ups-sim ended before halx-host (status %s)" % result.get("sim_status"))
    with open(logs["host_err"], errors="replace") as f:
        thrown = [line.strip() for line in f if " threw: " in line]
    if thrown:
        fail("an exception reached halx-host: " + thrown[0])
    cycles_run = counts["tx MNU"]
    if cycles_run < args.cycles:
        fail("only %d of %d cycles ran" % (cycles_run, args.cycles))
    # Every cycle halx-host starts reaches this simulator, but for the one or
    # two started while a cable pull was under way.
    lost_starts = cycles_run - len(cycles)
    if lost_starts > 2 * len(dead["closed"]) + 2:
        fail("%d of halx-host's cycles never reached ups-sim (%d cable pulls)"
             % (lost_starts, len(dead["closed"])))

    # --- records to simulator cycles, by epoch, in order
    by_epoch = defaultdict(list)
    for c in cycles:
        if c.epoch is None:
            fail("simulator cycle %d has no epoch" % c.index)
            continue
        if c.reply_epochs and c.reply_epochs != {c.epoch}:
            fail("simulator cycle %d: replies of epochs %s, script said %d"
                 % (c.index, sorted(c.reply_epochs), c.epoch))
        if c.ver_answered:
            by_epoch[c.epoch].append(c)
    mixed = records.count(None)
    faulty = []
    extra = []
    for epoch in (e for e in records if e is not None):
        if not by_epoch[epoch]:
            extra.append(epoch)
            continue
        c = by_epoch[epoch].pop(0)
        c.record = epoch
        if c.category() == "must abandon":
            faulty.append(c)
    if mixed:
        fail("%d records mix replies of different cycles" % mixed)
    if faulty:
        c = faulty[0]
        fail("%d records for cycles that had to be abandoned, e.g. epoch %d (dropped %d, "
             "truncated %d, wrong address %d, closed %s)"
             % (len(faulty), c.epoch, c.dropped, c.truncated, c.wrong_address, c.closed))
    if extra:
        fail("%d records more than the simulator's answered cycles, e.g. epoch %d"
             % (len(extra), extra[0]))

    # --- every clean cycle completes; the first clean one after each fault
    considered = [c for c in cycles if not c.cut]
    by_category = defaultdict(list)
    for c in considered:
        by_category[c.category()].append(c)
    clean, may = by_category["clean"], by_category["may complete"]
    missed = [c for c in clean if c.record is None]
    if missed:
        c = missed[0]
        fail("%d clean cycles did not complete, e.g. simulator cycle %d (epoch %s, queries %s)"
             % (len(missed), c.index, c.epoch, " ".join(c.queries)))
    first_cycle = {}
    for c in cycles:
        first_cycle.setdefault(c.epoch, c.index)
    injected = Counter()
    unrecovered = []
    for p in (p for p in result["plan"] if p["epoch"] in first_cycle):
        after = next((c for c in cycles[first_cycle[p["epoch"]]:]
                      if c.category() == "clean" and not c.cut), None)
        if after is not None:
            injected[p["kind"]] += 1
            if after.record is None:
                unrecovered.append(p)
    faults = sum(injected.values())
    recovered = faults - len(unrecovered)
    if unrecovered:
        fail("%d faults not recovered from within one clean cycle, e.g. %s at epoch %d"
             % (len(unrecovered), unrecovered[0]["kind"], unrecovered[0]["epoch"]))

    # --- memory and descriptors after the warm-up
    warm = max(30, args.cycles // 10)
    after_warm = [s for s in samples if s[1] >= warm]
    rss = fds = None
    if len(after_warm) >= 2:
        rss = (after_warm[0][3], after_warm[-1][3], max(s[3] for s in after_warm))
        half = len(after_warm) // 2
        first_peak = max(s[3] for s in after_warm[:half + 1])
        second_peak = max(s[3] for s in after_warm[half:])
        if rss[1] - rss[0] > RSS_TOLERANCE_KIB:
            fail("VmRSS grew from %d KiB to %d KiB (limit +%d KiB)"
                 % (rss[0], rss[1], RSS_TOLERANCE_KIB))
        if second_peak - first_peak > RSS_TOLERANCE_KIB:
            fail("VmRSS peak rose from %d KiB (first half) to %d KiB (second half)"
                 % (first_peak, second_peak))
        # Descriptors: samples taken while the line was up (the port is
        # closed for a while after each cable pull).
        up = [s for s in after_warm
              if not any(a - 0.2 <= s[0] <= b + 2 * args.reopen_interval + 0.5
                         for a, b in dead["closed"])]
        if len(up) >= 2:
            fds = (up[0][4], up[-1][4])
            peak = max(s[4] for s in after_warm)
            if fds[1] != fds[0] or peak > fds[0]:
                fail("open descriptors went from %d to %d (peak %d)" % (fds + (peak,)))
        else:
            fail("too few samples to compare descriptors")
    else:
        fail("too few samples after the warm-up of %d cycles" % warm)

    # --- CPU while the line is dead
    windows = defaultdict(list)  # kind -> (ticks, seconds, %)
    for kind in ("silence", "closed"):
        for a, b in dead[kind]:
            cpu = cpu_over(samples, a, b, clk)
            if cpu is not None:
                windows[kind].append(cpu)
    every = windows["silence"] + windows["closed"]
    dead_seconds = sum(w[1] for w in every)
    dead_cpu = 100.0 * sum(w[0] for w in every) / clk / dead_seconds if every else None
    if not every:
        fail("no dead-line window was measured")
    elif dead_cpu > CPU_DEAD_LIMIT:
        fail("CPU while the line was dead: %.2f %% of one core (limit %.1f %%)"
             % (dead_cpu, CPU_DEAD_LIMIT))
    worst = max(((w, k) for k, ws in windows.items() for w in ws), default=None)
    if worst and worst[0][2] > CPU_DEAD_WINDOW_LIMIT:
        fail("CPU in one dead window (%s, %.1f s): %.2f %%" % (worst[1], worst[0][1], worst[0][2]))

    def cpu_text(kind):
        ws = windows[kind]
        if not ws:
            return "%s: none" % kind
        seconds = sum(w[1] for w in ws)
        return "%s %.2f %% over %.1f s in %d windows" % (
            kind, 100.0 * sum(w[0] for w in ws) / clk / seconds, seconds, len(ws))

    # --- summary
    percent = 100.0 * recovered / faults if faults else 0
    out = ["soak: halx-host %s" % " ".join(result["host_cmd"][1:]),
           "  against ups-sim --script %s --seed %d (unpaced), %.0f s"
           % (os.path.join(args.out, "scenario.ups"), args.seed, result["elapsed"]),
           "cycles run:        %d (halx-host RefreshStatus), %d simulator cycles"
           % (cycles_run, len(cycles)),
           "faults injected:   %d (%s)" % (faults, ", ".join(
               "%s %d" % (k, injected[k]) for k in KINDS if injected[k])),
           "  fault cycles:    %d must abandon, %d may complete (noise); %d clean cycles"
           % (len(by_category["must abandon"]), len(may), len(clean)),
           "recoveries:        %d of %d (%.1f %%): the first clean cycle after the fault "
           "completed" % (recovered, faults, percent),
           "records:           %d reported: %d for clean cycles, %d for noise cycles (of %d: "
           "bytes skipped or dropped around an intact reply), %d for must-abandon cycles, "
           "%d mixed, %d unmatched"
           % (len(records), len(clean) - len(missed), len([c for c in may if c.record is not None]),
              len(may), len(faulty), mixed, len(extra)),
           "halx-host events:  %d resets by the plug-in, %d by the host (%d stalls), "
           "%d ports lost, %d reopened"
           % (counts["reset"], counts["reset by host"], (counters or {}).get("stalls", 0),
              counts["link lost"], counts["link reopened"]),
           "  after its own Reset the plug-in carried on %d times (a later complete reply "
           "decoded in the state it had)" % counts["carried on"]]
    if rss:
        out.append("VmRSS:             %d KiB after %d warm-up cycles, %d KiB at the end "
                   "(peak %d KiB; limit +%d KiB)"
                   % (rss[0], warm, rss[1], rss[2], RSS_TOLERANCE_KIB))
    if fds:
        out.append("open descriptors:  %d after warm-up, %d at the end" % fds)
    if dead_cpu is not None:
        out.append("CPU, line dead:    %.2f %% of one core over %.1f s (%s; %s; limit %.1f %%)"
                   % (dead_cpu, dead_seconds, cpu_text("silence"), cpu_text("closed"),
                      CPU_DEAD_LIMIT))
    if len(samples) >= 2:
        ticks, wall = samples[-1][2] - samples[0][2], samples[-1][0] - samples[0][0]
        out.append("CPU, whole run:    %.2f %% of one core (%.1f s over %.0f s)"
                   % (100.0 * ticks / clk / wall, ticks / clk, wall))
    out.append("exit:              halx-host status %s after SIGTERM" % status)
    if dead["ignored"]:
        out.append("note: %d reads ignored by ups-sim while hanging up" % len(dead["ignored"]))
    out += ["FAILED: " + f for f in failures]
    out.append("summary: %d cycles, %d faults, %d recovered (%.1f %%), %d records for faulty "
               "cycles, RSS %s->%s KiB, fds %s->%s, dead-line CPU %s"
               % (cycles_run, faults, recovered, percent, len(faulty) + mixed + len(extra),
                  rss and rss[0], rss and rss[1], fds and fds[0], fds and fds[1],
                  "%.2f %%" % dead_cpu if dead_cpu is not None else "n/a"))
    out.append("soak: %s" % ("FAIL" if failures else "PASS"))
    text = "\n".join(out)
    print(text)
    with open(os.path.join(args.out, "summary.txt"), "w") as f:
        f.write(text + "\n")
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, usage=argparse.SUPPRESS,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cycles", type=int, default=10000)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", default="build/tools")
    parser.add_argument("--no-build", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--analyse", action="store_true")
    parser.add_argument("--interval", type=float, default=0.02)
    parser.add_argument("--reply-timeout", type=float, default=0.2)
    parser.add_argument("--reopen-interval", type=float, default=0.25)
    args = parser.parse_args()
    os.chdir(ROOT)
    if args.quick:
        args.cycles = 300
    args.out = args.out or os.path.join(args.build_dir, "soak-run")
    args.halx_host = os.path.join(args.build_dir, "tools/halx-host/halx-host")
    args.ups_sim = os.path.join(args.build_dir, "tools/sim/ups-sim")
    args.plugin = os.path.join(args.build_dir, "deltanhnt.so")
    os.makedirs(args.out, exist_ok=True)
    logs = {name: os.path.join(args.out, file) for name, file in
            (("sim", "ups-sim.jsonl"), ("host", "halx-host.jsonl"), ("host_err", "halx-host.err"))}
    if args.analyse:
        with open(os.path.join(args.out, "run.json")) as f:
            result = json.load(f)
    else:
        if not args.no_build:
            subprocess.run(["scripts/build-tools.sh", args.build_dir], check=True)
        result = run(args, logs)
    return 0 if analyse(args, result, logs) else 1


if __name__ == "__main__":
    sys.exit(main())
