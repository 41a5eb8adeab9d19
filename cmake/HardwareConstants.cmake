# SPDX-License-Identifier: MIT
# The drawer hardware constants that a technician settles with the controller
# at hand. They reach the one register map header as compile definitions, so
# the tester and the simulator always agree.
set(CDBOX_DRAWER2_CMD "0x20" CACHE STRING "Command byte that opens drawer 2")
set(CDBOX_BOTH_CMD "0x30" CACHE STRING "Command byte that opens both drawers")
set(CDBOX_DRAWER1_OPEN_BIT "0x08" CACHE STRING "Status bit set while drawer 1 is open")
set(CDBOX_DRAWER2_OPEN_BIT "0x04" CACHE STRING "Status bit set while drawer 2 is open")

foreach(name CDBOX_DRAWER2_CMD CDBOX_BOTH_CMD CDBOX_DRAWER1_OPEN_BIT CDBOX_DRAWER2_OPEN_BIT)
  if(NOT "${${name}}" MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    message(FATAL_ERROR "${name}='${${name}}' is not a number; give a byte such as 0x20")
  endif()
  math(EXPR value "${${name}}")
  if(value LESS 1 OR value GREATER 255)
    message(FATAL_ERROR "${name}=${${name}} is not a byte from 0x01 to 0xff")
  endif()
endforeach()
