# Static programs against Debian's musl (package musl-dev, which musl-tools
# brings), by gcc and g++ with musl's specs file in place of the C
# library's headers, start files and libraries. The programs link with the
# C compiler, so -static needs no C++ runtime.
#
# The host's gcc builds for the host; CROSS_TRIPLE (aarch64-linux-gnu) names
# Debian's cross compiler for another architecture, as for cross.cmake,
# and that architecture's musl-dev:ARCH holds its specs file.
if(CROSS_TRIPLE)
  include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
else()
  set(CMAKE_C_COMPILER gcc)
  set(CMAKE_CXX_COMPILER g++)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-multiarch
                  OUTPUT_VARIABLE CMAKE_LIBRARY_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# The checks' test builds read this file again and need the triple too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE)
# Debian puts musl beside glibc under the same triple with musl for gnu:
# x86_64-linux-musl, arm-linux-musleabihf.
string(REPLACE "-gnu" "-musl" musl_triple "${CMAKE_LIBRARY_ARCHITECTURE}")
set(MUSL_SPECS /usr/lib/${musl_triple}/musl-gcc.specs)
if(NOT EXISTS ${MUSL_SPECS})
  message(FATAL_ERROR "${MUSL_SPECS} is missing: apt-get install musl-tools, or musl-dev:ARCH "
                      "for another architecture (musl-dev:arm64)")
endif()
set(CMAKE_C_FLAGS_INIT "-specs=${MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${MUSL_SPECS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# CMAKE_LIBRARY_ARCHITECTURE stays the glibc triple: sigpost reads the
# kernel's signal header from /usr/include/<triple>/asm, which only that
# triple has.
