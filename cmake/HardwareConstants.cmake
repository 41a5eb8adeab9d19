# SPDX-License-Identifier: MIT
# The drawer hardware constants that a technician settles with the
# controller at hand. They are read from one map file, drawer/controller.map
# unless CDBOX_MAP names another, so every build folder builds the same map;
# they reach the one register map header as compile definitions, so the
# tester and the simulator always agree.
set(CDBOX_MAP "${PROJECT_SOURCE_DIR}/drawer/controller.map" CACHE FILEPATH
  "Register map file of the controller (NAME VALUE lines)")
set(CDBOX_MAP_NAMES CDBOX_DRAWER2_CMD CDBOX_BOTH_CMD CDBOX_DRAWER1_OPEN_BIT CDBOX_DRAWER2_OPEN_BIT)

# A value given with -D would hold for one build folder only. Entries an
# earlier version of this file left in the cache are dropped quietly.
foreach(name ${CDBOX_MAP_NAMES})
  get_property(cached CACHE ${name} PROPERTY TYPE SET)
  if(cached)
    get_property(help CACHE ${name} PROPERTY HELPSTRING)
    get_property(cdbox_cached_${name} CACHE ${name} PROPERTY VALUE)
    unset(${name} CACHE)
    if(NOT help MATCHES "^(Command byte|Status bit) ")
      message(FATAL_ERROR "${name} is given with -D, which would hold for this build folder only: "
        "set it in ${CDBOX_MAP} instead and configure without -D${name}")
    endif()
  endif()
endforeach()

if(NOT EXISTS "${CDBOX_MAP}")
  message(FATAL_ERROR "register map ${CDBOX_MAP}: no such file")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CDBOX_MAP}")
file(STRINGS "${CDBOX_MAP}" map_lines)
foreach(line IN LISTS map_lines)
  string(REGEX REPLACE "#.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^([A-Z0-9_]+)[ \t]+([^ \t]+)$")
    message(FATAL_ERROR "register map ${CDBOX_MAP}: '${line}' is not a NAME VALUE line")
  endif()
  set(name ${CMAKE_MATCH_1})
  set(value ${CMAKE_MATCH_2})
  if(NOT name IN_LIST CDBOX_MAP_NAMES)
    message(FATAL_ERROR "register map ${CDBOX_MAP}: unknown name ${name}; the names are ${CDBOX_MAP_NAMES}")
  endif()
  if(DEFINED ${name})
    message(FATAL_ERROR "register map ${CDBOX_MAP}: ${name} is given twice")
  endif()
  if(NOT value MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    message(FATAL_ERROR "register map ${CDBOX_MAP}: ${name} '${value}' is not a number; give a byte such as 0x20")
  endif()
  math(EXPR number "${value}")
  if(number LESS 1 OR number GREATER 255)
    message(FATAL_ERROR "register map ${CDBOX_MAP}: ${name} ${value} is not a byte from 0x01 to 0xff")
  endif()
  set(${name} ${value})
endforeach()

foreach(name ${CDBOX_MAP_NAMES})
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "register map ${CDBOX_MAP}: ${name} is missing")
  endif()
  if(DEFINED cdbox_cached_${name} AND NOT cdbox_cached_${name} STREQUAL ${name})
    math(EXPR before "${cdbox_cached_${name}}")
    math(EXPR now "${${name}}")
    if(NOT before EQUAL now)
      message(WARNING "this build folder had ${name}=${cdbox_cached_${name}}; it builds "
        "${${name}} now, from ${CDBOX_MAP}, where the register map is set")
    endif()
  endif()
endforeach()
message(STATUS "Register map ${CDBOX_MAP}: drawer 2 ${CDBOX_DRAWER2_CMD}, both ${CDBOX_BOTH_CMD}, "
  "open bits ${CDBOX_DRAWER1_OPEN_BIT} and ${CDBOX_DRAWER2_OPEN_BIT}")
