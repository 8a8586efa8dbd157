#!/usr/bin/env python3
"""Adds the licence texts of everything the wheel's shared objects carry
inside them to the wheel's dist-info licenses/ folder: the libraries built
from deps.lock (from the prefix's licences/ folder), and the parts of Zig's
toolchain linked into every object (libc++, libc++abi, libunwind, compiler-rt
and glibc's static start-up pieces), with a BUNDLED.txt that names each one's
version, origin and licence.

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
ZIG_PARTS = {
    "libc++": ("lib/libcxx/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "libc++abi": ("lib/libcxxabi/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "libunwind": ("lib/libunwind/LICENSE.TXT", "Apache-2.0 WITH LLVM-exception"),
    "zig-compiler-rt": ("LICENSE", "MIT"),
    "glibc-static-parts": ("lib/libc/glibc/LICENSES",
                           "LGPL-2.1-or-later, with the files' own permission to link them into any program "
                           "(the C start-up files and libc_nonshared)"),
}


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main() -> int:
    wheel, prefix, zig = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
    lock = tomllib.loads((prefix / "deps.lock").read_text())
    zig_root = zig.resolve().parent
    zig_version = subprocess.run([str(zig), "version"], capture_output=True, text=True, check=True).stdout.strip()

    files: dict[str, bytes] = {}
    lines = ["Libraries compiled into mirelo_utils/_core and mirelo_utils/libmirelo_media.so",
             "(statically; their symbols are hidden), with their licences:", ""]
    for name, entry in lock.items():
        if entry.get("host"):
            continue
        folder = prefix / "licences" / name
        texts = sorted(p for p in folder.rglob("*") if p.is_file())
        if not texts:
            raise SystemExit(f"wheel_licences: no licence text for {name} in {folder}")
        for p in texts:
            files[f"{name}/{p.relative_to(folder)}"] = p.read_bytes()
        lines.append(f"{name} {entry['version']}: {entry['license']}; from {entry['origin']} ({entry['url']})")
    lines += ["", f"From Zig {zig_version} (PyPI package ziglang), which compiled them:"]
    for name, (rel, licence) in ZIG_PARTS.items():
        files[f"{name}/{Path(rel).name}"] = (zig_root / rel).read_bytes()
        lines.append(f"{name}: {licence}")
    files["BUNDLED.txt"] = ("\n".join(lines) + "\n").encode()

    with zipfile.ZipFile(wheel) as z:
        entries = {i.filename: z.read(i.filename) for i in z.infolist()}
    dist_info = next(n.split("/")[0] for n in entries if n.split("/")[0].endswith(".dist-info"))
    record_name = f"{dist_info}/RECORD"
    record = entries.pop(record_name).decode().splitlines()
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
    return 0


if __name__ == "__main__":
    sys.exit(main())
