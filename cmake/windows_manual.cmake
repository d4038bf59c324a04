# Renders the manual of the Windows zip: man/segsplice.1 with the WINDOWS
# section of man/windows.roff before SEE ALSO, as plain ASCII text without
# overstriking, readable in any editor and console.
#   cmake -DGROFF=groff -DMAN=segsplice.1 -DSECTION=windows.roff -DSOURCE=out.1 -DTEXT=out.txt -P windows_manual.cmake
file(READ ${MAN} page)
file(READ ${SECTION} section)
string(FIND "${page}" "\n.SH SEE ALSO" at)
if(at LESS 0)
  message(FATAL_ERROR "${MAN} has no SEE ALSO section to put the WINDOWS section before")
endif()
math(EXPR at "${at} + 1")
string(SUBSTRING "${page}" 0 ${at} head)
string(SUBSTRING "${page}" ${at} -1 tail)
# Register windows picks the Windows wording where the page has its own.
file(WRITE ${SOURCE} ".nr windows 1\n${head}${section}${tail}")
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${SOURCE} OUTPUT_FILE ${TEXT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff could not render ${SOURCE}")
endif()
