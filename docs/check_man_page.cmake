# SPDX-License-Identifier: MIT
# Renders PAGE with groff's man macros, all warnings on, and fails on any
# diagnostic, when the page lost its sections or does not show VERSION; man(1) itself is used too
# where it is installed.
find_program(GROFF groff REQUIRED)
execute_process(COMMAND ${GROFF} -man -ww -Tutf8 -P-cbou ${PAGE}
  RESULT_VARIABLE status OUTPUT_VARIABLE rendered ERROR_VARIABLE diagnostics)
if(NOT status EQUAL 0 OR NOT diagnostics STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE}:\n${diagnostics}")
endif()
foreach(section "NAME" "SYNOPSIS" "DESCRIPTION" "EXIT STATUS" "SEE ALSO")
  if(NOT rendered MATCHES "\n${section}\n")
    message(FATAL_ERROR "${PAGE} rendered without its ${section} section")
  endif()
endforeach()
if(NOT rendered MATCHES "cdbox ${VERSION}")
  message(FATAL_ERROR "${PAGE} does not show version ${VERSION}")
endif()
find_program(MAN man)
if(MAN)
  execute_process(COMMAND ${MAN} --warnings -E UTF-8 -l -Tutf8 ${PAGE}
    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE diagnostics)
  if(NOT status EQUAL 0 OR NOT diagnostics STREQUAL "")
    message(FATAL_ERROR "man on ${PAGE}:\n${diagnostics}")
  endif()
endif()
