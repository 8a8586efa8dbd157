#!/usr/bin/env python3
"""Builds the native libraries that the wheel bundles, from the sources pinned
in deps.lock, into a prefix cached outside the tree:

    <cache>/deps/<key>/<target>/{include,lib,lib/cmake,lib/pkgconfig,licences,toolchain}

<key> is made of the lock file's entries that the target uses and the
compiler's version. Every library is
its own step: it is built once, and again only when its entry in the lock
file, its recipe below, the toolchain or a library it builds on changes (the
step's stamp holds that hash and the files the step installed), so a failure
in one library rebuilds nothing else.

The compiler is Zig's clang (`zig cc`) for an explicit target, for example
x86_64-linux-gnu.2.28: it links against that glibc's symbol versions whatever
the build machine has, and brings its own libc++ that each shared object links
statically. For x86_64-windows-gnu it is a cross build (MinGW-w64 headers,
the Universal C Runtime of Windows 10 and later), which adds GoogleTest and
the CPython headers with an import library of python3XY.dll. Prints the
prefix on the standard output as its last line.
"""
from __future__ import annotations

import argparse
import hashlib
import inspect
import json
import os
import shutil
import subprocess
import sys
import tarfile
import time
import tomllib
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
LOCK = HERE / "deps.lock"


def log(msg: str) -> None:
    print(f"deps: {msg}", file=sys.stderr, flush=True)


