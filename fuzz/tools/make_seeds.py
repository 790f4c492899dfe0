#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: fuzz/corpus/<target>/.

The reassembly seeds are healthy and faulty poll cycles in the target's input
layout (see fuzz/targets/reassembly_fuzz.cpp): chunk sizes, RefreshStatus
positions, then the bytes the UPS sends.  The settings seeds are settings
objects as the monitoring unit hands them over.

usage: fuzz/tools/make_seeds.py      (rewrites both folders)
"""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "..", "corpus")

PAYLOADS = [
    b"DELTA",
    b"NH-PLUS 20K",
    b"220;500;220;500;20000;16000;1;3;3;1;1;1;1;2;240;2400;2200;1800;1500;1200;1000",
    b"0;0;0;0;120;100;2712;0;25;0",
    b"1;500;2205;123;2700;499;2210;120;2650;501;2198;118",
    b"0;500;1;2200;115;2530;45;2201;116;2540;46;2199;114;2520;44",
    b"500;1;2205;10;220;2206;11;230;2207;12;240",
    b"0;1;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;0",
    b"V1.23",
]


def reply(payload, length=None):
    if length is None:
        length = b"%03d" % len(payload)
    return b"~00D" + length + payload


def cycle(payloads=PAYLOADS):
    return b"".join(reply(p) for p in payloads)


def seed(sizes, refresh_chunks, stream):
    """sizes: chunk sizes 1..64; refresh_chunks: chunk indices (ascending)."""
    steps, last = [], 0
    for at in refresh_chunks:
        steps.append(at - last)
        last = at
    head = bytes([len(sizes) - 1, len(steps)]) + bytes(s - 1 for s in sizes)
    head += b"".join(struct.pack("<H", s) for s in steps)
    return head + stream


def byte_cycles(cycles):
    """One byte per chunk, RefreshStatus before each cycle."""
    stream, starts = b"", []
    for c in cycles:
        starts.append(len(stream))
        stream += c
    return seed([1], starts, stream)


def reassembly_seeds():
    healthy = cycle()
    s = {}
    s["healthy_cycle_whole_replies"] = seed([64], [0], healthy)
    s["healthy_cycle_byte_by_byte"] = byte_cycles([healthy])
    s["healthy_cycle_odd_chunks"] = seed([3, 7, 1, 64, 13, 2], [0], healthy)
    s["three_cycles"] = byte_cycles([healthy, healthy, healthy])
    s["noise_between_replies"] = byte_cycles([b"\r\n\x00xx".join(reply(p) for p in PAYLOADS)])
    s["trailer_after_each_reply"] = seed([64], [0], b"".join(reply(p) + b"\r\n" for p in PAYLOADS))
    s["two_replies_in_one_chunk"] = seed([64], [0], reply(b"DELTA") + reply(b"NH") + cycle()[12:])
    s["not_delta"] = byte_cycles([reply(b"DELT") + reply(b"X"), healthy])
    s["lower_case_delta"] = byte_cycles([reply(b"delta UPS"), healthy])
    s["bad_address"] = byte_cycles([b"~01D005DELTA", healthy])
    s["bad_frame_type"] = byte_cycles([b"~00P003MNU", healthy])
    s["length_letters"] = byte_cycles([b"~00Dabc", healthy])
    s["length_blank_and_semicolon"] = byte_cycles(
        [reply(b"DELTA;;;;;;;", b" 12") + reply(b"NH-PLUS 20K;", b"12;"), healthy])
    s["length_negative"] = byte_cycles([b"~00D-05DELTA", b"~00D-99", healthy])
    s["length_plus_sign"] = byte_cycles([reply(b"DELTA", b"+05") + cycle()[12:]])
    s["length_999_never_completes"] = byte_cycles([b"~00D999" + b"A" * 200, healthy])
    s["empty_payloads"] = byte_cycles([reply(b"DELTA") + b"".join(reply(b"") for _ in range(8))])
    s["short_and_long_field_lists"] = byte_cycles([cycle([
        b"DELTA", b"", b"1;2", b"0;0;0;0;120;100;2712;0;25;0;7;8;9",
        b";;;;;;;;;;;;;;;;;;;", b"1;2;3", b"0;1;2;3;4;5;6;7;8;9;10;11;12",
        b"1;;1", b"V" * 20])])
    s["numbers_at_the_edges"] = byte_cycles([cycle([
        b"DELTA", b"NH", b"2147483647;2147483648;-2147483648;-2147483649;99999999999;"
        b"-;+; 12; -15;12abc;0x10;1e3;300;-1;255;256;511;2305;-15;12.7;",
        b"300;-1;255;4294967296;1;2;3;4;5;6", b"1;2;3", b"1", b"1",
        b"255;-1;511;257;1;0;;1", b"\x00V1"])])
    s["version_twice"] = byte_cycles([healthy + reply(b"V2")])
    s["refresh_mid_cycle"] = byte_cycles([cycle()[:150], healthy])
    s["before_first_refresh"] = seed([64], [5], healthy + healthy)
    s["fills_the_buffer"] = seed([64], [0], b"~00D999" + b"x" * 4200 + healthy)
    s["half_reply_then_quiet"] = byte_cycles([healthy + b"~00D0"])
    return s


def settings_seeds():
    s = {}
    s["empty_object"] = {}
    s["device_type"] = {"appSetting": {"type": "deltanhnt"}}
    s["mode_number"] = {"appSetting": {"b_mode": 1}}
    s["mode3_text"] = {"appSetting": {"b_mode": "3"}}
    s["mode3_letters"] = {"appSetting": {"b_mode": "3abc"}}
    s["mode3_thresholds"] = {
        "appSetting": {"b_mode": 3, "type": "deltanhnt"},
        "thresholdSetting": {
            "deltaNHNT_0": {"SignalName": "TmpFault", "NMAlarmID": "2A1460201", "ID": 1,
                            "SignalNumber": 7},
            "deltaNHNT_1": {"NMAlarmID": "A", "SignalNumber": 7},
            "BattryVlt": {"SignalName": "BattryVlt", "ID": "2", "SignalNumber": None},
            "plain": 5,
        },
    }
    s["mode3_array_threshold"] = {"appSetting": {"b_mode": 3},
                                  "thresholdSetting": [{"ID": 1}, 2]}
    s["type_is_array"] = {"appSetting": {"type": ["a"]}}
    s["mode_is_object"] = {"appSetting": {"b_mode": {"x": 3}}}
    s["app_not_object"] = {"appSetting": "3", "thresholdSetting": {}}
    s["mode_huge"] = {"appSetting": {"b_mode": 99999999999}}
    s["mode_float"] = {"appSetting": {"b_mode": 3.5}}
    out = {k: json.dumps(v).encode() for k, v in s.items()}
    out["not_an_object"] = b"[1, 2, 3]"
    out["comments"] = b'// unit settings\n{"appSetting": {"b_mode": 3 /* mode */}}'
    return out


def write(folder, seeds):
    path = os.path.join(CORPUS, folder)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        if not name.startswith("."):
            os.remove(os.path.join(path, name))
    for name, data in sorted(seeds.items()):
        with open(os.path.join(path, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("reassembly", reassembly_seeds())
    write("settings", settings_seeds())
