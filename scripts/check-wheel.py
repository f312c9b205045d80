"""Checks that a built wheel holds what its manylinux_2_17 tag promises.

    python scripts/check-wheel.py WHEEL [--max-glibc 2.17]

The extension may need only glibc's own libraries, and of them no symbol
version newer than the tag's glibc: a dependency on libstdc++.so or
libgcc_s.so (whose versions differ between distributions), or on a newer
glibc symbol, fails here rather than on a user's older system. The
extension must be stripped and the wheel small. When `auditwheel` is on
PATH, its own verdict must name the tag too. Prints what it found; exits 1
with every problem listed otherwise. Needs binutils' readelf (it reads any
architecture's ELF files, so a cross-built wheel is checked the same way).
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

MAX_WHEEL_BYTES = 5 * 1024 * 1024
MACHINES = {"x86_64": "X86-64", "aarch64": "AArch64"}
LOADERS = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}


def readelf(*args: str) -> str:
    return subprocess.run(["readelf", "--wide", *args], check=True, capture_output=True, text=True).stdout


def needed(so: Path) -> list[str]:
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", str(so)))


def version_needs(so: Path) -> set[tuple[str, str]]:
    """(library, version) of every versioned symbol the extension imports."""
    pairs = set()
    library = ""
    for line in readelf("-V", str(so)).splitlines():
        if m := re.search(r"File: (\S+)", line):
            library = m[1]
        elif m := re.search(r"Name: (\S+)", line):
            pairs.add((library, m[1]))
    return pairs


def problems_of(so: Path, arch: str, max_glibc: tuple[int, int]) -> list[str]:
    problems = []
    if MACHINES[arch] not in readelf("-h", str(so)):
        problems.append(f"{so.name} is not an {arch} ELF file")
    allowed = GLIBC_LIBRARIES | {LOADERS[arch]}
    problems += [f"needs {lib}, which is not part of glibc" for lib in needed(so) if lib not in allowed]
    for library, version in sorted(version_needs(so)):
        m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version)
        if m is None:
            problems.append(f"needs symbol version {version} of {library}, which is not glibc's")
        elif (int(m[1]), int(m[2])) > max_glibc:
            problems.append(f"needs {version} of {library}, newer than glibc {max_glibc[0]}.{max_glibc[1]}")
    sections = set(re.findall(r"\]\s+(\.\S+)", readelf("-S", str(so))))
    if ".symtab" in sections or any(s.startswith(".debug") for s in sections):
        problems.append(f"{so.name} is not stripped")
    return problems


def auditwheel_problems(wheel: Path, tag: str) -> list[str]:
    if shutil.which("auditwheel") is None:
        return []
    shown = subprocess.run(["auditwheel", "show", str(wheel)], capture_output=True, text=True)
    verdict = " ".join(shown.stdout.split())
    if shown.returncode != 0 or f'consistent with the following platform tag: "{tag}"' not in verdict:
        return [f"auditwheel show does not confirm {tag}: {verdict or shown.stderr.strip()}"]
    return []


def check(wheel: Path, max_glibc: tuple[int, int]) -> list[str]:
    m = re.search(r"[-.]manylinux_(\d+)_(\d+)_(x86_64|aarch64)\.", wheel.name)
    if m is None:
        return [f"{wheel.name} has no manylinux tag for x86_64 or aarch64"]
    arch, tag = m[3], f"manylinux_{m[1]}_{m[2]}_{m[3]}"
    problems = []
    if (int(m[1]), int(m[2])) != max_glibc:
        problems.append(f"{wheel.name} claims glibc {m[1]}.{m[2]}, not {max_glibc[0]}.{max_glibc[1]}")
    if wheel.stat().st_size > MAX_WHEEL_BYTES:
        problems.append(f"{wheel.name} is {wheel.stat().st_size} bytes, over {MAX_WHEEL_BYTES}")
    with zipfile.ZipFile(wheel) as z, tempfile.TemporaryDirectory() as tmp:
        names = [n for n in z.namelist() if n.endswith(".so")]
        # Cross-compiled, CMake cannot learn the target's SOABI and names
        # the extension _orvan.so, a suffix CPython loads as well.
        if len(names) != 1 or names[0] not in (f"orvan/_orvan.cpython-313-{arch}-linux-gnu.so", "orvan/_orvan.so"):
            return problems + [f"expected the one extension for {arch}, found {names}"]
        so = Path(z.extract(names[0], tmp))
        problems += problems_of(so, arch, max_glibc)
        print(f"{wheel.name}: {wheel.stat().st_size} bytes; {names[0]} needs "
              f"{', '.join(needed(so))}; newest symbol version "
              f"{max((v for _, v in version_needs(so)), key=_version_key, default='none')}")
    return problems + auditwheel_problems(wheel, tag)


def _version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in re.findall(r"\d+", version))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--max-glibc", default="2.17", help="the glibc version the tag promises (default: 2.17)")
    args = parser.parse_args()
    major, minor = (int(part) for part in args.max_glibc.split("."))
    problems = check(args.wheel, (major, minor))
    for problem in problems:
        print(f"error: {args.wheel.name}: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
