# SPDX-License-Identifier: MIT
# CDBOX_SANITIZE=ON builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, stopping at the first report.
option(CDBOX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(CDBOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Programs that only ever run traced add this source to themselves.
set(CDBOX_TRACED_ASAN_OPTIONS ${CMAKE_CURRENT_LIST_DIR}/traced_asan_options.cpp)
