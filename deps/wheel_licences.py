#!/usr/bin/env python3
"""Adds the licence texts of everything the wheel's binaries carry inside
them to the wheel's dist-info licenses/ folder: the libraries built from
deps.lock (from the prefix's licences/ folder; the entries of the prefix's
system, test-only ones aside), and the parts of Zig's toolchain linked into
every binary (libc++, libc++abi, libunwind, compiler-rt, and the C library's
static start-up pieces: glibc's on Linux, MinGW-w64's runtime on
Windows), with a BUNDLED.txt that names each one's version,
origin and licence.

    wheel_licences.py WHEEL PREFIX ZIG
"""
from __future__ import annotations

import base64
import hashlib
import subprocess
import sys
import tomllib
import zipfile
from pathlib import Path

# Zig's own files, relative to the folder of the zig executable
LLVM_PARTS = {
    "libc++": ("lib/libcxx/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "libc++abi": ("lib/libcxxabi/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "libunwind": ("lib/libunwind/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "zig-compiler-rt": ("LICENSE", "MIT"),
}
ZIG_PARTS = {
    "linux": {
        **LLVM_PARTS,
        "glibc-static-parts": ("lib/libc/glibc/LICENSES",
                               "LGPL-2.1-or-later, with the files' own permission to link them into any program "
                               "(the C start-up files and libc_nonshared)"),
    },
    "windows": {
        **LLVM_PARTS,
        "mingw-w64-runtime": ("lib/libc/mingw/COPYING",
                              "ZPL-2.1, with parts in the public domain (the C runtime's start-up files "
                              "and import stubs)"),
    },
}
BINARIES = {
    "linux": "mirelo_utils/_core and mirelo_utils/libmirelo_media.so",
    "windows": "mirelo_utils/_core.cp311-win_amd64.pyd and mirelo_utils/mirelo_media.dll",
}


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def add_licences(wheel: Path, prefix: Path, zig: Path) -> None:
    """Rewrites `wheel` with the licences of the libraries of `prefix` and of
    Zig's parts, listed in its RECORD."""
    lock = tomllib.loads((prefix / "deps.lock").read_text())
    zig_root = zig.resolve().parent
    zig_version = subprocess.run([str(zig), "version"], capture_output=True, text=True, check=True).stdout.strip()

    system = "windows" if "-windows-" in prefix.name else "linux"
    files: dict[str, bytes] = {}
    lines = [f"Libraries compiled into {BINARIES[system]}",
             "(statically; their symbols are hidden), with their licences:", ""]
    for name, entry in lock.items():
        if entry.get("host") or entry.get("test") or system not in entry.get("systems", [system]):
            continue
        folder = prefix / "licences" / name
        texts = sorted(p for p in folder.rglob("*") if p.is_file())
        if not texts:
            raise SystemExit(f"wheel_licences: no licence text for {name} in {folder}")
        for p in texts:
            files[f"{name}/{p.relative_to(folder)}"] = p.read_bytes()
        lines.append(f"{name} {entry['version']}: {entry['license']}; from {entry['origin']} ({entry['url']})")
    lines += ["", f"From Zig {zig_version} (PyPI package ziglang), which compiled them:"]
    for name, (rel, licence) in ZIG_PARTS[system].items():
        files[f"{name}/{Path(rel).name}"] = (zig_root / rel).read_bytes()
        lines.append(f"{name}: {licence}")
    files["BUNDLED.txt"] = ("\n".join(lines) + "\n").encode()

    with zipfile.ZipFile(wheel) as z:
        entries = {i.filename: z.read(i.filename) for i in z.infolist()}
    dist_info = next(n.split("/")[0] for n in entries if n.split("/")[0].endswith(".dist-info"))
    record_name = f"{dist_info}/RECORD"
    record = [r for r in entries.pop(record_name).decode().splitlines() if not r.startswith(f"{record_name},")]
    for rel, data in files.items():
        name = f"{dist_info}/licenses/{rel}"
        entries[name] = data
        record.append(record_line(name, data))
    record.append(f"{record_name},,")
    tmp = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
        z.writestr(record_name, "\n".join(r for r in record if r) + "\n")
    tmp.replace(wheel)
    print(f"wheel_licences: {len(files)} files into {dist_info}/licenses/")


def main() -> int:
    add_licences(Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