def sha256_file(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def run(cmd: list[str], cwd: Path, env: dict[str, str] | None = None, logfile: Path | None = None) -> None:
    """Runs a build command; its output goes to the step's log, whose end is
    shown when the command fails."""
    if logfile is None:
        subprocess.run(cmd, cwd=cwd, env=env, check=True)
        return
    with open(logfile, "a") as out:
        out.write(f"\n$ {' '.join(cmd)}\n")
        out.flush()
        rc = subprocess.run(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT).returncode
    if rc != 0:
        tail = logfile.read_text(errors="replace").splitlines()[-60:]
        sys.stderr.write("\n".join(tail) + "\n")
        raise SystemExit(f"deps: command failed ({rc}): {' '.join(cmd)}\n      full log: {logfile}")


def write_if_changed(path: Path, text: str) -> None:
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


class Target:
    """A Zig target triple and what the recipes need to know of it."""

    def __init__(self, triple: str):
        self.triple = triple
        arch, self.os_name = triple.split("-")[:2]
        self.arch = arch
        if self.os_name not in ("linux", "windows"):
            raise SystemExit(f"deps: unsupported target {triple}")

    @property
    def windows(self) -> bool:
        return self.os_name == "windows"

    @property
    def ffmpeg_os(self) -> str:
        return "mingw32" if self.windows else "linux"

    @property
    def cmake_system(self) -> str:
        return "Windows" if self.windows else "Linux"


class Toolchain:
    """Wrapper scripts around `zig cc` and friends (build systems want single
    executables) and a CMake toolchain file naming them."""

    def __init__(self, root: Path, zig: Path, target: Target):
        self.root = root
        self.zig = zig
        self.target = target
        self.bin = root / "bin"
        self.cc = self.bin / "zcc"
        self.cxx = self.bin / "zc++"
        self.ar = self.bin / "zar"
        self.ranlib = self.bin / "zranlib"
        self.rc = self.bin / "zrc"
        self.dlltool = self.bin / "zdlltool"
        self.cmake_file = root / "toolchain.cmake"

    def write(self) -> None:
        self.bin.mkdir(parents=True, exist_ok=True)
        t = self.target.triple
        # The wrappers call zig through a link that follows the tools'
        # environment, so that they stay the same files when it moves.
        link = self.bin / "zig"
        if not link.is_symlink() or Path(os.readlink(link)) != self.zig:
            link.unlink(missing_ok=True)
            link.symlink_to(self.zig)
        wrappers = {
            self.cc: f'exec "{link}" cc -target {t} "$@"',
            self.cxx: f'exec "{link}" c++ -target {t} "$@"',
            self.ar: f'exec "{link}" ar "$@"',
            self.ranlib: f'exec "{link}" ranlib "$@"',
            self.rc: f'exec "{link}" rc "$@"',
            self.dlltool: f'exec "{link}" dlltool "$@"',
        }
        # Unchanged files keep their time stamps, which ccache goes by.
        for path, line in wrappers.items():
            write_if_changed(path, f"#!/bin/sh\n{line}\n")
            path.chmod(0o755)
        write_if_changed(self.cmake_file, self.cmake_text())

    def cmake_text(self) -> str:
        # Linux is built as a native build (the build machine runs what it
        # builds, and try_run works); another system is a cross build.
        system = "" if self.target.os_name == "linux" else (
            f"set(CMAKE_SYSTEM_NAME {self.target.cmake_system})\nset(CMAKE_SYSTEM_PROCESSOR {self.target.arch})\n")
        if self.target.windows:
            system += f'set(CMAKE_RC_COMPILER "{self.rc}")\n'

        return f"""# Zig's clang for {self.target.triple} (generated by deps/build_deps.py).
{system}set(CMAKE_C_COMPILER "{self.cc}")
set(CMAKE_CXX_COMPILER "{self.cxx}")
set(CMAKE_AR "{self.ar}" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "{self.ranlib}" CACHE FILEPATH "" FORCE)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
"""

    def identity(self) -> str:
        version = subprocess.run([str(self.zig), "version"], capture_output=True, text=True, check=True).stdout.strip()
        return f"zig {version} {self.target.triple}\n{self.cmake_text()}"


class Build:
    """What a recipe gets: its source folder, the prefix (where it installs and
    where the libraries it builds on are), the toolchain, and helpers."""

    def __init__(self, name: str, entry: dict, src: Path, work: Path, prefix: Path, stage: Path,
                 toolchain: Toolchain, target: Target, jobs: int, logfile: Path, tools: dict[str, Path]):
        self.name = name
        self.entry = entry
        self.src = src
        self.work = work
        self.prefix = prefix
        self.stage = stage  # DESTDIR: the files land in stage/<prefix>
        self.tc = toolchain
        self.target = target
        self.jobs = jobs
        self.logfile = logfile
        self.tools = tools

    def run(self, cmd: list[str], cwd: Path | None = None, env: dict[str, str] | None = None) -> None:
        full = dict(os.environ)
        full.update(env or {})
        run([str(c) for c in cmd], cwd or self.work, full, self.logfile)

    def cmake(self, source: Path, options: dict[str, str]) -> None:
        """Configures, builds and installs (into the stage) a CMake project as a
        static, position-independent Release library."""
        build = self.work / "build"
        args = ["cmake", "-S", source, "-B", build, "-G", "Ninja",
                f"-DCMAKE_TOOLCHAIN_FILE={self.tc.cmake_file}",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DCMAKE_INSTALL_PREFIX={self.prefix}",
                # typed: a project's own GNUInstallDirs would make an untyped
                # relative path absolute against the working folder
                "-DCMAKE_INSTALL_LIBDIR:STRING=lib",
                f"-DCMAKE_PREFIX_PATH={self.prefix}",
                # Libraries and headers of the build machine are never the target's.
                f"-DCMAKE_FIND_ROOT_PATH={self.prefix}",
                "-DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER",
                "-DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY",
                "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY",
                "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY",
                "-DBUILD_SHARED_LIBS=OFF",
                "-DCMAKE_POSITION_INDEPENDENT_CODE=ON",
                # older projects' cmake_minimum_required, for CMake 4
                "-DCMAKE_POLICY_VERSION_MINIMUM=3.5"]
        args += [f"-D{k}={v}" for k, v in options.items()]
        self.run(args)
        self.run(["cmake", "--build", build, "-j", str(self.jobs)])
        self.run(["cmake", "--install", build], env={"DESTDIR": str(self.stage)})

    def staged(self, relative: str) -> Path:
        return self.stage / str(self.prefix).lstrip("/") / relative

    def licence(self, *files: str, source: Path | None = None) -> None:
        """Copies licence texts of the library into licences/<name>/."""
        folder = self.staged(f"licences/{self.name}")
        folder.mkdir(parents=True, exist_ok=True)
        for f in files:
            shutil.copy2((source or self.src) / f, folder / Path(f).name)


# --- Recipes: one function per library, named after its entry in deps.lock.
# A recipe's source text is part of its cache key.

def build_nasm(b: Build) -> None:
    # A tool for the build machine: its own compiler, not the target's.
    b.run([b.src / "configure", f"--prefix={b.prefix}"], cwd=b.src)
    b.run(["make", f"-j{b.jobs}", "nasm"], cwd=b.src)
    dest = b.staged("bin")
    dest.mkdir(parents=True, exist_ok=True)
    shutil.copy2(b.src / "nasm", dest / "nasm")


def build_zlib(b: Build) -> None:
    # Debian's tarball lacks the files zlib's CMake project wants for Windows,
    # and its configure script knows no cross builds: the library is its
    # fifteen C files, compiled here for any target.
    sources = ["adler32", "compress", "crc32", "deflate", "gzclose", "gzlib", "gzread", "gzwrite",
               "infback", "inffast", "inflate", "inftrees", "trees", "uncompr", "zutil"]
    flags = ["-O3", "-fPIC"] + ([] if b.target.windows else ["-DHAVE_UNISTD_H", "-D_LARGEFILE64_SOURCE=1"])
    objects = []
    for name in sources:
        obj = b.work / f"{name}.o"
        b.run([b.tc.cc, *flags, "-c", b.src / f"{name}.c", "-o", obj])
        objects.append(obj)
    lib = b.staged("lib")
    lib.mkdir(parents=True)
    b.run([b.tc.ar, "rcs", lib / "libz.a", *objects])
    include = b.staged("include")
    include.mkdir(parents=True)
    for header in ("zlib.h", "zconf.h"):
        shutil.copy2(b.src / header, include / header)
    b.licence("LICENSE" if (b.src / "LICENSE").exists() else "README")


def build_libjpeg_turbo(b: Build) -> None:
    # The libjpeg 6.2 interface, as Debian's libjpeg62-turbo: the same code
    # and defaults write the same JPEG bytes.
    b.cmake(b.src, {
        "ENABLE_SHARED": "OFF", "ENABLE_STATIC": "ON", "WITH_TURBOJPEG": "OFF",
        "WITH_JPEG8": "OFF", "WITH_SIMD": "ON", "REQUIRE_SIMD": "ON",
        "CMAKE_ASM_NASM_COMPILER": str(b.tools["nasm"]),
    })
    for sub in ("share/doc", "share/man", "bin"):
        shutil.rmtree(b.staged(sub), ignore_errors=True)
    b.licence("LICENSE.md", "README.ijg")


def build_opencv(b: Build) -> None:
    src = b.src / "opencv"
    lib = b.prefix / "lib"
    b.cmake(src, {
        # core, imgproc (with what it builds on: geometry and flann), imgcodecs, video
        "BUILD_LIST": "core,imgproc,imgcodecs,video",
        "BUILD_TESTS": "OFF", "BUILD_PERF_TESTS": "OFF", "BUILD_EXAMPLES": "OFF", "BUILD_DOCS": "OFF",
        "BUILD_opencv_apps": "OFF", "BUILD_JAVA": "OFF", "BUILD_OBJC": "OFF", "BUILD_opencv_js": "OFF",
        "BUILD_opencv_python3": "OFF", "BUILD_opencv_python_bindings_generator": "OFF",
        "BUILD_opencv_java_bindings_generator": "OFF", "BUILD_opencv_js_bindings_generator": "OFF",
        "BUILD_opencv_objc_bindings_generator": "OFF", "BUILD_ANDROID_PROJECTS": "OFF",
        "ENABLE_PRECOMPILED_HEADERS": "OFF", "ENABLE_PIC": "ON", "OPENCV_ENABLE_NONFREE": "OFF",
        "CV_TRACE": "OFF", "OPENCV_GENERATE_PKGCONFIG": "OFF",
        # Debian's SIMD baseline and dispatched optimisations for amd64
        "CPU_BASELINE": "SSE2", "CPU_BASELINE_DISABLE": "SSE3",
        "CPU_DISPATCH": "SSE4_1;SSE4_2;AVX;FP16;AVX2;AVX512_SKX",
        # threads of its own; nothing found on the build machine
        "WITH_PTHREADS_PF": "ON", "WITH_OPENMP": "OFF", "WITH_TBB": "OFF", "WITH_HPX": "OFF",
        "WITH_IPP": "OFF", "WITH_ITT": "OFF", "WITH_OPENCL": "OFF", "WITH_EIGEN": "OFF", "WITH_LAPACK": "OFF",
        "WITH_PROTOBUF": "OFF", "WITH_FLATBUFFERS": "OFF", "WITH_ADE": "OFF", "WITH_OPENVINO": "OFF",
        "WITH_CUDA": "OFF", "WITH_VULKAN": "OFF", "WITH_VA": "OFF", "WITH_VA_INTEL": "OFF",
        "WITH_FFMPEG": "OFF", "WITH_GSTREAMER": "OFF", "WITH_V4L": "OFF", "WITH_1394": "OFF",
        "WITH_GTK": "OFF", "WITH_QT": "OFF", "WITH_VTK": "OFF", "WITH_OPENGL": "OFF", "WITH_WAYLAND": "OFF",
        "WITH_FRAMEBUFFER": "OFF", "WITH_OBSENSOR": "OFF", "WITH_HARFBUZZ": "OFF",
        "WITH_KLEIDICV": "OFF", "WITH_CAROTENE": "OFF", "WITH_FASTCV": "OFF", "WITH_CPUFEATURES": "OFF",
        "WITH_GDAL": "OFF", "WITH_GDCM": "OFF", "WITH_GPHOTO2": "OFF", "WITH_ONNXRUNTIME": "OFF",
        "WITH_UNIFONT": "OFF",
        # image files: JPEG (the libjpeg-turbo built above) and PNG (OpenCV's own libpng) only
        "WITH_JPEG": "ON", "BUILD_JPEG": "OFF",
        "JPEG_INCLUDE_DIR": str(b.prefix / "include"), "JPEG_LIBRARY": str(lib / "libjpeg.a"),
        "WITH_PNG": "ON", "BUILD_PNG": "ON", "WITH_SPNG": "OFF",
        "BUILD_ZLIB": "OFF", "WITH_ZLIB_NG": "OFF",
        "ZLIB_INCLUDE_DIR": str(b.prefix / "include"), "ZLIB_LIBRARY": str(lib / "libz.a"),
        "WITH_TIFF": "OFF", "WITH_WEBP": "OFF", "WITH_JASPER": "OFF", "WITH_OPENJPEG": "OFF",
        "WITH_OPENEXR": "OFF", "WITH_AVIF": "OFF", "WITH_JPEGXL": "OFF",
        "WITH_IMGCODEC_HDR": "OFF", "WITH_IMGCODEC_SUNRASTER": "OFF", "WITH_IMGCODEC_PXM": "OFF",
        "WITH_IMGCODEC_PFM": "OFF", "WITH_IMGCODEC_GIF": "OFF",
        "OPENCV_LIB_INSTALL_PATH": "lib", "OPENCV_3P_LIB_INSTALL_PATH": "lib/opencv5/3rdparty",
        "OPENCV_CONFIG_INSTALL_PATH": "lib/cmake/opencv5", "OPENCV_LICENSES_INSTALL_PATH": "licences/opencv",
        "OPENCV_OTHER_INSTALL_PATH": "share/opencv5", "INSTALL_C_EXAMPLES": "OFF",
        # Windows' own media and display interfaces, and its layout of the
        # installed files by compiler (x64/mingw/...)
        "WITH_WIN32UI": "OFF", "WITH_DSHOW": "OFF", "WITH_MSMF": "OFF", "WITH_DIRECTX": "OFF",
        "WITH_DIRECTML": "OFF", "WITH_OPENCL_D3D11_NV": "OFF",
        "OPENCV_BIN_INSTALL_PATH": "bin", "OpenCV_INSTALL_BINARIES_PREFIX": "",
    })
    shutil.rmtree(b.staged("share/opencv5"), ignore_errors=True)
    shutil.rmtree(b.staged("bin"), ignore_errors=True)
    b.licence("LICENSE", source=src)


def build_freetype(b: Build) -> None:
    # Fonts as the core draws them (TrueType/OpenType outlines): no PNG
    # glyphs, no shaping. Gzip-compressed fonts through the zlib built above:
    # without it FreeType compiles its own copy of zlib, whose names clash
    # with that one's.
    b.cmake(b.src, {
        "FT_REQUIRE_ZLIB": "ON", "FT_DISABLE_BZIP2": "ON", "FT_DISABLE_PNG": "ON",
        "FT_DISABLE_HARFBUZZ": "ON", "FT_DISABLE_BROTLI": "ON",
        "ZLIB_INCLUDE_DIR": str(b.prefix / "include"), "ZLIB_LIBRARY": str(b.prefix / "lib" / "libz.a"),
    })
    b.licence("LICENSE.TXT", "docs/FTL.TXT")


def build_geos(b: Build) -> None:
    b.cmake(b.src, {
        "BUILD_TESTING": "OFF", "BUILD_BENCHMARKS": "OFF", "BUILD_DOCUMENTATION": "OFF",
        "BUILD_GEOSOP": "OFF", "BUILD_ASTYLE": "OFF",
    })
    shutil.rmtree(b.staged("bin"), ignore_errors=True)
    b.licence("COPYING")


FFMPEG_DEMUXERS = "mov,avi,matroska"
FFMPEG_DECODERS = "h264,hevc,mpeg4,mjpeg"
FFMPEG_PARSERS = "h264,hevc,mpeg4video,mjpeg"


def build_ffmpeg(b: Build) -> None:
    # LGPL only (no --enable-gpl, no --enable-nonfree), reduced to reading the
    # containers and codecs of camera recordings from files; nothing of the
    # build machine is detected.
    tc = b.tc
    if b.target.windows:
        # Zig's linker knows no --pic-executable, which configure adds to the
        # links of its test programs for MinGW; the programs are not built.
        configure = b.src / "configure"
        configure.write_text(configure.read_text().replace("-Wl,--pic-executable,-e,", "-Wl,-e,"))
    b.run([b.src / "configure",
           f"--prefix={b.prefix}", f"--target-os={b.target.ffmpeg_os}", f"--arch={b.target.arch}",
           "--enable-cross-compile",
           f"--cc={tc.cc}", f"--cxx={tc.cxx}", f"--ar={tc.ar}", f"--ranlib={tc.ranlib}", "--nm=nm",
           f"--x86asmexe={b.tools['nasm']}", "--enable-x86asm",
           "--enable-static", "--disable-shared", "--disable-debug", "--disable-stripping",
           # position-independent objects for the shared objects of Linux;
           # Windows' x86-64 code is so anyway, and the flag would make the
           # configure tests link programs with --pic-executable
           *([] if b.target.windows else ["--enable-pic"]),
           "--disable-autodetect", "--disable-everything", "--disable-programs", "--disable-doc",
           "--disable-network", "--disable-avdevice", "--disable-avfilter", "--disable-swresample",
           "--disable-postproc",
           "--enable-avformat", "--enable-avcodec", "--enable-swscale", "--enable-avutil",
           "--enable-protocol=file",
           f"--enable-demuxer={FFMPEG_DEMUXERS}",
           f"--enable-decoder={FFMPEG_DECODERS}",
           f"--enable-parser={FFMPEG_PARSERS}",
           "--enable-zlib", "--disable-iconv",
           f"--extra-cflags=-I{b.prefix / 'include'}", f"--extra-ldflags=-L{b.prefix / 'lib'}"],
          cwd=b.work, env={"PKG_CONFIG_LIBDIR": str(b.prefix / "lib" / "pkgconfig"), "PKG_CONFIG_PATH": ""})
    config = (b.work / "config.h").read_text()
    # sysctl() links against glibc 2.28, but the headers Zig ships are a
    # newer glibc's, which has dropped <sys/sysctl.h>; FFmpeg uses it only
    # on the BSDs.
    config = config.replace("#define HAVE_SYSCTL 1", "#define HAVE_SYSCTL 0")
    (b.work / "config.h").write_text(config)
    licence = next(line for line in config.splitlines() if line.startswith("#define FFMPEG_LICENSE "))
    if '"LGPL version 2.1 or later"' not in licence or "#define CONFIG_GPL 0" not in config \
            or "#define CONFIG_NONFREE 0" not in config:
        raise SystemExit(f"deps: FFmpeg is not configured LGPL-only: {licence}")
    b.run(["make", f"-j{b.jobs}"], cwd=b.work)
    b.run(["make", "install", f"DESTDIR={b.stage}"], cwd=b.work)
    shutil.rmtree(b.staged("share"), ignore_errors=True)
    b.licence("COPYING.LGPLv2.1", "LICENSE.md")
    # What avcodec_configuration() and avcodec_license() of this build answer
    configuration = next(line for line in config.splitlines() if line.startswith("#define FFMPEG_CONFIGURATION "))
    (b.staged("licences/ffmpeg") / "CONFIGURATION.txt").write_text(f"{configuration}\n{licence}\n")


def build_googletest(b: Build) -> None:
    # The C++ tests' framework for targets whose tests cannot use the build
    # machine's (Debian's libgtest-dev is the same release). Windows threads
    # of its own, not the POSIX layer.
    b.cmake(b.src, {
        "BUILD_GMOCK": "OFF", "INSTALL_GTEST": "ON",
        "gtest_disable_pthreads": "ON" if b.target.windows else "OFF",
    })
    b.licence("LICENSE")


def build_cpython(b: Build) -> None:
    # What an extension module for Windows compiles and links against, with
    # no Windows Python at hand: the headers (Include/ with PC/pyconfig.h,
    # the Windows build's configuration) and an import library of
    # python3XY.dll. The library's definition file lists every function and
    # variable the headers declare as the interpreter's API (PyAPI_FUNC,
    # PyAPI_DATA): all of them are exported by the DLL, which is built with
    # those declarations made dllexport. The linker takes from it only what
    # the module uses.
    import re

    major, minor = b.entry["version"].split(".")[:2]
    dll = f"python{major}{minor}"
    include = b.staged("python/include")
    shutil.copytree(b.src / "Include", include, ignore=shutil.ignore_patterns("internal"))
    shutil.copy2(b.src / "PC" / "pyconfig.h", include / "pyconfig.h")
    functions, data = set(), set()
    for header in sorted(include.rglob("*.h")):
        text = re.sub(r"/\*.*?\*/", " ", header.read_text(errors="replace"), flags=re.S)
        # declarations only: not the macros that define PyAPI_FUNC itself
        text = re.sub(r"^[ \t]*#.*$", "", text.replace("\\\n", " "), flags=re.M)
        for m in re.finditer(r"\bPyAPI_(FUNC|DATA)\s*\(", text):
            # past the parenthesised type, the declared name is the last
            # identifier before the parameter list (or before ';' or '[')
            depth, i = 1, m.end()
            while depth:
                depth += {"(": 1, ")": -1}.get(text[i], 0)
                i += 1
            stop = re.compile(r"[(;\[]").search(text, i)
            names = re.findall(r"[A-Za-z_]\w*", text[i:stop.start()])
            # the interpreter's names only: the headers also declare, for
            # systems without threads, stand-ins of POSIX's (pthread_stubs.h),
            # which the C runtime has too
            if names and re.match(r"_?Py", names[-1]):
                (functions if m.group(1) == "FUNC" else data).add(names[-1])
    lines = [f"LIBRARY {dll}.dll", "EXPORTS"] + sorted(functions - data) + [f"{n} DATA" for n in sorted(data)]
    libs = b.staged("python/libs")
    libs.mkdir(parents=True)
    (libs / f"{dll}.def").write_text("\n".join(lines) + "\n")
    b.run([b.tc.dlltool, "-m", "i386:x86-64", "-d", libs / f"{dll}.def", "-l", libs / f"lib{dll}.dll.a"])
    b.licence("LICENSE")


# name, recipe, what it builds on. An entry of the lock file with `systems`
# is built for those systems only.
STEPS = [
    ("nasm", build_nasm, []),
    ("zlib", build_zlib, []),
    ("cpython", build_cpython, []),
    ("googletest", build_googletest, []),
    ("libjpeg-turbo", build_libjpeg_turbo, ["nasm"]),
    ("freetype", build_freetype, ["zlib"]),
    ("geos", build_geos, []),
    ("ffmpeg", build_ffmpeg, ["nasm", "zlib"]),
    ("opencv", build_opencv, ["zlib", "libjpeg-turbo"]),
]


def steps_for(lock: dict, target: Target) -> list:
    return [step for step in STEPS if target.os_name in lock[step[0]].get("systems", [target.os_name])]


def fetch(entry: dict, downloads: Path) -> Path:
    """The source archive, from the download cache (by its sha256) or fetched."""
    name = entry["url"].rsplit("/", 1)[1]
    folder = downloads / entry["sha256"]
    path = folder / name
    if path.exists() and sha256_file(path) == entry["sha256"]:
        return path
    folder.mkdir(parents=True, exist_ok=True)
    part = path.with_suffix(path.suffix + ".part")
    log(f"downloading {entry['url']}")
    for attempt in range(3):
        try:
            with urllib.request.urlopen(entry["url"], timeout=120) as r, open(part, "wb") as out:
                shutil.copyfileobj(r, out, 1 << 20)
            break
        except OSError as e:
            if attempt == 2:
                raise SystemExit(f"deps: cannot download {entry['url']}: {e}")
            time.sleep(5)
    got = sha256_file(part)
    if got != entry["sha256"]:
        part.unlink()
        raise SystemExit(f"deps: {name}: sha256 {got}, the lock file says {entry['sha256']}")
    part.rename(path)
    return path


def extract(archive: Path, dest: Path) -> Path:
    """Unpacks the archive and returns its single top folder."""
    # what the OpenCV sdist carries beside the library sources
    skip = ("/opencv/.git/", "/opencv/samples/", "/opencv_contrib/", "/opencv_extra/")
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if not any(s in f"/{m.name}/" for s in skip)]
        tar.extractall(dest, members=members, filter="tar")
    tops = [p for p in dest.iterdir()]
    return tops[0] if len(tops) == 1 else dest


