#!/usr/bin/env python3
"""Checks that a built plug-in loads on the units in the field.

usage: check-load-compat.py [--abi c++11|old] PLUGIN...

A unit's loader refuses a library that needs a symbol version its C or C++
runtime lacks ("version `GLIBC_2.32' not found"), and a host built with the
other std::string ABI leaves the plug-in's string symbols undefined.  The
baseline is what the oldest supported units provide:

  --abi c++11 (default)  GCC 5 and glibc 2.17: GLIBC_2.17, GLIBCXX_3.4.21,
                         CXXABI_1.3.9; the C++11 std::string
  --abi old              GCC 4.8 and glibc 2.17: GLIBC_2.17, GLIBCXX_3.4.19,
                         CXXABI_1.3.7; the copy-on-write std::string
                         (_GLIBCXX_USE_CXX11_ABI=0)

and, for both, GCC_4.8.0 from libgcc_s, and NEEDED limited to the C and C++
runtimes and the host's JSON library (libjsoncpp).

Prints one line per symbol, needed version or library above the baseline and
exits 1; otherwise one line with the highest version of each family.
"""
import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
import elfinfo  # noqa: E402

BASELINES = {
    "c++11": {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 21), "CXXABI": (1, 3, 9), "GCC": (4, 8, 0)},
    "old": {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7), "GCC": (4, 8, 0)},
}
ABI_NAMES = {"c++11": "C++11", "old": "old"}
# The C runtime (glibc before 2.34 kept parts of it in these), the C++
# runtime, and the JSON library the host hands its settings in.
ALLOWED_NEEDED = re.compile(
    r"^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|"
    r"libgcc_s\.so\.1|libstdc\+\+\.so\.6|libjsoncpp\.so\.\d+)$")
FAMILY_ORDER = ["GLIBC", "GLIBCXX", "CXXABI", "GCC"]


def check(path, abi):
    baseline = BASELINES[abi]
    elf = elfinfo.SharedObject(path)
    problems = []

    # Symbols above the baseline, each with the version it pulled in.
    above = [s for s in elf.symbols
             if s.version and not s.defined
             and elfinfo.version_key(s.version)[0] in baseline
             and elfinfo.version_key(s.version)[1] > baseline[elfinfo.version_key(s.version)[0]]]
    for symbol, readable in zip(above, elfinfo.demangle([s.name for s in above])):
        family, _ = elfinfo.version_key(symbol.version)
        shown = symbol.name if readable == symbol.name else f"{symbol.name} ({readable})"
        problems.append(f"{path}: {shown} needs {symbol.version}, above the baseline "
                        f"{elfinfo.format_version(family, baseline[family])}")
    # A needed version no symbol accounts for fails the load just the same.
    by_symbols = {s.version for s in above}
    for library, versions in elf.version_needs.items():
        for version in versions:
            family, number = elfinfo.version_key(version)
            if family in baseline and number > baseline[family] and version not in by_symbols:
                problems.append(f"{path}: needs {version} from {library}, above the baseline "
                                f"{elfinfo.format_version(family, baseline[family])}")

    for library in elf.needed():
        if not ALLOWED_NEEDED.match(library):
            problems.append(f"{path}: NEEDED {library} is neither the C or C++ runtime nor the "
                            "host's JSON library")

    # Every std::string in the interface in the build's ABI.
    names = [s.name for s in elf.symbols if s.name.startswith("_Z")]
    for name, readable in zip(names, elfinfo.demangle(names)):
        cxx11 = "std::__cxx11::" in readable or "[abi:cxx11]" in readable
        old = not cxx11 and ("std::string" in readable or "std::basic_string" in readable)
        if (abi == "old" and cxx11) or (abi == "c++11" and old):
            problems.append(f"{path}: {name} ({readable}) has the "
                            f"{'C++11' if cxx11 else 'old'} std::string; the baseline has the "
                            f"{ABI_NAMES[abi]} one")

    if problems:
        return problems, None

    highest = {}
    for per_family in elf.highest_versions().values():
        for family, number in per_family.items():
            if family not in highest or number > highest[family]:
                highest[family] = number
    parts = []
    for family in sorted(highest, key=lambda f: (FAMILY_ORDER + [f]).index(f)):
        limit = baseline.get(family)
        bound = f" (<= {'.'.join(map(str, limit))})" if limit else ""
        parts.append(elfinfo.format_version(family, highest[family]) + bound)
    found_abi = elf.string_abi()
    abi_text = f"{found_abi} string ABI" if found_abi else "no std::string in the interface"
    return [], (f"load compatibility OK: {path}, {abi_text}: {', '.join(parts)}; "
                f"NEEDED {' '.join(elf.needed())}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--abi", choices=sorted(BASELINES), default="c++11")
    parser.add_argument("plugins", nargs="+", metavar="PLUGIN")
    args = parser.parse_args()
    failed = False
    for path in args.plugins:
        try:
            problems, summary = check(path, args.abi)
        except (OSError, RuntimeError) as error:
            problems, summary = [f"{path}: {error}"], None
        for line in problems:
            print(line)
        if problems:
            print(f"load compatibility FAILED: {path}: {len(problems)} above the "
                  f"{args.abi} baseline")
            failed = True
        else:
            print(summary)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
