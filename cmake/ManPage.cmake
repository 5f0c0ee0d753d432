# ManPage.cmake - builds and installs tarvocoil(1) (cmake/MakeManPage.cmake)
# when Debian's help2man is there (scripts/install-deps.sh tool installs it).
# Included from tools/CMakeLists.txt after the program's target.
find_program(TARVOCOIL_HELP2MAN help2man)
if(NOT TARVOCOIL_HELP2MAN)
  message(STATUS "help2man not found: no man page (scripts/install-deps.sh tool installs it)")
  return()
endif()
set(_trv_man ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.1)
add_custom_command(
  OUTPUT ${_trv_man}
  COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:tarvocoil_cli> -DHELP2MAN=${TARVOCOIL_HELP2MAN}
          -DOUT=${_trv_man} -DWORK=${CMAKE_CURRENT_BINARY_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/MakeManPage.cmake
  DEPENDS tarvocoil_cli ${PROJECT_SOURCE_DIR}/cmake/MakeManPage.cmake
  COMMENT "Writing the man page tarvocoil.1")
# Installed compressed, as man pages are on Debian; -n keeps the name and
# time out of the file, so that the same page gives the same bytes.
add_custom_command(
  OUTPUT ${_trv_man}.gz
  COMMAND gzip -9nc ${_trv_man} > ${_trv_man}.gz
  DEPENDS ${_trv_man}
  COMMENT "Compressing the man page tarvocoil.1")
add_custom_target(tarvocoil_manpage ALL DEPENDS ${_trv_man} ${_trv_man}.gz)
install(FILES ${_trv_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
if(TARVOCOIL_TESTS AND NOT TARVOCOIL_SANITIZE)
  # The page renders, and holds every subcommand's options.
  add_test(NAME tool.ManPage.RendersWithEverySubcommand
           COMMAND sh -c "out=$(MANWIDTH=80 man -l '${_trv_man}') && for s in demo run frame tune plot edit; do printf '%s' \"$out\" | grep -q \"Usage: tarvocoil $s \" || { echo \"no $s in the man page\"; exit 1; }; done")
endif()
