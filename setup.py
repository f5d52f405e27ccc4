"""Builds the extension corlune._core from the library's sources (everything
in src/ but the programs' drivers), with the flags the CMake build uses: C++17,
no fused or reordered floating-point operations (the results are bit-exact
by design), optimised. FFTW 3, libsndfile and zlib are found with
pkg-config. The rest of the package is declared in pyproject.toml."""

import glob
import os
import re
import subprocess

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARIES = ("fftw3", "sndfile", "zlib")


def pkg_config(option):
    out = subprocess.run(["pkg-config", option, *LIBRARIES], check=True,
                         capture_output=True, text=True).stdout
    return out.split()


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt")) as f:
        return re.search(r"project\(corlune VERSION ([0-9.]+)", f.read()).group(1)


def library_sources():
    """src/*.cpp but the programs' drivers (corlune_main.cpp, corlune_score.cpp)."""
    sources = sorted(glob.glob("src/*.cpp"))
    return [s for s in sources if not os.path.basename(s).startswith("corlune_")]


ParallelCompile("CORLUNE_BUILD_JOBS", default=os.cpu_count() or 1).install()
flags = pkg_config("--cflags")
core = Pybind11Extension(
    "corlune._core",
    ["python/corlune/_core.cpp", *library_sources()],
    include_dirs=["src"] + [f[2:] for f in flags if f.startswith("-I")],
    libraries=[f[2:] for f in pkg_config("--libs") if f.startswith("-l")] + ["pthread"],
    library_dirs=[f[2:] for f in pkg_config("--libs") if f.startswith("-L")],
    extra_compile_args=["-ffp-contract=off", "-fno-fast-math", "-O3", "-DNDEBUG"],
    cxx_std=17,
)
setup(version=project_version(), ext_modules=[core])
