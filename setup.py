"""Builds the extension fpmatch._fpmatch with the project's CMake (metadata
in pyproject.toml). Used by `pip install --no-build-isolation .`.

CMAKE_BUILD_PARALLEL_LEVEL sets the build jobs (default: all cores);
FPMATCH_CMAKE_ARGS adds CMake arguments.
"""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    """The version of the FPMATCH_VERSION_* lines of the public header, read
    as CMakeLists.txt reads them."""
    header = ROOT / "include" / "fpmatch.h"
    parts = {}
    for line in header.read_text().splitlines():
        m = re.fullmatch(r'#define FPMATCH_VERSION_(MAJOR|MINOR|PATCH|STRING) +"?([0-9.]+)"?', line.rstrip())
        if m:
            parts[m.group(1)] = m.group(2)
    numbers = ".".join(parts.get(p, "?") for p in ("MAJOR", "MINOR", "PATCH"))
    if parts.get("STRING") != numbers:
        raise RuntimeError(f"{header}: FPMATCH_VERSION_STRING {parts.get('STRING')!r} is not "
                           f"FPMATCH_VERSION_MAJOR.MINOR.PATCH ({numbers})")
    return numbers


def pybind11_cmake_args() -> list:
    """pybind11's CMake files from the pybind11 module when it has them (a
    build environment from PyPI); otherwise CMake finds Debian's pybind11-dev."""
    try:
        import pybind11
    except ImportError:
        return []
    folder = Path(pybind11.get_cmake_dir())
    return [f"-Dpybind11_DIR={folder}"] if (folder / "pybind11Config.cmake").is_file() else []


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DFPMATCH_BUILD_PYTHON=ON",
            "-DFPMATCH_BUILD_TESTS=OFF",
            "-DFPMATCH_BUILD_TOOLS=OFF",
            "-DFPMATCH_BUILD_JAVA=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ] + pybind11_cmake_args() + shlex.split(os.environ.get("FPMATCH_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "fpmatch_python", "-j", jobs], check=True)
        built = sorted((build_dir / "python" / "fpmatch").glob("_fpmatch*.so"))
        if not built:
            raise RuntimeError("the CMake build did not produce fpmatch/_fpmatch*.so (is pybind11-dev installed?)")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built[0]), str(target))
        # The shared libraries the extension links (libfpmatch-id and
        # libfpmatch), found beside it through its RPATH $ORIGIN.
        for lib in sorted(built[0].parent.glob("libfpmatch*.so.*")):
            self.copy_file(str(lib), str(target.parent / lib.name))


setup(
    version=project_version(),
    ext_modules=[Extension("fpmatch._fpmatch", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Beside the CMake build folder, not in it.
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
