# Installation: the executable and its manual page. Included at the end of CMakeLists.txt.
include(GNUInstallDirs)

install(TARGETS korvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES "${PROJECT_SOURCE_DIR}/doc/korvel.1" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(KORVEL_TESTS)
  find_program(GROFF_EXECUTABLE groff)
  add_test(NAME man_page_renders
           COMMAND "${CMAKE_COMMAND}" "-DGROFF=${GROFF_EXECUTABLE}"
                   "-DMAN_PAGE=${PROJECT_SOURCE_DIR}/doc/korvel.1"
                   -P "${CMAKE_CURRENT_LIST_DIR}/check_man_page.cmake")
  add_test(NAME install_honours_prefix_and_destdir
           COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
                   "-DDESTDIR=${PROJECT_BINARY_DIR}/install-test-destdir"
                   -DPREFIX=/opt/korvel-test
                   "-DBINDIR=${CMAKE_INSTALL_BINDIR}" "-DMANDIR=${CMAKE_INSTALL_MANDIR}"
                   -P "${CMAKE_CURRENT_LIST_DIR}/check_install.cmake")
endif()
