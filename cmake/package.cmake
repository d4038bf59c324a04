# The Debian package: `cpack -G DEB` in a build directory makes
# segsplice_<version>_<arch>.deb from the install rules (the binary and the
# man page, under /usr).

set(SEGSPLICE_MAINTAINER "segsplice maintainers <maintainers@users.noreply.c-seed-92c3b5ed.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME segsplice)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SEGSPLICE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "cut out, splice in and trace the Exif APP1 segment of JPEG files")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "segsplice copies the APP1 segment of a JPEG file out to a side file,\n"
  "writes a new JPEG file with another APP1 segment in its place, and\n"
  "prints a byte-exact trace of the Exif structure: IFD0, the Exif and\n"
  "GPS IFDs and the Kalvo makernote.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SEGSPLICE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The tool needs only the C and C++ runtimes. dpkg-shlibdeps (dpkg-dev) works
# out the minimum versions; without it the package names them unversioned.
find_program(SEGSPLICE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SEGSPLICE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
endif()

# On Windows: `cpack -G ZIP` makes segsplice-<version>-win64.zip.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME segsplice-${PROJECT_VERSION}-win64)
endif()

include(CPack)
