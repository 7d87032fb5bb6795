"""Builds densecorr._core from the repository's C++ sources.

The extension compiles the core's sources itself, with the flags the CMake
build gives them: floating-point contraction off everywhere (results are
bit-exact only without fused multiply-adds), OpenMP, and the per-instruction-set
kernel files with their own -m flags, chosen at run time by the dispatcher.
Nothing is downloaded: pybind11 and numpy come from the system.

Install from the repository only (the sources live beside this folder):
    pip install --no-build-isolation ./python
"""
import glob
import os
import platform

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The core's sources and the instruction set of each kernel file, from the
# one list every build reads.
SOURCE_LIST = os.path.join(ROOT, "cmake", "core_sources.txt")

# Flags per instruction set, as CMakeLists.txt gives them. No kernel file is
# compiled with -mfma; contraction stays off for all of them.
ISA_FLAGS = {
    "avx2": ["-mavx2"],
    "avx512": ["-mavx512f", "-mavx512vl"],
    # Lets the portable square root vectorise (the root itself is unchanged);
    # the file's vector types never cross its boundary.
    "portable": ["-fno-math-errno", "-Wno-psabi"],
}
X86_ONLY = ("avx2", "avx512")
# Python's own compile flags come first and may hold -fwrapv (Debian's do): it
# would keep GCC from vectorising loops that index with signed sums (the
# refinement's box filters and derivatives ran at a third of their speed,
# 0.14 against 0.125 s per 320 x 240 match); the CMake build has no such flag.
COMMON_FLAGS = ["-O3", "-DNDEBUG", "-Wall", "-Wextra", "-ffp-contract=off", "-fopenmp",
                "-fno-wrapv"]


def is_x86_64():
    return platform.machine().lower() in ("x86_64", "amd64")


def read_source_list():
    """[(path relative to the repository, instruction set or '')] for this machine."""
    entries = []
    with open(SOURCE_LIST) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            isa = words[1] if len(words) > 1 else ""
            if isa in X86_ONLY and not is_x86_64():
                continue
            entries.append((words[0], isa))
    return entries


HEADERS = sorted(glob.glob(os.path.join(ROOT, "*", "*.h")))
HEADER_TIME = max((os.path.getmtime(p) for p in HEADERS), default=0.0)


def needs_recompile(obj, src):
    """Rebuild an object older than its source or than any core header."""
    built = os.path.getmtime(obj)
    return built < os.path.getmtime(src) or built < HEADER_TIME


SOURCES = read_source_list()
FILE_FLAGS = {os.path.join(ROOT, path): ISA_FLAGS.get(isa, []) for path, isa in SOURCES}
# describe() and match() exist in builds from a tree with the matcher.
HAS_MATCHER = {"densedesc/dense_descriptor.cpp", "densematch/match_images.cpp"} <= {
    path for path, _ in SOURCES
}


class BuildExt(build_ext):
    """Adds each core file's own flags at the moment it is compiled."""

    def build_extensions(self):
        compile_one = self.compiler._compile

        def compile_with_file_flags(obj, src, ext, cc_args, extra_postargs, pp_opts):
            extra = FILE_FLAGS.get(os.path.abspath(os.path.join(HERE, src)), [])
            return compile_one(obj, src, ext, cc_args, list(extra_postargs) + extra, pp_opts)

        self.compiler._compile = compile_with_file_flags
        super().build_extensions()


macros = []
if is_x86_64():
    macros.append(("DENSECORR_X86_KERNELS", None))  # the dispatcher offers the x86 kernels
if HAS_MATCHER:
    macros.append(("DENSECORR_PY_MATCHER", None))

# setuptools wants source paths relative to this folder.
ext = Pybind11Extension(
    "densecorr._core",
    ["src/core_module.cpp"] + ["../" + path for path, _ in SOURCES],
    include_dirs=[ROOT],
    # A changed header relinks the extension (and recompiles, see needs_recompile).
    depends=["../" + os.path.relpath(p, ROOT) for p in HEADERS],
    define_macros=macros,
    extra_compile_args=COMMON_FLAGS,
    extra_link_args=["-fopenmp"],
    cxx_std=17,
)

# Two compile jobs at most unless DENSECORR_BUILD_JOBS says otherwise.
ParallelCompile("DENSECORR_BUILD_JOBS", default=2, needs_recompile=needs_recompile).install()

setup(ext_modules=[ext], cmdclass={"build_ext": BuildExt})
