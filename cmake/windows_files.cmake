# The Windows install rules and package. What a Windows user unzips: one
# folder with segsplice.exe, README.md, LICENSE and the manual as plain text
# (there is no man on Windows), to be put on PATH as it is.
install(TARGETS segsplice RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES LICENSE DESTINATION .)
endif()

find_program(SEGSPLICE_GROFF groff)
if(SEGSPLICE_GROFF)
  set(manual_text ${PROJECT_BINARY_DIR}/segsplice.txt)
  # ASCII without overstriking: readable in any editor and console.
  add_custom_command(OUTPUT ${manual_text}
    COMMAND ${SEGSPLICE_GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/segsplice.1 > ${manual_text}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/segsplice.1
    VERBATIM)
  add_custom_target(manual_text ALL DEPENDS ${manual_text})
  install(FILES ${manual_text} DESTINATION .)
else()
  message(WARNING "groff not found (Debian: groff-base): the Windows package will lack segsplice.txt")
endif()

# `cpack -G ZIP` makes segsplice-<version>-win64.zip.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME segsplice)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME segsplice-${PROJECT_VERSION}-win64)
set(CPACK_STRIP_FILES ON)
include(CPack)
