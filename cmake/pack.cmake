# cmake -Dsrc=DIR -Dstage=DIR -Dout=DIR -P pack.cmake
#
# Packs each folder in stage, as the build installed it (bin/,
# share/man/man1/), into out/FOLDER.tar.gz, with the README and the
# copyright file at its top in place of share/doc, and writes their SHA-256
# sums to out/SHA256SUMS for sha256sum -c. Runs on the same sources give
# the same bytes, wherever and whenever they run: names sorted, owner and
# group root, modes from the kind of file alone (no set-id bit that a
# folder inherits), every time the date of the changelog's first entry,
# and gzip without a name or time stamp.
cmake_minimum_required(VERSION 3.25)
file(STRINGS ${src}/debian/changelog signoff REGEX "^ -- " LIMIT_COUNT 1)
if(NOT signoff MATCHES ">  (.+)$")
  message(FATAL_ERROR "debian/changelog: its first entry has no date")
endif()
set(date "${CMAKE_MATCH_1}")
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out})
file(GLOB dirs LIST_DIRECTORIES true RELATIVE ${stage} ${stage}/*)
list(SORT dirs)
set(sums "")
foreach(d IN LISTS dirs)
  file(REMOVE_RECURSE ${stage}/${d}/share/doc)
  file(COPY_FILE ${src}/README.md ${stage}/${d}/README.md)
  file(COPY_FILE ${src}/debian/copyright ${stage}/${d}/copyright)
  execute_process(COMMAND tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner
                          --mtime=${date} --mode=a-st,u=rwX,go=rX -cf - -C ${stage} ${d}
                  COMMAND gzip -9n
                  OUTPUT_FILE ${out}/${d}.tar.gz COMMAND_ERROR_IS_FATAL ANY)
  file(SHA256 ${out}/${d}.tar.gz sum)
  string(APPEND sums "${sum}  ${d}.tar.gz\n")
endforeach()
file(WRITE ${out}/SHA256SUMS "${sums}")
