# The gateways built on the host adapter (tests/host_adapter: a stand-in for
# the host's interface over plain memory), for unit tests and fuzzing only,
# and the libFuzzer targets of the clang sanitizer build.
#
# Sets DENSECORR_FUZZ (ON when the fuzz targets are built) and, per module
# whose gateway source exists, the target densecorr_<module>_on_adapter.

include(CheckCXXSourceCompiles)

set(densecorr_adapter_dir ${CMAKE_CURRENT_SOURCE_DIR}/tests/host_adapter)

# libFuzzer comes with clang; it only makes sense on top of the sanitizers,
# which turn a silent fault into a finding.
set(densecorr_fuzz_default OFF)
if(DENSECORR_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer")
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
  ]] DENSECORR_HAVE_LIBFUZZER)
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(DENSECORR_HAVE_LIBFUZZER)
    set(densecorr_fuzz_default ON)
  endif()
endif()
option(DENSECORR_FUZZ "Build the libFuzzer targets (clang with DENSECORR_SANITIZE)"
       ${densecorr_fuzz_default})

add_library(densecorr_host_adapter STATIC ${densecorr_adapter_dir}/host_adapter.cpp)
target_include_directories(densecorr_host_adapter PUBLIC ${densecorr_adapter_dir})

foreach(module IN ITEMS cellcost densedisp)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/mex/${module}_mex.cpp)
    add_library(densecorr_${module}_on_adapter STATIC mex/${module}_mex.cpp)
    # The adapter's mex.h must win over any host's; the rename lets both
    # entry points share one binary.
    target_include_directories(densecorr_${module}_on_adapter BEFORE PRIVATE
                               ${densecorr_adapter_dir})
    target_compile_definitions(densecorr_${module}_on_adapter PRIVATE
                               mexFunction=densecorr_${module}_mex)
    target_link_libraries(densecorr_${module}_on_adapter PUBLIC densecorr densecorr_host_adapter)
  endif()
endforeach()

if(DENSECORR_FUZZ)
  # Coverage feedback from everything a fuzzed call runs through.
  foreach(target IN ITEMS densecorr densecorr_host_adapter densecorr_cellcost_on_adapter
                          densecorr_densedisp_on_adapter)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
    endif()
  endforeach()
  # The call builder and oracle know both modules, so both gateways go in.
  if(TARGET densecorr_cellcost_on_adapter AND TARGET densecorr_densedisp_on_adapter)
    add_library(densecorr_fuzz_calls STATIC fuzz/call_builder.cpp)
    target_compile_options(densecorr_fuzz_calls PRIVATE -fsanitize=fuzzer-no-link)
    target_include_directories(densecorr_fuzz_calls PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)
    target_link_libraries(densecorr_fuzz_calls PUBLIC densecorr_cellcost_on_adapter
                                                      densecorr_densedisp_on_adapter)
    foreach(module IN ITEMS cellcost densedisp)
      add_executable(fuzz_${module} fuzz/fuzz_${module}.cpp)
      target_compile_options(fuzz_${module} PRIVATE -fsanitize=fuzzer)
      target_link_options(fuzz_${module} PRIVATE -fsanitize=fuzzer)
      target_link_libraries(fuzz_${module} PRIVATE densecorr_fuzz_calls)
    endforeach()
  endif()
endif()
