# The release archives, made by a build of their own (DIST=ON): for each
# architecture, the static programs built in a folder of their own, then
# installed and packed by pack.cmake into release/.
#
# Each pair is Debian's name for the architecture, which names the archive,
# and its compiler's triple.
set(archs amd64:x86_64-linux-gnu arm64:aarch64-linux-gnu)
set(stage ${CMAKE_BINARY_DIR}/stage)
set(steps COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage})
foreach(pair IN LISTS archs)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 arch)
  list(GET pair 1 triple)
  set(dir ${CMAKE_BINARY_DIR}/${arch})
  # Configured afresh each time, without the caller's flags, so that
  # neither an earlier run nor the environment reaches the programs.
  list(APPEND steps
    COMMAND ${CMAKE_COMMAND} -E env --unset=CFLAGS --unset=CXXFLAGS --unset=LDFLAGS
            ${CMAKE_COMMAND} --fresh -S ${PROJECT_SOURCE_DIR} -B ${dir} -G ${CMAKE_GENERATOR}
            --toolchain ${PROJECT_SOURCE_DIR}/cmake/musl.cmake -DCROSS_TRIPLE=${triple}
            -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DWERROR=ON
    COMMAND ${CMAKE_COMMAND} --build ${dir}
    COMMAND ${CMAKE_COMMAND} --install ${dir} --strip
            --prefix ${stage}/${PROJECT_NAME}-${PROJECT_VERSION}-${arch}-linux)
endforeach()
add_custom_target(dist ALL ${steps}
  COMMAND ${CMAKE_COMMAND} -Dsrc=${PROJECT_SOURCE_DIR} -Dstage=${stage}
          -Dout=${CMAKE_BINARY_DIR}/release -P ${PROJECT_SOURCE_DIR}/cmake/pack.cmake
  USES_TERMINAL VERBATIM)
