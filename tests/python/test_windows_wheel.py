"""The Windows wheel's assembly and the check of its binaries' imports and
exports (deps/windows_wheel.py, deps/check_wheel.py), which run where no
Windows Python can import the module."""
import re
import sys
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "deps"))
import check_wheel  # noqa: E402
import load_under_wine  # noqa: E402
import windows_wheel  # noqa: E402

WINE_DLLS = Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows")
PYD = "mirelo_utils/_core.cp311-win_amd64.pyd"
DLL = "mirelo_utils/mirelo_media.dll"
UCRT = {"api-ms-win-crt-runtime-l1-1-0.dll", "api-ms-win-crt-heap-l1-1-0.dll"}


@pytest.mark.parametrize("name, imports, exports, problem", [
    (PYD, {"kernel32.dll", "python311.dll"} | UCRT, {"PyInit__core"}, None),
    (DLL, {"kernel32.dll", "bcrypt.dll", "ucrtbase.dll"} | UCRT, {"mirelo_media_library"}, None),
    (PYD, {"kernel32.dll", "python311.dll", "libstdc++-6.dll"}, {"PyInit__core"},
     "imports ['libstdc++-6.dll'], which Windows does not have"),
    (PYD, {"kernel32.dll", "python311.dll", "libwinpthread-1.dll", "libgcc_s_seh-1.dll"}, {"PyInit__core"},
     "imports ['libgcc_s_seh-1.dll', 'libwinpthread-1.dll'], which Windows does not have"),
    (PYD, {"kernel32.dll", "python311.dll", "mirelo_media.dll"}, {"PyInit__core"},
     "imports ['mirelo_media.dll'], which Windows does not have"),
    (PYD, {"kernel32.dll"}, {"PyInit__core"}, "imports [], expected one python3XY.dll"),
    (DLL, {"kernel32.dll", "python311.dll"}, {"mirelo_media_library"},
     "imports ['python311.dll'], which Windows does not have"),
    (DLL, {"kernel32.dll", "vcruntime140.dll"}, {"mirelo_media_library"},
     "imports ['vcruntime140.dll'], which Windows does not have"),
    (PYD, {"python311.dll"}, {"PyInit__core", "cv::Mat::Mat"}, "exports ['cv::Mat::Mat'] beyond ['PyInit__core']"),
    (PYD, {"python311.dll"}, {"PyInit__core", "_ZTVN8nanobind4abi112python_errorE",
                              "_ZTVN8nanobind4abi117builtin_exceptionE"}, None),
    (PYD, {"python311.dll"}, {"PyInit__core", "_ZTVN8nanobind4abi14typeE"},
     "exports ['_ZTVN8nanobind4abi14typeE'] beyond ['PyInit__core']"),
    (DLL, {"kernel32.dll"}, set(), "does not export ['mirelo_media_library']"),
])
def test_windows_binaries_import_windows_alone(name, imports, exports, problem):
    expected = next(v for k, v in check_wheel.ENTRY_POINTS.items() if re.fullmatch(k, name))
    problems = check_wheel.pe_problems(name, imports, exports, expected)
    assert problems == ([] if problem is None else [f"{name}: {problem}"])


@pytest.mark.skipif(not WINE_DLLS.is_dir(), reason="Wine's DLLs are not installed (scripts/setup.sh installs wine64)")
@pytest.mark.parametrize("dll, imported, exported", [
    ("version.dll", {"kernelbase.dll", "ucrtbase.dll"}, {"GetFileVersionInfoW", "VerQueryValueW"}),
    ("ws2_32.dll", {"kernel32.dll", "ntdll.dll"}, {"WSAStartup", "getaddrinfo"}),
])
def test_pe_tables_are_read(dll, imported, exported):
    imports, exports = check_wheel.pe_imports_exports((WINE_DLLS / dll).read_bytes())
    assert imported <= imports
    assert exported <= exports
    assert all(name == name.lower() for name in imports)


@pytest.mark.parametrize("data", [b"", b"MZ" + bytes(100), b"\x7fELF" + bytes(100)])
def test_other_files_are_no_pe_files(data):
    with pytest.raises(ValueError, match="not a PE file"):
        check_wheel.pe_imports_exports(data)


def test_windows_wheel_keeps_the_package_and_swaps_the_binaries(tmp_path):
    dist = "mirelo_utils-0.1.0.dist-info"
    linux = {
        "mirelo_utils/": b"",
        "mirelo_utils/__init__.py": b"from ._core import *\n",
        "mirelo_utils/_core.pyi": b"def f() -> None: ...\n",
        "mirelo_utils/_core.cpython-311-x86_64-linux-gnu.so": b"\x7fELF",
        "mirelo_utils/libmirelo_media.so": b"\x7fELF",
        "mirelo_utils/_health/templates/index.html.jinja": b"<html>",
        f"{dist}/METADATA": b"Name: mirelo_utils\nVersion: 0.1.0\n",
        f"{dist}/WHEEL": b"Wheel-Version: 1.0\nGenerator: scikit-build-core 1.1.2\nRoot-Is-Purelib: false\n"
                         b"Tag: cp311-cp311-manylinux_2_28_x86_64\n",
        f"{dist}/RECORD": b"...",
        f"{dist}/licenses/BUNDLED.txt": b"glibc",
        f"{dist}/licenses/glibc-static-parts/LICENSES": b"LGPL",
    }
    (tmp_path / "_core.cp311-win_amd64.pyd").write_bytes(b"MZ pyd")
    (tmp_path / "mirelo_media.dll").write_bytes(b"MZ dll")
    name, entries = windows_wheel.windows_entries(linux, tmp_path)
    assert name == "mirelo_utils-0.1.0-cp311-cp311-win_amd64.whl"
    assert sorted(entries) == sorted([
        "mirelo_utils/__init__.py", "mirelo_utils/_core.pyi", "mirelo_utils/_health/templates/index.html.jinja",
        PYD, DLL, f"{dist}/METADATA", f"{dist}/WHEEL"])
    assert entries[PYD] == b"MZ pyd"
    assert entries[f"{dist}/WHEEL"].decode().splitlines() == [
        "Wheel-Version: 1.0", "Generator: scikit-build-core 1.1.2", "Root-Is-Purelib: false",
        "Tag: cp311-cp311-win_amd64"]

    wheel = tmp_path / name
    windows_wheel.write_wheel(wheel, entries)
    with zipfile.ZipFile(wheel) as z:
        record = z.read(f"{dist}/RECORD").decode().splitlines()
        assert z.read("mirelo_utils/__init__.py") == linux["mirelo_utils/__init__.py"]
    assert sorted(line.split(",")[0] for line in record) == sorted([*entries, f"{dist}/RECORD"])
    assert f"{dist}/RECORD,," in record
    assert f"{PYD},sha256=" in "\n".join(record)


def test_the_interpreters_stand_in_exports_every_name_of_the_definition_file(tmp_path):
    definition = tmp_path / "python311.def"
    definition.write_text("LIBRARY python311.dll\nEXPORTS\nPyLong_FromLong\n_Py_Dealloc\nPyExc_TypeError DATA\n")
    assert load_under_wine.stand_in(definition).splitlines() == [
        "#define EXPORT __declspec(dllexport)",
        "EXPORT void PyLong_FromLong(void) {}",
        "EXPORT void _Py_Dealloc(void) {}",
        "EXPORT char PyExc_TypeError[256];",
    ]
