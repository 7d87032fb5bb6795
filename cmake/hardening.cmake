# The gateways built on the host adapter (tests/host_adapter: a stand-in for
# the host's interface over plain memory), for the unit tests and fuzzing,
# and, with DENSECORR_FUZZ, the libFuzzer targets.
#
#   densecorr_host_adapter            the adapter
#   densecorr_<module>_on_adapter     every module of DENSECORR_MEX_MODULES,
#                                     built only where a test or fuzz target
#                                     links it (the adapter need not offer
#                                     every host call a new gateway makes)
#   fuzz_<module>                     every module of DENSECORR_FUZZ_MODULES

set(densecorr_adapter_dir ${PROJECT_SOURCE_DIR}/tests/host_adapter)

add_library(densecorr_host_adapter STATIC EXCLUDE_FROM_ALL
            ${densecorr_adapter_dir}/host_adapter.cpp)
target_include_directories(densecorr_host_adapter PUBLIC ${densecorr_adapter_dir})
target_link_libraries(densecorr_host_adapter PRIVATE densecorr_flags)

foreach(module IN LISTS DENSECORR_MEX_MODULES)
  add_library(densecorr_${module}_on_adapter STATIC EXCLUDE_FROM_ALL
              ${PROJECT_SOURCE_DIR}/mex/${module}_mex.cpp)
  # The adapter's mex.h must win over any host's; the rename lets every
  # entry point share one binary.
  target_include_directories(densecorr_${module}_on_adapter BEFORE PRIVATE
                             ${densecorr_adapter_dir})
  target_compile_definitions(densecorr_${module}_on_adapter PRIVATE
                             mexFunction=densecorr_${module}_mex)
  target_link_libraries(densecorr_${module}_on_adapter PUBLIC densecorr densecorr_host_adapter
                        PRIVATE densecorr_flags)
endforeach()

if(DENSECORR_FUZZ)
  # Gateways with a fuzz target fuzz/fuzz_<module>.cpp. The call builder and
  # its oracle know all of them, so every gateway goes into every target.
  set(DENSECORR_FUZZ_MODULES cellcost densedisp densedesc densematch)
  add_library(densecorr_fuzz_calls STATIC ${PROJECT_SOURCE_DIR}/fuzz/call_builder.cpp)
  target_include_directories(densecorr_fuzz_calls PUBLIC ${PROJECT_SOURCE_DIR}/fuzz)
  target_link_libraries(densecorr_fuzz_calls PRIVATE densecorr_flags)
  foreach(module IN LISTS DENSECORR_FUZZ_MODULES)
    target_link_libraries(densecorr_fuzz_calls PUBLIC densecorr_${module}_on_adapter)
  endforeach()
  foreach(module IN LISTS DENSECORR_FUZZ_MODULES)
    add_executable(fuzz_${module} ${PROJECT_SOURCE_DIR}/fuzz/fuzz_${module}.cpp)
    target_link_libraries(fuzz_${module} PRIVATE densecorr_fuzz_calls densecorr_flags)
    target_link_options(fuzz_${module} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()
