#!/usr/bin/env python3
"""Assembles the wheel for CPython 3.11 on 64-bit Windows:

    dist/<name>-<version>-cp311-cp311-win_amd64.whl

from the Linux wheel of the same checkout (its Python files, type stub and
metadata: the package is the same on both systems) and the binaries of the
Windows build (the extension module _core.cp311-win_amd64.pyd and
mirelo_media.dll), with the licences of what those binaries carry inside
them (wheel_licences.py).

    windows_wheel.py LINUX_WHEEL BINARIES_FOLDER PREFIX ZIG OUT_FOLDER
"""
from __future__ import annotations

import re
import sys
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from wheel_licences import add_licences, record_line  # noqa: E402

TAG = "cp311-cp311-win_amd64"
BINARIES = ("_core.cp311-win_amd64.pyd", "mirelo_media.dll")


def windows_entries(linux: dict[str, bytes], binaries: Path) -> tuple[str, dict[str, bytes]]:
    """The wheel's files (RECORD aside) and its file name: the Linux wheel's
    Python files and metadata, without its binaries, tags and bundled
    licences, with the Windows binaries beside the package's files."""
    dist_info = next(n.split("/")[0] for n in linux if n.split("/")[0].endswith(".dist-info"))
    package = next(n.split("/")[0] for n in linux if n.endswith("/__init__.py") and n.count("/") == 1)
    entries: dict[str, bytes] = {}
    for name, data in linux.items():
        if name.endswith("/") or name.endswith(".so") or re.search(r"\.so\.\d", name):
            continue
        if name in (f"{dist_info}/RECORD", f"{dist_info}/WHEEL") or name.startswith(f"{dist_info}/licenses/"):
            continue
        entries[name] = data
    for binary in BINARIES:
        entries[f"{package}/{binary}"] = (binaries / binary).read_bytes()
    generator = next((line for line in linux[f"{dist_info}/WHEEL"].decode().splitlines()
                      if line.startswith("Generator:")), "Generator: windows_wheel.py")
    entries[f"{dist_info}/WHEEL"] = (f"Wheel-Version: 1.0\n{generator}\nRoot-Is-Purelib: false\nTag: {TAG}\n").encode()
    name_version = dist_info.removesuffix(".dist-info")
    return f"{name_version}-{TAG}.whl", entries


def write_wheel(path: Path, entries: dict[str, bytes]) -> None:
    dist_info = next(n.split("/")[0] for n in entries if n.split("/")[0].endswith(".dist-info"))
    record = [record_line(name, data) for name, data in entries.items()] + [f"{dist_info}/RECORD,,"]
    tmp = path.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            z.writestr(name, data)
        z.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")
    tmp.replace(path)


def main() -> int:
    linux_wheel, binaries, prefix, zig, out = (Path(a) for a in sys.argv[1:6])
    with zipfile.ZipFile(linux_wheel) as z:
        linux = {i.filename: z.read(i.filename) for i in z.infolist()}
    name, entries = windows_entries(linux, binaries)
    wheel = out / name
    write_wheel(wheel, entries)
    add_licences(wheel, prefix, zig)
    print(wheel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
