#!/usr/bin/env python3
"""Loads the Windows wheel's binaries under Wine, as the interpreter loads an
extension module: LoadLibrary, then the entry point by name. No Windows
Python is at hand, so python311.dll is a stand-in made from the import
library's definition file (every name exported, none of them called): the
load shows that every DLL the binaries import is found, every name resolves,
and their start-up code (static constructors, thread-local storage) runs.

    load_under_wine.py WHEEL PREFIX [WINE]
"""
from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from check_wheel import ENTRY_POINTS  # noqa: E402

LOADER = r"""
#include <windows.h>
#include <stdio.h>
int wmain(int argc, wchar_t** argv) {
  for (int k = 1; k + 1 < argc; k += 2) {
    HMODULE m = LoadLibraryW(argv[k]);
    if (m == NULL) {
      printf("%ls: cannot be loaded (Windows error %lu)\n", argv[k], GetLastError());
      return 1;
    }
    char name[256];
    WideCharToMultiByte(CP_UTF8, 0, argv[k + 1], -1, name, sizeof name, NULL, NULL);
    if (GetProcAddress(m, name) == NULL) {
      printf("%ls: loaded, but has no %s\n", argv[k], name);
      return 1;
    }
    printf("%ls: loaded, %s found\n", argv[k], name);
  }
  return 0;
}
"""


def stand_in(definition: Path) -> str:
    """C source of a DLL that exports the names of a definition file."""
    lines = ["#define EXPORT __declspec(dllexport)"]
    for line in definition.read_text().splitlines()[2:]:
        if line.endswith(" DATA"):
            lines.append(f"EXPORT char {line.split()[0]}[256];")
        elif line.strip():
            lines.append(f"EXPORT void {line.strip()}(void) {{}}")
    return "\n".join(lines) + "\n"


def main() -> int:
    wheel, prefix = Path(sys.argv[1]), Path(sys.argv[2])
    wine = sys.argv[3] if len(sys.argv) > 3 else "/usr/lib/wine/wine64"
    cc = prefix / "toolchain" / "bin" / "zcc"
    definition = next((prefix / "python" / "libs").glob("python3*.def"))
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        pairs = []
        with zipfile.ZipFile(wheel) as z:
            for name in z.namelist():
                entry = next((v for k, v in ENTRY_POINTS.items() if k.endswith(("pyd", "dll")) and
                              re.fullmatch(k, name)), None)
                if entry:
                    (work / Path(name).name).write_bytes(z.read(name))
                    pairs += [Path(name).name, next(iter(entry))]
        (work / "stand_in.c").write_text(stand_in(definition))
        (work / "loader.c").write_text(LOADER)
        subprocess.run([cc, "-shared", "-o", work / f"{definition.stem}.dll", work / "stand_in.c"], check=True)
        subprocess.run([cc, "-municode", "-o", work / "loader.exe", work / "loader.c"], check=True)
        env = dict(os.environ, WINEDEBUG="-all")
        run = subprocess.run([wine, "loader.exe", *pairs], cwd=work, env=env, capture_output=True, text=True)
        for line in run.stdout.replace("\r", "").splitlines():
            print(f"load_under_wine: {line}")
        if run.returncode != 0 or len(pairs) != 4:
            print(f"load_under_wine: failed ({run.returncode}): {run.stderr[-2000:]}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
