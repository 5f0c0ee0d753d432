# Hardening.cmake - the compiler and linker hardening distributions expect.
#
# Included right after GNUInstallDirs, before any target, so it applies to
# everything built here (library, tests, tools, benchmarks):
#   -fstack-protector-strong   canaries in functions with arrays or address-taken locals
#   -D_FORTIFY_SOURCE=2        checked variants of memcpy/memset and friends where
#                              the destination size is known (optimised builds only:
#                              glibc's checks need the optimiser's object sizes)
#   -z relro -z now            full RELRO: relocations resolved at load time, then
#                              the GOT made read-only
#   -z noexecstack             a non-executable stack, also for objects without the
#                              .note.GNU-stack marker
# Not for Windows (the mingw DLL has its own /DYNAMICBASE and /NXCOMPAT), and
# no FORTIFY in sanitizer builds: the sanitizers intercept the same functions
# and the fortified wrappers would hide the calls from them.
#
# tests/hardening/check_hardening.sh checks the built libtarvocoil.so.
option(TARVOCOIL_HARDENING "Build with stack protector, FORTIFY_SOURCE and full RELRO" ON)

if(TARVOCOIL_HARDENING AND NOT WIN32 AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-fstack-protector-strong)
  if(NOT TARVOCOIL_SANITIZE)
    # Undefined first: some toolchains define it already, at another level.
    set(_trv_optimised "$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>")
    add_compile_options("$<${_trv_optimised}:-U_FORTIFY_SOURCE>" "$<${_trv_optimised}:-D_FORTIFY_SOURCE=2>")
    unset(_trv_optimised)
  endif()
  add_link_options(LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
endif()
