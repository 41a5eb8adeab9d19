# SPDX-License-Identifier: MIT
# debian/changelog is the project's one changelog. Its newest entry must
# name the version project() declares, and its date is the release date
# that the man pages show: a rebuild months later, in any folder, gives the
# same files. SOURCE_DATE_EPOCH, when set, wins, as everywhere in
# reproducible builds (dpkg-buildpackage sets it from the same entry).
set(CDBOX_CHANGELOG ${PROJECT_SOURCE_DIR}/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CDBOX_CHANGELOG})
file(READ ${CDBOX_CHANGELOG} changelog)

if(NOT changelog MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\)")
  message(FATAL_ERROR "${CDBOX_CHANGELOG}: the first line is not 'cdbox (VERSION) ...'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "${CDBOX_CHANGELOG} is at version ${CMAKE_MATCH_1} but CMakeLists.txt "
    "declares ${PROJECT_VERSION}: add a changelog entry (dch -v ${PROJECT_VERSION}) or fix project()")
endif()

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP CDBOX_DATE "%Y-%m-%d" UTC)
else()
  # The first trailer: " -- NAME <ADDRESS>  Tue, 08 Dec 2026 00:00:00 +0000".
  if(NOT changelog MATCHES "\n -- [^\n]*>  [A-Z][a-z][a-z], ([0-9][0-9]?) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "${CDBOX_CHANGELOG}: the newest entry has no ' -- NAME <ADDRESS>  DATE' line")
  endif()
  set(day ${CMAKE_MATCH_1})
  set(year ${CMAKE_MATCH_3})
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(FIND months ${CMAKE_MATCH_2} month)
  if(month LESS 0)
    message(FATAL_ERROR "${CDBOX_CHANGELOG}: '${CMAKE_MATCH_2}' is not a month")
  endif()
  math(EXPR month "${month} + 1")
  string(LENGTH "${day}" length)
  if(length EQUAL 1)
    set(day 0${day})
  endif()
  if(month LESS 10)
    set(month 0${month})
  endif()
  set(CDBOX_DATE "${year}-${month}-${day}")
endif()
