# Installs the build into a fresh DESTDIR under PREFIX and checks that the files land there.
# Usage: cmake -DBUILD_DIR=<build> -DDESTDIR=<folder, emptied first> -DPREFIX=<absolute prefix>
#              -DBINDIR=<bin dir> -DMANDIR=<man dir> -P check_install.cmake
file(REMOVE_RECURSE "${DESTDIR}")
file(MAKE_DIRECTORY "${DESTDIR}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${DESTDIR}"
                        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()
foreach(path "${PREFIX}/${BINDIR}/korvel" "${PREFIX}/${MANDIR}/man1/korvel.1")
  if(NOT EXISTS "${DESTDIR}${path}")
    message(FATAL_ERROR "not installed: ${DESTDIR}${path}\n${output}")
  endif()
endforeach()
file(REMOVE_RECURSE "${DESTDIR}")
