# The two host modules for GNU Octave, built beside the rest when Octave's
# mkoctfile is installed: cellcost.mex and densedisp.mex, with their help
# files, at the top of the build folder (addpath it in Octave).
#
# Sets DENSECORR_OCTAVE_MODULES (ON when the modules are built) and
# DENSECORR_OCTAVE_CLI (the interpreter the tests run) for tests/octave.cmake.

set(DENSECORR_OCTAVE_MODULES OFF)
set(DENSECORR_OCTAVE_SKIP_REASON "")

find_program(DENSECORR_MKOCTFILE NAMES mkoctfile)
find_program(DENSECORR_OCTAVE_CLI NAMES octave-cli octave)

if(DENSECORR_SANITIZE)
  # A sanitized static library cannot be loaded into an unsanitized Octave
  # without preloading the sanitizer runtime.
  set(DENSECORR_OCTAVE_SKIP_REASON "DENSECORR_SANITIZE is ON")
elseif(NOT DENSECORR_MKOCTFILE)
  set(DENSECORR_OCTAVE_SKIP_REASON "mkoctfile not found")
else()
  execute_process(COMMAND ${DENSECORR_MKOCTFILE} -p OCTINCLUDEDIR
                  OUTPUT_VARIABLE octave_include_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE octave_include_result)
  execute_process(COMMAND ${DENSECORR_MKOCTFILE} -p OCTLIBDIR
                  OUTPUT_VARIABLE octave_lib_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT octave_include_result EQUAL 0 OR NOT EXISTS "${octave_include_dir}/mex.h")
    set(DENSECORR_OCTAVE_SKIP_REASON "mex.h not found through mkoctfile")
  endif()
endif()

if(DENSECORR_OCTAVE_SKIP_REASON)
  message(STATUS "Octave modules: skipped (${DENSECORR_OCTAVE_SKIP_REASON})")
else()
  # Octave resolves the host symbols when it loads a module; linking the
  # interpreter library as well keeps the modules buildable under
  # --no-undefined style link flags.
  find_library(DENSECORR_OCTINTERP_LIBRARY NAMES octinterp HINTS "${octave_lib_dir}" NO_DEFAULT_PATH)
  foreach(module IN ITEMS cellcost densedisp)
    add_library(${module}_mex MODULE ${module}/${module}_mex.cpp)
    target_include_directories(${module}_mex PRIVATE "${octave_include_dir}")
    target_link_libraries(${module}_mex PRIVATE densecorr)
    if(DENSECORR_OCTINTERP_LIBRARY)
      target_link_libraries(${module}_mex PRIVATE "${DENSECORR_OCTINTERP_LIBRARY}")
    endif()
    # The host finds a module by its file name: <module>.mex.
    set_target_properties(${module}_mex PROPERTIES
      OUTPUT_NAME ${module} PREFIX "" SUFFIX ".mex"
      LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
    if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
      # Bind the module's own symbols inside it, as mkoctfile does: both
      # modules carry the core, and neither should resolve into the other.
      target_link_options(${module}_mex PRIVATE -Wl,-Bsymbolic)
    endif()
    # `help <module>` reads the help file beside the module; calls still
    # reach the module, which the host prefers over a script of its name.
    configure_file(${module}/${module}.m "${CMAKE_BINARY_DIR}/${module}.m" COPYONLY)
  endforeach()
  # The matcher's gateway lives in mex/ (raises host errors with identifiers).
  add_library(densematch_mex MODULE mex/densematch_mex.cpp)
  target_include_directories(densematch_mex PRIVATE "${octave_include_dir}")
  target_link_libraries(densematch_mex PRIVATE densecorr)
  if(DENSECORR_OCTINTERP_LIBRARY)
    target_link_libraries(densematch_mex PRIVATE "${DENSECORR_OCTINTERP_LIBRARY}")
  endif()
  set_target_properties(densematch_mex PROPERTIES
    OUTPUT_NAME densematch PREFIX "" SUFFIX ".mex"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(densematch_mex PRIVATE -Wl,-Bsymbolic)
  endif()
  configure_file(mex/densematch.m "${CMAKE_BINARY_DIR}/densematch.m" COPYONLY)
  # The descriptor's gateway, likewise in mex/.
  add_library(densedesc_mex MODULE mex/densedesc_mex.cpp)
  target_include_directories(densedesc_mex PRIVATE "${octave_include_dir}")
  target_link_libraries(densedesc_mex PRIVATE densecorr)
  if(DENSECORR_OCTINTERP_LIBRARY)
    target_link_libraries(densedesc_mex PRIVATE "${DENSECORR_OCTINTERP_LIBRARY}")
  endif()
  set_target_properties(densedesc_mex PROPERTIES
    OUTPUT_NAME densedesc PREFIX "" SUFFIX ".mex"
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_options(densedesc_mex PRIVATE -Wl,-Bsymbolic)
  endif()
  configure_file(mex/densedesc.m "${CMAKE_BINARY_DIR}/densedesc.m" COPYONLY)
  set(DENSECORR_OCTAVE_MODULES ON)
  message(STATUS "Octave modules: cellcost.mex, densedisp.mex")
endif()
