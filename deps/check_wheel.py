#!/usr/bin/env python3
"""Checks the wheel's shared objects as a user's process will load them:
each exports its one entry point and nothing else, needs no library beyond
the C library's own, and no glibc symbol version above the floor.

    check_wheel.py WHEEL --max-glibc 2.28
"""
from __future__ import annotations

import argparse
import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

ENTRY_POINTS = {r"mirelo_utils/_core\..*\.so": {"PyInit__core"},
                r"mirelo_utils/libmirelo_media\.so": {"mirelo_media_library"}}
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2"}


def version_tuple(text: str) -> tuple[int, ...]:
    return tuple(int(x) for x in text.split("."))


def check(name: str, data: bytes, max_glibc: tuple[int, ...]) -> list[str]:
    elf = ELFFile(io.BytesIO(data))
    problems = []
    exported = set()
    for sym in elf.get_section_by_name(".dynsym").iter_symbols():
        if sym.name and sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"):
            exported.add(sym.name)
    expected = next((v for k, v in ENTRY_POINTS.items() if re.fullmatch(k, name)), None)
    if expected is None:
        problems.append(f"{name}: a shared object the check does not know")
    elif exported != expected:
        problems.append(f"{name}: exports {sorted(exported - expected)[:20]} beyond {sorted(expected)}"
                        if exported - expected else f"{name}: does not export {sorted(expected - exported)}")
    needed = set()
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            needed |= {t.needed for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    if aux.name.startswith("GLIBC_") and version_tuple(aux.name[6:]) > max_glibc:
                        problems.append(f"{name}: needs {aux.name}")
    if needed - SYSTEM_LIBRARIES:
        problems.append(f"{name}: needs {sorted(needed - SYSTEM_LIBRARIES)}")
    print(f"check_wheel: {name}: exports {sorted(exported)}, needs {sorted(needed)}")
    return problems


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("wheel")
    ap.add_argument("--max-glibc", default="2.28")
    args = ap.parse_args()
    problems = []
    with zipfile.ZipFile(args.wheel) as z:
        objects = [n for n in z.namelist() if n.endswith(".so")]
        for name in objects:
            problems += check(name, z.read(name), version_tuple(args.max_glibc))
    if len(objects) != len(ENTRY_POINTS):
        problems.append(f"expected {len(ENTRY_POINTS)} shared objects, found {objects}")
    for p in problems:
        print(f"check_wheel: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
