# SPDX-License-Identifier: MIT
option(CDBOX_WERROR "Treat compiler warnings as errors" OFF)

add_library(cdbox_warnings INTERFACE)
target_compile_options(cdbox_warnings INTERFACE -Wall -Wextra -Wshadow -Wconversion -Wno-sign-conversion)
if(CDBOX_WERROR)
  target_compile_options(cdbox_warnings INTERFACE -Werror)
endif()

# Every target of the project gets the warnings and the hardening.
target_link_libraries(cdbox_warnings INTERFACE cdbox_hardening)
