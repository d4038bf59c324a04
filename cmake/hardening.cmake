# Debian's hardening for the shipped code of optimised builds on Linux: the
# flags that `dpkg-buildflags` gives with hardening=+all where it is installed
# (so a newer Debian's additions come along), the same set otherwise, and
# PIE. Not for Debug builds (_FORTIFY_SOURCE needs -O) nor for the sanitizer
# and fuzz builds, whose instrumentation replaces the checked libc calls.
# Sets SEGSPLICE_HARDENING_COMPILE_OPTIONS and SEGSPLICE_HARDENING_LINK_OPTIONS
# (empty where the build is not hardened).
option(SEGSPLICE_HARDENING "Build optimised Linux binaries with Debian's hardening flags" ON)

set(SEGSPLICE_HARDENING_COMPILE_OPTIONS "")
set(SEGSPLICE_HARDENING_LINK_OPTIONS "")
set(optimised_types Release RelWithDebInfo MinSizeRel)
if(NOT SEGSPLICE_HARDENING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR SEGSPLICE_SANITIZE OR SEGSPLICE_FUZZ
   OR NOT CMAKE_BUILD_TYPE IN_LIST optimised_types)
  return()
endif()

set(hardening_cppflags -D_FORTIFY_SOURCE=2)
set(hardening_cxxflags -fstack-protector-strong -Wformat -Werror=format-security)
set(hardening_ldflags -Wl,-z,relro -Wl,-z,now)
find_program(SEGSPLICE_DPKG_BUILDFLAGS dpkg-buildflags)
if(SEGSPLICE_DPKG_BUILDFLAGS)
  # A cross build asks for its own architecture's flags.
  set(host_arch "")
  if(SEGSPLICE_DEB_ARCH)
    set(host_arch DEB_HOST_ARCH=${SEGSPLICE_DEB_ARCH})
  endif()
  foreach(kind cppflags cxxflags ldflags)
    string(TOUPPER ${kind} name)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${host_arch}
                            ${SEGSPLICE_DPKG_BUILDFLAGS} --get ${name}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
    if(NOT status EQUAL 0)
      message(WARNING "dpkg-buildflags --get ${name} failed: using segsplice's own hardening flags")
      break()
    endif()
    # The build type chooses optimisation and debug information; the prefix
    # maps name the directory dpkg-buildflags ran in.
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-g|^-O|^-f(file|debug|macro)-prefix-map=")
    set(dpkg_${kind} ${flags})
  endforeach()
  if(status EQUAL 0)
    set(hardening_cppflags ${dpkg_cppflags})
    set(hardening_cxxflags ${dpkg_cxxflags})
    set(hardening_ldflags ${dpkg_ldflags})
  endif()
endif()

set(SEGSPLICE_HARDENING_COMPILE_OPTIONS ${hardening_cppflags} ${hardening_cxxflags} -fPIE)
set(SEGSPLICE_HARDENING_LINK_OPTIONS ${hardening_ldflags} -pie)
list(JOIN hardening_cppflags " " shown_cpp)
list(JOIN hardening_cxxflags " " shown_cxx)
list(JOIN hardening_ldflags " " shown_ld)
message(STATUS "Hardening: ${shown_cpp} ${shown_cxx} -fPIE; linking ${shown_ld} -pie")
