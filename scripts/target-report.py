#!/usr/bin/env python3
"""Prints what a unit's loader and an integrator need to know of each built
plug-in: ELF class and machine, ISA and float ABI, NEEDED, the highest
version required from each versioned library, the std::string ABI, the
stripped size and the exported symbols.

usage: target-report.py [PLUGIN...]
       (default: deltanhnt.so of every build under build/ that has one)

The stripped size is the file's when it has no symbol table left (the build
strips the plug-in and keeps its debug information in deltanhnt.so.debug);
otherwise that of a copy stripped with STRIP, <target prefix>strip or
llvm-strip.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import elfinfo  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STRIPS = {"MIPS R3000": ["mipsel-linux-gnu-strip", "llvm-strip"]}
FAMILY_ORDER = ["GLIBC", "GLIBCXX", "CXXABI", "GCC"]


def isa_and_float(path):
    """The ISA and float ABI lines of readelf -A (MIPS ABI flags); the ELF
    header's flags where there are none."""
    text = elfinfo.readelf(path, "-A")
    fields = {}
    for line in text.splitlines():
        key, sep, value = line.strip().partition(":")
        if sep and key in ("ISA", "FP ABI", "ISA Extension", "GPR size"):
            fields.setdefault(key, value.strip())
    if fields:
        return f"{fields.get('ISA', '?')}, GPR {fields.get('GPR size', '?')}-bit, " \
               f"FP ABI: {fields.get('FP ABI', '?')}, extension: {fields.get('ISA Extension', '?')}"
    return "no ISA or float ABI attributes (readelf -A shows none)"


def stripped_size(path, elf):
    if ".symtab" not in elf.sections and not any(s.startswith(".debug_") for s in elf.sections):
        return os.path.getsize(path), "as built"
    candidates = [os.environ["STRIP"]] if os.environ.get("STRIP") else []
    candidates += STRIPS.get(elf.header.get("Machine", ""), ["strip"])
    for tool in candidates:
        if shutil.which(tool):
            with tempfile.TemporaryDirectory() as scratch:
                copy = os.path.join(scratch, "deltanhnt.so")
                shutil.copyfile(path, copy)
                subprocess.run([tool, copy], check=True)
                return os.path.getsize(copy), f"stripped copy ({tool})"
    return None, "no strip for this machine"


def report(path):
    elf = elfinfo.SharedObject(path)
    header = elf.header
    flags = header.get("Flags", "")
    flag_text = re.sub(r"^0x[0-9a-f]+,?\s*", "", flags)
    lines = [path]
    lines.append(f"  ELF            {header.get('Class', '?')}, {header.get('Data', '?')}, "
                 f"{header.get('Type', '?')}")
    lines.append(f"  machine        {header.get('Machine', '?')}"
                 + (f"; flags {flags.split(',')[0]}: {flag_text}" if flag_text else ""))
    lines.append(f"  ISA and float  {isa_and_float(path)}")
    lines.append(f"  SONAME         {' '.join(elf.tag('SONAME')) or '(none)'}; run path: "
                 f"{' '.join(elf.tag('RUNPATH') + elf.tag('RPATH')) or 'none'}")
    lines.append(f"  NEEDED         {' '.join(elf.needed())}")
    highest = elf.highest_versions()
    for library in elf.needed():
        if library in highest:
            per_family = highest[library]
            versions = ", ".join(elfinfo.format_version(f, per_family[f])
                                 for f in sorted(per_family, key=lambda f: (FAMILY_ORDER + [f]).index(f)))
            lines.append(f"    highest from {library:<16} {versions}")
        else:
            lines.append(f"    highest from {library:<16} (unversioned)")
    abi = elf.string_abi()
    abi_text = {"C++11": "C++11 (std::__cxx11::basic_string)",
                "old": "old (copy-on-write std::string, _GLIBCXX_USE_CXX11_ABI=0)"}.get(
        abi, "none in the interface")
    lines.append(f"  string ABI     {abi_text}")
    size, how = stripped_size(path, elf)
    size_text = f"{size} bytes ({size / 1024:.1f} KiB), {how}" if size is not None else how
    lines.append(f"  stripped size  {size_text}")
    exports = elf.exports()
    only = " (the only export)" if exports == ["get_providers"] else ""
    lines.append(f"  exports        {' '.join(exports) or '(none)'}{only}")
    return lines, exports == ["get_providers"]


def main():
    paths = sys.argv[1:]
    if not paths:
        paths = sorted(glob.glob(os.path.join(ROOT, "build", "*", "deltanhnt.so")))
        if not paths:
            print("target-report: no build/*/deltanhnt.so; name the plug-ins", file=sys.stderr)
            return 2
    status = 0
    for index, path in enumerate(paths):
        if index:
            print()
        try:
            lines, only_entry = report(os.path.relpath(path) if os.path.isabs(path) else path)
        except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
            print(f"{path}: {error}")
            status = 1
            continue
        print("\n".join(lines))
        if not only_entry:
            print(f"  FAILED: {path} exports more than get_providers")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
