# cmake -Dsrc=FILE -Ddst=DIR/NAME.gz [-Dversion=V] -P gzip.cmake
#
# Compresses FILE the way Debian wants installed documentation: best
# compression, and neither name nor time stamp, so that builds agree. A
# manual page gets the project's version on its ".Os toolbox" line, so the
# installed page can never name another release.
cmake_minimum_required(VERSION 3.25)
string(REGEX REPLACE "\\.gz$" "" plain "${dst}")
file(READ "${src}" text)
if(DEFINED version)
  string(REGEX REPLACE "\n\\.Os toolbox\n" "\n.Os toolbox ${version}\n" out "${text}")
  if(out STREQUAL text)
    message(FATAL_ERROR "${src}: no \".Os toolbox\" line")
  endif()
  set(text "${out}")
endif()
file(WRITE "${plain}" "${text}")
execute_process(COMMAND gzip -9nf "${plain}" COMMAND_ERROR_IS_FATAL ANY)
