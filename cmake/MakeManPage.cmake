# MakeManPage.cmake - tarvocoil(1) from the program's own --help, so that the
# man page says exactly what the program says. Run as a script:
#   cmake -DTOOL=path/to/tarvocoil -DHELP2MAN=help2man -DOUT=tarvocoil.1 -DWORK=dir -P MakeManPage.cmake
# help2man turns the main --help into the page; each subcommand's --help
# becomes a subsection of SUBCOMMANDS, in the order the main --help lists them.
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE _main RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${TOOL} --help failed (${_rc})")
endif()
string(REGEX MATCH "Subcommands:\n(.*)\n\n" _block "${_main}")
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]*  " _names "\n${CMAKE_MATCH_1}")

set(_roff "[SUBCOMMANDS]\n")
foreach(_n IN LISTS _names)
  string(STRIP "${_n}" _name)
  execute_process(COMMAND ${TOOL} ${_name} --help OUTPUT_VARIABLE _help RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${_name} --help failed (${_rc})")
  endif()
  # Literal text for roff: backslashes doubled, lines that would be read as
  # requests (a leading dot or quote) protected.
  string(REPLACE "\\" "\\e" _help "${_help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" _help "${_help}")
  string(APPEND _roff ".SS \"tarvocoil ${_name}\"\n.nf\n${_help}.fi\n")
endforeach()
string(APPEND _roff "[SEE ALSO]\nThe manuals in /usr/share/doc/tarvocoil and the project's docs/ folder.\n")
file(WRITE ${WORK}/subcommands.h2m "${_roff}")

execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
                        "--name=virtual induction loops (coils) on video"
                        --include=${WORK}/subcommands.h2m --output=${OUT} ${TOOL}
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "help2man failed (${_rc})")
endif()
