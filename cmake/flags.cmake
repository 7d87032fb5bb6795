# densecorr_flags: the compile and link flags of every target this project
# builds (never of the dependencies it builds from source). Targets link it
# PRIVATE; nothing is set for the whole directory tree.

add_library(densecorr_flags INTERFACE)

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # Results are bit-exact only if no multiply-add is ever fused and no float
  # operation is reordered: contraction off everywhere, never -ffast-math.
  target_compile_options(densecorr_flags INTERFACE -Wall -Wextra -ffp-contract=off)
elseif(MSVC)
  # No contraction under /fp:precise on MSVC's default instruction set.
  target_compile_options(densecorr_flags INTERFACE /W4 /fp:precise)
endif()

if(DENSECORR_OPENMP)
  find_package(OpenMP COMPONENTS CXX)
  if(NOT OpenMP_CXX_FOUND)
    message(FATAL_ERROR "OpenMP not found for ${CMAKE_CXX_COMPILER}: install its OpenMP "
                        "runtime (libgomp, or libomp-dev for clang), or configure with "
                        "-DDENSECORR_OPENMP=OFF for a serial build with the same results")
  endif()
elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  # The serial build runs the same loops; their OpenMP pragmas are then unused.
  target_compile_options(densecorr_flags INTERFACE -Wno-unknown-pragmas)
endif()

if(DENSECORR_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    message(FATAL_ERROR "DENSECORR_SANITIZE needs GCC or Clang")
  endif()
  target_compile_options(densecorr_flags INTERFACE -fsanitize=address,undefined
                         -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(densecorr_flags INTERFACE -fsanitize=address,undefined)
endif()

if(DENSECORR_FUZZ)
  # libFuzzer comes with clang; it only makes sense on top of the sanitizers,
  # which turn a silent fault into a finding.
  if(NOT DENSECORR_SANITIZE OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "DENSECORR_FUZZ needs clang and DENSECORR_SANITIZE=ON "
                        "(cmake --preset sanitize or --preset fuzz)")
  endif()
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
  ]] DENSECORR_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NOT DENSECORR_HAVE_LIBFUZZER)
    message(FATAL_ERROR "DENSECORR_FUZZ: clang cannot link -fsanitize=fuzzer here "
                        "(Debian: libclang-rt-dev)")
  endif()
  # Coverage feedback from everything a fuzzed call runs through.
  target_compile_options(densecorr_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()
