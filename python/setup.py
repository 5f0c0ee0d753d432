"""Builds the extension module through the project's own CMake build.

The library's fast kernels need per-file compiler flags that only its
CMakeLists sets, so the module is built there (-DTARVOCOIL_PYTHON=ON, the
one target _tarvocoil), from the checkout this folder lies in. Environment:
CMAKE_BUILD_PARALLEL_LEVEL (default 2) and TARVOCOIL_CMAKE_ARGS (extra
arguments for the configure step).
"""
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(TarvoCoil VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if not (ROOT / "include" / "tarvocoil.hpp").exists():
            raise RuntimeError("tarvocoil: build from a checkout of the repository (python/ inside it)")
        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        extra = shlex.split(os.environ.get("TARVOCOIL_CMAKE_ARGS", ""))
        # CMake's cache keeps options: another set of extra arguments gets a
        # build directory of its own instead of inheriting the last one's.
        tag = hashlib.sha1("\0".join(extra).encode()).hexdigest()[:10] if extra else ""
        build_dir = Path(self.build_temp).resolve() / ("cmake-" + tag if tag else "cmake")
        cache = build_dir / "CMakeCache.txt"
        if cache.exists() and f"CMAKE_HOME_DIRECTORY:INTERNAL={ROOT}\n" not in cache.read_text():
            shutil.rmtree(build_dir)  # left by a checkout elsewhere; CMake refuses to reuse it
        args = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTARVOCOIL_PYTHON=ON",
            "-DTARVOCOIL_TESTS=OFF",
            "-DTARVOCOIL_TOOLS=OFF",
            "-DTARVOCOIL_BENCH=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DTARVOCOIL_PYTHON_OUTPUT_DIR={out_dir}",
        ] + extra
        subprocess.run(args, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_tarvocoil", "-j", jobs], check=True)


setup(
    version=project_version(),
    ext_modules=[Extension("tarvocoil._tarvocoil", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
