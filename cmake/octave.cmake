# Resolves DENSECORR_OCTAVE (ON, OFF or AUTO) into DENSECORR_OCTAVE_BUILD,
# ON when the host modules are built, and finds what they and their tests
# need:
#   DENSECORR_OCTAVE_INCLUDE_DIR  the folder of Octave's mex.h
#   DENSECORR_OCTINTERP_LIBRARY   the interpreter library (may be empty)
#   DENSECORR_OCTAVE_CLI          the interpreter the tests run
#   DENSECORR_OCTAVE_SKIP_REASON  why AUTO turned the modules off; the tests
#                                 then report themselves skipped. Empty when
#                                 the modules were switched off on purpose.

set(DENSECORR_OCTAVE_BUILD OFF)
set(DENSECORR_OCTAVE_SKIP_REASON "")

string(TOUPPER "${DENSECORR_OCTAVE}" octave_mode)
if(octave_mode STREQUAL "AUTO" AND DENSECORR_SANITIZE)
  # A sanitized module cannot be loaded into an unsanitized Octave without
  # preloading the sanitizer runtimes (fuzz/octave_checks does that, with
  # DENSECORR_OCTAVE=ON).
  set(DENSECORR_OCTAVE_SKIP_REASON "sanitized build")
elseif(octave_mode STREQUAL "AUTO" OR octave_mode STREQUAL "ON")
  find_program(DENSECORR_MKOCTFILE NAMES mkoctfile)
  find_program(DENSECORR_OCTAVE_CLI NAMES octave-cli octave)
  set(octave_problem "")
  if(NOT DENSECORR_MKOCTFILE)
    set(octave_problem "mkoctfile not found (Debian: liboctave-dev)")
  elseif(NOT DENSECORR_OCTAVE_CLI)
    set(octave_problem "octave-cli not found (Debian: octave)")
  else()
    execute_process(COMMAND ${DENSECORR_MKOCTFILE} -p OCTINCLUDEDIR
                    OUTPUT_VARIABLE DENSECORR_OCTAVE_INCLUDE_DIR
                    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE include_result)
    execute_process(COMMAND ${DENSECORR_MKOCTFILE} -p OCTLIBDIR
                    OUTPUT_VARIABLE octave_lib_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    find_file(DENSECORR_OCTAVE_MEX_H mex.h PATHS "${DENSECORR_OCTAVE_INCLUDE_DIR}"
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT include_result EQUAL 0 OR NOT DENSECORR_OCTAVE_MEX_H)
      set(octave_problem "mex.h not found through mkoctfile")
    endif()
  endif()
  if(octave_problem STREQUAL "")
    # Octave resolves the host symbols when it loads a module; linking the
    # interpreter library as well keeps the modules buildable under
    # --no-undefined style link flags.
    find_library(DENSECORR_OCTINTERP_LIBRARY NAMES octinterp HINTS "${octave_lib_dir}"
                 NO_DEFAULT_PATH)
    set(DENSECORR_OCTAVE_BUILD ON)
  elseif(octave_mode STREQUAL "ON")
    message(FATAL_ERROR "DENSECORR_OCTAVE=ON: ${octave_problem}")
  else()
    set(DENSECORR_OCTAVE_SKIP_REASON "${octave_problem}")
  endif()
elseif(NOT octave_mode STREQUAL "OFF")
  message(FATAL_ERROR "DENSECORR_OCTAVE must be ON, OFF or AUTO, not '${DENSECORR_OCTAVE}'")
endif()

if(DENSECORR_OCTAVE_BUILD)
  message(STATUS "Octave: ${DENSECORR_MKOCTFILE}")
elseif(DENSECORR_OCTAVE_SKIP_REASON)
  message(STATUS "Octave modules: skipped (${DENSECORR_OCTAVE_SKIP_REASON})")
else()
  message(STATUS "Octave modules: off")
endif()
