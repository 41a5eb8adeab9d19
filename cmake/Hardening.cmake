# SPDX-License-Identifier: MIT
# Hardened by default: PIE, full RELRO with BIND_NOW, a strong stack
# protector, stack clash and control-flow (CET) protection, no executable
# stack, and _FORTIFY_SOURCE=2 wherever the build optimises. The Debian
# package build turns this off (debian/rules): its flags are dpkg-buildflags'.
option(CDBOX_HARDEN "Build hardened binaries" ON)
option(CDBOX_STATIC "Link cdbox-test statically, for copying onto a terminal as one file" OFF)

# Fortification needs the optimiser; the sanitizers bring their own checks.
set(CDBOX_FORTIFY OFF)
if(CDBOX_HARDEN AND NOT CDBOX_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  set(CDBOX_FORTIFY ON)
endif()

add_library(cdbox_hardening INTERFACE)
if(CDBOX_HARDEN)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  target_compile_options(cdbox_hardening INTERFACE -fstack-protector-strong -fstack-clash-protection
    -fcf-protection)
  if(CDBOX_FORTIFY)
    target_compile_options(cdbox_hardening INTERFACE -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
  endif()
  target_link_options(cdbox_hardening INTERFACE -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack)
endif()
