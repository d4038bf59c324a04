# The Debian package: `cpack -G DEB` in a build directory makes
# segsplice_<version>_<arch>.deb from the install rules (the binary, the
# manual, the bash completion and the documents below, under /usr).

set(SEGSPLICE_MAINTAINER "segsplice maintainers <maintainers@users.noreply.c-seed-92c3b5ed.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Documents as Debian wants them: the manual and the changelog compressed with
# gzip -9n (no name or time stamp, so the bytes depend on the text alone), and
# the copyright file in the machine-readable format, made from LICENSE.
set(SEGSPLICE_DOCS ${CMAKE_CURRENT_BINARY_DIR}/docs)
file(MAKE_DIRECTORY ${SEGSPLICE_DOCS})
add_custom_command(OUTPUT ${SEGSPLICE_DOCS}/segsplice.1.gz
  COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/man/segsplice.1
          ${SEGSPLICE_DOCS}/segsplice.1.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/man/segsplice.1 VERBATIM)
# A native package's changelog.gz is read as a Debian changelog.
add_custom_command(OUTPUT ${SEGSPLICE_DOCS}/changelog.gz
  COMMAND sh -c "sh \"$0\" \"$1\" \"$2\" > \"$3.txt\" && gzip -9n < \"$3.txt\" > \"$3\""
          ${PROJECT_SOURCE_DIR}/packaging/debian_changelog.sh ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          "${SEGSPLICE_MAINTAINER}" ${SEGSPLICE_DOCS}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian_changelog.sh ${PROJECT_SOURCE_DIR}/CHANGELOG.md VERBATIM)
add_custom_target(segsplice_docs ALL DEPENDS ${SEGSPLICE_DOCS}/segsplice.1.gz ${SEGSPLICE_DOCS}/changelog.gz)
install(FILES ${SEGSPLICE_DOCS}/segsplice.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# DEP-5 wants the licence text indented by one space, blank lines as " .".
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
set(SEGSPLICE_LICENSE_TEXT "")
set(license_started OFF)
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(SEGSPLICE_COPYRIGHT "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Permission")
    set(license_started ON)
  endif()
  if(license_started)
    if(line STREQUAL "")
      set(line ".")
    endif()
    string(APPEND SEGSPLICE_LICENSE_TEXT " ${line}\n")
  endif()
endforeach()
string(STRIP "${SEGSPLICE_LICENSE_TEXT}" SEGSPLICE_LICENSE_TEXT)
set(SEGSPLICE_LICENSE_TEXT " ${SEGSPLICE_LICENSE_TEXT}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${SEGSPLICE_DOCS}/copyright @ONLY)
install(FILES ${SEGSPLICE_DOCS}/copyright ${SEGSPLICE_DOCS}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/segsplice)

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
# The tool needs only the C and C++ runtimes; dpkg-shlibdeps works out which
# and their minimum versions when cpack runs, and cpack stops without it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package_checks.cmake)

include(CPack)
