#!/usr/bin/env python3
"""Checks the wheel's binaries as a user's process will load them: each
exports its one entry point and nothing else; on Linux the shared objects
need no library beyond the C library's own, and no glibc symbol version above
the floor; on Windows the extension module and the DLL import from Windows'
own DLLs alone (and the module from python3XY.dll): no C++ or C runtime of
MinGW's or of a compiler's that Windows lacks.

    check_wheel.py WHEEL [--max-glibc 2.28]
"""
from __future__ import annotations

import argparse
import io
import re
import struct
import sys
import zipfile

ENTRY_POINTS = {r"mirelo_utils/_core\..*\.so": {"PyInit__core"},
                r"mirelo_utils/libmirelo_media\.so": {"mirelo_media_library"},
                r"mirelo_utils/_core\.cp\d+-win_amd64\.pyd": {"PyInit__core"},
                r"mirelo_utils/mirelo_media\.dll": {"mirelo_media_library"}}
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2"}
# DLLs of every Windows 10 and later: the kernel's, and the Universal C
# Runtime (ucrtbase.dll and its api-ms-win-crt-* API sets).
WINDOWS_DLLS = {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "advapi32.dll", "user32.dll", "gdi32.dll",
                "shell32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll", "bcrypt.dll",
                "secur32.dll", "psapi.dll", "dbghelp.dll", "ucrtbase.dll"}
WINDOWS_API_SETS = re.compile(r"api-ms-win-[a-z0-9-]+\.dll")
# nanobind marks its exception classes dllexport, whatever the build, so
# that modules can catch each other's: their vtables are exported. A DLL's
# exports bind nothing in another (imports name their DLL), so these are
# harmless, unlike extra symbols of a shared object on Linux.
PE_EXTRA_EXPORTS = re.compile(r"_ZTVN8nanobind\w*(python_error|builtin_exception)E")


def version_tuple(text: str) -> tuple[int, ...]:
    return tuple(int(x) for x in text.split("."))


def pe_imports_exports(data: bytes) -> tuple[set[str], set[str]]:
    """The DLLs a PE file (a 64-bit Windows DLL or program) imports from,
    lower-case (delay-loaded ones too), and the names it exports."""
    def u16(at: int) -> int:
        return struct.unpack_from("<H", data, at)[0]

    def u32(at: int) -> int:
        return struct.unpack_from("<I", data, at)[0]

    if len(data) < 64 or data[:2] != b"MZ" or data[u32(0x3C):u32(0x3C) + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    coff = u32(0x3C) + 4
    sections, optional_size = u16(coff + 2), u16(coff + 16)
    optional = coff + 20
    if u16(optional) != 0x20B:
        raise ValueError("not a 64-bit PE file (PE32+)")
    directories = optional + 112
    table = optional + optional_size

    def offset(rva: int) -> int:
        for k in range(sections):
            at = table + 40 * k
            size, address, raw_size, raw = u32(at + 8), u32(at + 12), u32(at + 16), u32(at + 20)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError(f"address {rva:#x} is in no section")

    def text(rva: int) -> str:
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("ascii")

    def directory(k: int) -> int:
        return u32(directories + 8 * k)

    imports = set()
    for k, size in ((1, 20), (13, 32)):  # the import and the delay-load import tables
        if directory(k):
            at = offset(directory(k))
            name_field = 12 if k == 1 else 4
            while any(data[at:at + size]):
                imports.add(text(u32(at + name_field)).lower())
                at += size
    exports = set()
    if directory(0):
        at = offset(directory(0))
        names, name_table = u32(at + 24), u32(at + 32)
        exports = {text(u32(offset(name_table) + 4 * k)) for k in range(names)}
    return imports, exports


def pe_problems(name: str, imports: set[str], exports: set[str], expected: set[str]) -> list[str]:
    problems = []
    exports = {e for e in exports if not PE_EXTRA_EXPORTS.fullmatch(e)}
    if exports != expected:
        problems.append(f"{name}: exports {sorted(exports - expected)[:20]} beyond {sorted(expected)}"
                        if exports - expected else f"{name}: does not export {sorted(expected - exports)}")
    allowed = set(WINDOWS_DLLS)
    if name.endswith(".pyd"):
        # the interpreter's DLL, which has loaded the module: one of them
        pythons = {n for n in imports if re.fullmatch(r"python3\d+\.dll", n)}
        if len(pythons) != 1:
            problems.append(f"{name}: imports {sorted(pythons)}, expected one python3XY.dll")
        allowed |= pythons
    foreign = sorted(n for n in imports if n not in allowed and not WINDOWS_API_SETS.fullmatch(n))
    if foreign:
        problems.append(f"{name}: imports {foreign}, which Windows does not have")
    return problems


def check_pe(name: str, data: bytes) -> list[str]:
    imports, exports = pe_imports_exports(data)
    expected = next((v for k, v in ENTRY_POINTS.items() if re.fullmatch(k, name)), None)
    print(f"check_wheel: {name}: exports {sorted(exports)}, imports {sorted(imports)}")
    if expected is None:
        return [f"{name}: a binary the check does not know"]
    return pe_problems(name, imports, exports, expected)


def check(name: str, data: bytes, max_glibc: tuple[int, ...]) -> list[str]:
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile
    from elftools.elf.gnuversions import GNUVerNeedSection

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
        objects = [n for n in z.namelist() if n.endswith((".so", ".pyd", ".dll"))]
        for name in objects:
            if name.endswith(".so"):
                problems += check(name, z.read(name), version_tuple(args.max_glibc))
            else:
                problems += check_pe(name, z.read(name))
    if len(objects) != 2:
        problems.append(f"expected the extension module and the media library, found {objects}")
    for p in problems:
        print(f"check_wheel: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
