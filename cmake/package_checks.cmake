# Read by cpack before it packs: a Debian package whose Depends could not be
# worked out would install where the tool cannot run.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(SEGSPLICE_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT SEGSPLICE_DPKG_SHLIBDEPS)
    message(FATAL_ERROR "cpack -G DEB needs dpkg-shlibdeps to work out Depends: "
                        "install the Debian package dpkg-dev")
  endif()
endif()
