# A build for another architecture with Debian's cross compilers: set
# CROSS_TRIPLE to the compiler's GNU triple (aarch64-linux-gnu,
# i686-linux-gnu) and, where the build machine cannot run the target's
# programs, CROSS_EMULATOR to the command that can (qemu-aarch64-static -L
# /usr/aarch64-linux-gnu), through which the tests are listed at build time.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR "${CROSS_TRIPLE}")
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
# Debian's multiarch folder (i386-linux-gnu for i686-linux-gnu) holds the
# target's libraries, GoogleTest among them, and its kernel headers, where
# sigpost looks signal names up.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-multiarch
                OUTPUT_VARIABLE CMAKE_LIBRARY_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
if(CROSS_EMULATOR)
  separate_arguments(CMAKE_CROSSCOMPILING_EMULATOR UNIX_COMMAND "${CROSS_EMULATOR}")
endif()
