#!/usr/bin/env python3
"""Counts the guest instructions that qemu-user executed, from its log.

usage: qemu_insn_count.py LOG

LOG is what `qemu-<arch> -d in_asm,exec,nochain -D LOG prog` writes: every
translated block's instructions ("IN:" then one "0x<addr>:" line each) and,
with block chaining off, one "Trace" line per executed block.  A block is
logged at translation, right before it first runs, so the Trace line after an
"IN:" block names (by its host address) the block just listed.  The count is
the sum of the instructions of every executed block; it is exact as long as
no block stops half-way (a fault inside a block), which a plain run of the
footprint driver does not do.
"""
import sys


def count(path):
    sizes = {}  # host address of a translated block -> its instructions
    pending = None  # instructions of the block just listed, not yet run
    listing = False
    total = 0
    with open(path, "r", errors="replace") as log:
        for line in log:
            if line.startswith("Trace "):
                listing = False
                host = line.split()[2]
                if pending is not None:
                    sizes[host] = pending
                    pending = None
                total += sizes.get(host, 0)
            elif line.startswith("IN:"):
                listing = True
                pending = 0
            elif listing and line.startswith("0x"):
                pending += 1
            elif not line.strip() or line.startswith("---"):
                listing = False
    return total


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(count(sys.argv[1]))
