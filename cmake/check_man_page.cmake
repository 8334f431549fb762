# Fails unless groff renders the manual page with no warning at all.
# Usage: cmake -DGROFF=<groff> -DMAN_PAGE=<page> -P check_man_page.cmake
if(NOT GROFF)
  message(FATAL_ERROR "groff not found: install groff-base (scripts/install-deps.sh does)")
endif()
execute_process(COMMAND ${GROFF} -man -Tutf8 -ww -z ${MAN_PAGE}
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff exited with ${result} on ${MAN_PAGE}:\n${errors}")
endif()
