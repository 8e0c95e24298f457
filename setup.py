"""Builds the native modules with the project's CMake build.

setuptools drives the build (pyproject.toml holds the metadata): the two
extension modules, _vantre and vantre._inspect, are built by CMake for the
interpreter running the build and copied into the wheel with the engine's
C interface (libvantre_capi.so, which the package calls through cffi under
PyPy), and the stub
_vantre.pyi is installed beside _vantre and, so that type checkers find it
(PEP 561 has no py.typed marker for a top-level module), as the stub-only
package _vantre-stubs. Build tools: cmake, a C++20
compiler, libroaring-dev and libboost headers (scripts/setup.sh installs
them on Debian).
"""

import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    """Runs one CMake build for all extensions, then copies each module."""

    def run(self):
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        jobs = os.environ.get("VANTRE_BUILD_JOBS", str(min(os.cpu_count() or 1, 2)))
        subprocess.run(
            [
                "cmake", "-S", ROOT, "-B", build_dir,
                "-DCMAKE_BUILD_TYPE=Release",
                "-DVANTRE_TESTS=OFF",
                f"-DVANTRE_PYTHONS={sys.executable}",
            ],
            check=True,
        )
        subprocess.run(["cmake", "--build", build_dir, "--target", "vantre_py0", "vantre_capi",
                        "-j", jobs], check=True)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        for ext in self.extensions:
            relative = ext.name.replace(".", os.sep) + suffix
            built = os.path.join(build_dir, "python", relative)
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(built, target)
        # The engine's C interface, which the package calls through cffi
        # under PyPy, beside the package's modules.
        package_dir = os.path.dirname(self.get_ext_fullpath("vantre._inspect"))
        shutil.copyfile(os.path.join(build_dir, "python", "vantre", "libvantre_capi.so"),
                        os.path.join(package_dir, "libvantre_capi.so"))


class BuildPy(build_py):
    """Also places the stub of the top-level _vantre module, beside it and
    as the stub-only package _vantre-stubs."""

    def run(self):
        super().run()
        stub = os.path.join(ROOT, "python", "_vantre.pyi")
        self.copy_file(stub, os.path.join(self.build_lib, "_vantre.pyi"))
        self.mkpath(os.path.join(self.build_lib, "_vantre-stubs"))
        self.copy_file(stub, os.path.join(self.build_lib, "_vantre-stubs", "__init__.pyi"))


setup(
    ext_modules=[Extension("_vantre", sources=[]), Extension("vantre._inspect", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "build_py": BuildPy},
    # Beside, not inside, the build directory that scripts/build.sh uses.
    options={"build": {"build_base": "build-wheel"}},
)
