# The host-free core, from the one source list cmake/core_sources.txt:
#
#   densecorr_core   OBJECT library: every core source but the dispatch
#   densecorr        STATIC library: densecorr_core + simd/dispatch.cpp, which
#                    picks the widest kernels the processor supports
#
# Sets DENSECORR_X86_KERNELS (ON when the avx2/avx512 kernel files are built)
# and DENSECORR_KERNEL_PATHS (the instruction sets a build can be forced to).

# Kernel files carry their instruction set: one build runs on any x86-64 and
# picks the widest kernels the processor supports at run time. No kernel
# file is compiled with -mfma, and contraction stays off for all of them.
set(DENSECORR_X86_KERNELS OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND
   CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  set(DENSECORR_X86_KERNELS ON)
endif()
set(DENSECORR_KERNEL_PATHS portable)
if(DENSECORR_X86_KERNELS)
  list(APPEND DENSECORR_KERNEL_PATHS avx2 avx512)
endif()

# One file a line; a second word names the instruction set.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/core_sources.txt core_source_lines REGEX "^[^#]")
# A file added to the list reconfigures the build.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/core_sources.txt)
set(core_sources "")
foreach(line IN LISTS core_source_lines)
  string(REGEX MATCHALL "[^ \t]+" words "${line}")
  list(GET words 0 file)
  set(isa "")
  list(LENGTH words n_words)
  if(n_words GREATER 1)
    list(GET words 1 isa)
  endif()
  if(isa STREQUAL "avx2" OR isa STREQUAL "avx512")
    if(NOT DENSECORR_X86_KERNELS)
      continue()
    endif()
    if(isa STREQUAL "avx2")
      set_source_files_properties(${file} PROPERTIES COMPILE_OPTIONS "-mavx2")
    else()
      set_source_files_properties(${file} PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512vl")
    endif()
  elseif(isa STREQUAL "portable")
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
      # -fno-math-errno lets the portable square root vectorise (the root
      # itself is unchanged); the file's vector types never cross its
      # boundary, so the compilers' note on their calling convention does
      # not apply.
      set_source_files_properties(${file} PROPERTIES COMPILE_OPTIONS "-fno-math-errno;-Wno-psabi")
    endif()
  elseif(NOT isa STREQUAL "")
    message(FATAL_ERROR "cmake/core_sources.txt: unknown instruction set '${isa}' for ${file}")
  endif()
  list(APPEND core_sources ${file})
endforeach()
# The dispatch is the one file a forced build replaces (mex/CMakeLists.txt).
set(DENSECORR_DISPATCH_SOURCE simd/dispatch.cpp)
list(REMOVE_ITEM core_sources ${DENSECORR_DISPATCH_SOURCE})

add_library(densecorr_core OBJECT ${core_sources})
target_include_directories(densecorr_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(densecorr_core PRIVATE densecorr_flags)
if(DENSECORR_X86_KERNELS)
  target_compile_definitions(densecorr_core PUBLIC DENSECORR_X86_KERNELS)
endif()
if(DENSECORR_OPENMP)
  target_link_libraries(densecorr_core PUBLIC OpenMP::OpenMP_CXX)
endif()

add_library(densecorr STATIC ${DENSECORR_DISPATCH_SOURCE})
target_link_libraries(densecorr PUBLIC densecorr_core PRIVATE densecorr_flags)