def step_hash(name: str, entry: dict, recipe, identity: str, dep_hashes: list[str]) -> str:
    h = hashlib.sha256()
    # The recipe and the shared steps that shape what it installs
    for part in (json.dumps(entry, sort_keys=True), inspect.getsource(recipe), inspect.getsource(Build.cmake),
                 inspect.getsource(Build.licence), identity, *dep_hashes):
        h.update(part.encode())
        h.update(b"\0")
    if name == "ffmpeg":
        h.update((FFMPEG_DEMUXERS + FFMPEG_DECODERS + FFMPEG_PARSERS).encode())
    return h.hexdigest()


def install_stage(stage_root: Path, prefix: Path) -> list[str]:
    """Moves the staged files into the prefix and returns their relative paths."""
    files = []
    for p in sorted(stage_root.rglob("*")):
        if p.is_dir():
            continue
        rel = p.relative_to(stage_root)
        target = prefix / rel
        target.parent.mkdir(parents=True, exist_ok=True)
        if target.exists() or target.is_symlink():
            target.unlink()
        shutil.move(str(p), target)
        files.append(str(rel))
    return files


def remove_installed(prefix: Path, stamp: Path) -> None:
    """Removes what an older build of the step installed."""
    if not stamp.exists():
        return
    for rel in json.loads(stamp.read_text()).get("files", []):
        (prefix / rel).unlink(missing_ok=True)
    stamp.unlink()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--target", default="x86_64-linux-gnu.2.28")
    ap.add_argument("--zig", required=True, type=Path, help="the zig executable")
    ap.add_argument("--cache", type=Path,
                    default=Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "mirelo_utils")
    ap.add_argument("--jobs", type=int, default=int(os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")))
    args = ap.parse_args()

    lock_bytes = LOCK.read_bytes()
    lock = tomllib.loads(lock_bytes.decode())
    target = Target(args.target)
    steps = steps_for(lock, target)
    zig_version = subprocess.run([str(args.zig), "version"], capture_output=True, text=True, check=True).stdout.strip()
    # The prefix belongs to the pinned sources it is built from: another
    # system's entries, or comments of the lock file, leave it as it is.
    used = json.dumps({name: lock[name] for name, _, _ in steps}, sort_keys=True)
    key = hashlib.sha256(f"{used}\0zig {zig_version}".encode()).hexdigest()[:16]
    prefix = args.cache / "deps" / key / target.triple  # include/, lib/, licences/, toolchain/
    host = args.cache / "deps" / key / "host"
    builds = args.cache / "deps" / key / f"build-{target.triple}"
    downloads = args.cache / "downloads"
    stamps = prefix / ".stamps"
    stamps.mkdir(parents=True, exist_ok=True)

    toolchain = Toolchain(prefix / "toolchain", args.zig.resolve(), target)
    toolchain.write()
    identity = toolchain.identity()
    tools = {"nasm": host / "bin" / "nasm"}

    hashes: dict[str, str] = {}
    for name, recipe, needs in steps:
        entry = lock[name]
        is_host = entry.get("host", False)
        step_prefix = host if is_host else prefix
        step_stamps = (host / ".stamps") if is_host else stamps
        step_stamps.mkdir(parents=True, exist_ok=True)
        hashes[name] = step_hash(name, entry, recipe, "host" if is_host else identity,
                                 [hashes[n] for n in needs])
        stamp = step_stamps / f"{name}.json"
        if stamp.exists() and json.loads(stamp.read_text()).get("hash") == hashes[name]:
            continue
        remove_installed(step_prefix, stamp)
        archive = fetch(entry, downloads)
        work = builds / name
        shutil.rmtree(work, ignore_errors=True)
        (work / "src").mkdir(parents=True)
        stage = work / "stage"
        logfile = builds / f"{name}.log"
        logfile.unlink(missing_ok=True)
        log(f"building {name} {entry['version']} for {'the build machine' if is_host else target.triple} "
            f"(log: {logfile})")
        started = time.monotonic()
        src = extract(archive, work / "src")
        b = Build(name, entry, src, work, step_prefix, stage, toolchain, target, args.jobs, logfile, tools)
        recipe(b)
        files = install_stage(stage / str(step_prefix).lstrip("/"), step_prefix)
        stamp.write_text(json.dumps({"hash": hashes[name], "version": entry["version"], "files": files}, indent=1))
        shutil.rmtree(work, ignore_errors=True)
        log(f"{name} built in {time.monotonic() - started:.0f} s")

    (prefix / "deps.lock").write_bytes(lock_bytes)
    print(prefix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
