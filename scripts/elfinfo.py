"""What a dynamic loader sees of a shared object, read with GNU readelf.

GNU readelf reads ELF files of every machine, so one tool serves the PC
build, the mipsel builds and whatever an integrator's SDK produces.  The
READELF environment variable names another readelf.

Used by scripts/check-load-compat.py and scripts/target-report.py.
"""
import os
import re
import subprocess


def readelf(path, *options):
    tool = os.environ.get("READELF", "readelf")
    result = subprocess.run([tool, "-W", *options, path], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{tool} {' '.join(options)} {path}: {result.stderr.strip()}")
    return result.stdout


def version_key(version):
    """GLIBCXX_3.4.21 -> ("GLIBCXX", (3, 4, 21)); GCC_4.8.0 -> ("GCC", (4, 8, 0))."""
    family, _, number = version.partition("_")
    return family, tuple(int(part) for part in re.findall(r"\d+", number))


def format_version(family, number):
    return f"{family}_{'.'.join(str(n) for n in number)}"


class DynamicSymbol:
    def __init__(self, name, version, defined, bind, kind):
        self.name = name
        self.version = version  # "GLIBC_2.17" or "" (unversioned)
        self.defined = defined
        self.bind = bind
        self.kind = kind


class SharedObject:
    def __init__(self, path):
        self.path = path
        self.header = self._header()
        self.dynamic = self._dynamic()
        self.symbols = self._symbols()
        self.version_needs = self._version_needs()
        self.sections = self._sections()

    def _header(self):
        fields = {}
        for line in readelf(self.path, "-h").splitlines():
            key, sep, value = line.strip().partition(":")
            if sep:
                fields[key.strip()] = value.strip()
        return fields

    def _dynamic(self):
        entries = []
        for line in readelf(self.path, "-d").splitlines():
            match = re.match(r"\s*0x[0-9a-f]+ \((\w+)\)\s+(.*)", line)
            if match:
                value = match.group(2)
                bracket = re.search(r"\[(.*)\]", value)
                entries.append((match.group(1), bracket.group(1) if bracket else value))
        return entries

    def _symbols(self):
        symbols = []
        for line in readelf(self.path, "--dyn-syms").splitlines():
            fields = line.split()
            # Num: Value Size Type Bind Vis Ndx Name [(version index)]
            if len(fields) < 8 or not fields[0].endswith(":") or not fields[0][:-1].isdigit():
                continue
            kind, bind, ndx, name = fields[3], fields[4], fields[6], fields[7]
            if kind == "SECTION" or not name:
                continue
            version = ""
            if "@" in name:
                name, _, version = name.partition("@")
                version = version.lstrip("@")
            symbols.append(DynamicSymbol(name, version, ndx != "UND", bind, kind))
        return symbols

    def _version_needs(self):
        """{library: [version, ...]} from .gnu.version_r."""
        needs = {}
        current = None
        in_needs = False
        for line in readelf(self.path, "-V").splitlines():
            if line.startswith("Version needs section"):
                in_needs = True
                continue
            if line.startswith("Version ") and "section" in line:
                in_needs = False
            if not in_needs:
                continue
            file_match = re.search(r"File: (\S+)", line)
            if file_match:
                current = file_match.group(1)
                needs.setdefault(current, [])
                continue
            name_match = re.search(r"Name: (\S+)", line)
            if name_match and current is not None:
                needs[current].append(name_match.group(1))
        return needs

    def _sections(self):
        names = []
        for line in readelf(self.path, "-S").splitlines():
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if match:
                names.append(match.group(1))
        return names

    def needed(self):
        return [value for tag, value in self.dynamic if tag == "NEEDED"]

    def tag(self, name):
        return [value for tag, value in self.dynamic if tag == name]

    def exports(self):
        return sorted(s.name for s in self.symbols
                      if s.defined and s.bind in ("GLOBAL", "WEAK", "UNIQUE"))

    def highest_versions(self):
        """{library: {family: highest version}} of the versions it needs."""
        highest = {}
        for library, versions in self.version_needs.items():
            per_family = highest.setdefault(library, {})
            for version in versions:
                family, number = version_key(version)
                if family not in per_family or number > per_family[family]:
                    per_family[family] = number
        return highest

    def string_abi(self):
        """"C++11" when std::__cxx11 names appear, "old" for the copy-on-write
        std::string, "" when the interface has no std::string."""
        demangled = demangle([s.name for s in self.symbols if s.name.startswith("_Z")])
        if any("std::__cxx11::" in n or "[abi:cxx11]" in n for n in demangled):
            return "C++11"
        if any("std::string" in n or "std::basic_string" in n for n in demangled):
            return "old"
        return ""


def demangle(names):
    if not names:
        return []
    result = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True)
    lines = result.stdout.splitlines()
    return lines if result.returncode == 0 and len(lines) == len(names) else list(names)
