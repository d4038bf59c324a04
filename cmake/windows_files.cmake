# The Windows install rules and package. What a Windows user unzips: one
# folder with segsplice.exe, README.md, LICENSE and the manual as plain text
# (there is no man on Windows), with its WINDOWS section, to be put on PATH
# as it is.
install(TARGETS segsplice RUNTIME DESTINATION .)
install(FILES README.md DESTINATION .)
# Tab completion for PowerShell: dot-sourced from the profile.
install(FILES completion/segsplice.ps1 DESTINATION .)
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES LICENSE DESTINATION .)
endif()

find_program(SEGSPLICE_GROFF groff)
if(SEGSPLICE_GROFF)
  set(manual_text ${PROJECT_BINARY_DIR}/segsplice.txt)
  # The Linux manual with a WINDOWS section that says what holds there.
  add_custom_command(OUTPUT ${manual_text}
    COMMAND ${CMAKE_COMMAND} -DGROFF=${SEGSPLICE_GROFF} -DMAN=${PROJECT_SOURCE_DIR}/man/segsplice.1
            -DSECTION=${PROJECT_SOURCE_DIR}/man/windows.roff -DSOURCE=${PROJECT_BINARY_DIR}/segsplice-windows.1
            -DTEXT=${manual_text} -P ${PROJECT_SOURCE_DIR}/cmake/windows_manual.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/man/segsplice.1 ${PROJECT_SOURCE_DIR}/man/windows.roff
            ${PROJECT_SOURCE_DIR}/cmake/windows_manual.cmake
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
