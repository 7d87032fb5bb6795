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
import sysconfig

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# The core library's translation units, as CMakeLists.txt lists them for the
# `densecorr` target. When the tree carries one source list of the core for
# every build system, read it here instead.
CORE_SOURCES = [
    "common/scratch.cpp",
    "common/memory_guard.cpp",
    "common/simd_dispatch.cpp",
    "common/simd_kernels_portable.cpp",
    "cellcost/pyramid_match.cpp",
    "densedisp/pixel_match.cpp",
]
X86_KERNEL_SOURCES = ["common/simd_kernels_avx2.cpp", "common/simd_kernels_avx512.cpp"]

# Per-file flags, as CMakeLists.txt sets them. No kernel file gets -mfma.
X86_FILE_FLAGS = {
    "common/simd_kernels_avx2.cpp": ["-mavx2"],
    "common/simd_kernels_avx512.cpp": ["-mavx512f", "-mavx512vl"],
    "common/simd_dispatch.cpp": ["-DDENSECORR_X86_KERNELS"],
}
FILE_FLAGS = {
    # Lets the portable square root vectorise (the root itself is unchanged);
    # the file's vector types never cross its boundary.
    "common/simd_kernels_portable.cpp": ["-fno-math-errno", "-Wno-psabi"],
}
COMMON_FLAGS = ["-O3", "-DNDEBUG", "-Wall", "-Wextra", "-ffp-contract=off", "-fopenmp"]


def is_x86_64():
    return platform.machine().lower() in ("x86_64", "amd64")


def matcher_sources():
    """The descriptor's and the matcher's sources, once they exist."""
    found = []
    for folder in ("densedesc", "densematch"):
        found += sorted(
            os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, folder, "*.cpp"))
        )
    return found


def newest_header_time():
    times = [
        os.path.getmtime(p)
        for p in glob.glob(os.path.join(ROOT, "*", "*.h"))
        if os.path.isfile(p)
    ]
    return max(times, default=0.0)


HEADER_TIME = newest_header_time()


def needs_recompile(obj, src):
    """Rebuild an object older than its source or than any core header."""
    built = os.path.getmtime(obj)
    return built < os.path.getmtime(src) or built < HEADER_TIME


class BuildExt(build_ext):
    """Adds each core file's own flags at the moment it is compiled."""

    def build_extensions(self):
        compile_one = self.compiler._compile
        flags = dict(FILE_FLAGS)
        if is_x86_64():
            flags.update(X86_FILE_FLAGS)
        by_path = {os.path.join(ROOT, rel): extra for rel, extra in flags.items()}

        def compile_with_file_flags(obj, src, ext, cc_args, extra_postargs, pp_opts):
            extra = by_path.get(os.path.abspath(os.path.join(HERE, src)), [])
            return compile_one(obj, src, ext, cc_args, list(extra_postargs) + extra, pp_opts)

        self.compiler._compile = compile_with_file_flags
        super().build_extensions()


sources = CORE_SOURCES + (X86_KERNEL_SOURCES if is_x86_64() else [])
extra = matcher_sources()
macros = [("DENSECORR_PY_MATCHER", "1")] if extra else []

# setuptools wants source paths relative to this folder.
ext = Pybind11Extension(
    "densecorr._core",
    ["src/core_module.cpp"] + [os.path.join("..", s) for s in sources + extra],
    include_dirs=[ROOT],
    define_macros=macros,
    extra_compile_args=COMMON_FLAGS,
    extra_link_args=["-fopenmp"],
    cxx_std=17,
)

# Two compile jobs at most unless DENSECORR_BUILD_JOBS says otherwise.
ParallelCompile("DENSECORR_BUILD_JOBS", default=2, needs_recompile=needs_recompile).install()

setup(ext_modules=[ext], cmdclass={"build_ext": BuildExt})
