# Win32Dll.cmake - TarvoCoil.dll for 32-bit Windows hosts, its import
# libraries, and what the Windows tests need (GoogleTest from source, the
# test hosts in tests/win32).
#
# Included by the top-level CMakeLists.txt on WIN32, normally through
# cmake/toolchain-i686-w64-mingw32.cmake (see scripts/win32-build.sh).

if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "TarvoCoil.dll is a 32-bit DLL; use cmake/toolchain-i686-w64-mingw32.cmake")
endif()
if(NOT MINGW)
  message(FATAL_ERROR "The Windows DLL is built with the mingw-w64 toolchain")
endif()

enable_language(RC)

set(TARVOCOIL_DEF_FILE ${CMAKE_CURRENT_SOURCE_DIR}/api/TarvoCoil.def)

# The export table comes from the .def file alone: the core objects are
# compiled without __declspec(dllexport), so no export directive in them
# can add a name beside the .def's, and the static library made from the
# same objects does not turn every program linked with it into an
# exporter of the eight functions.
target_compile_definitions(tarvocoil_objects PRIVATE TARVOCOIL_STATIC)
# The toolchain file sets these too; repeated here so that a CMAKE_CXX_FLAGS
# given on the command line cannot put the float arithmetic back on the
# x87, whose excess precision would change the float32 results.
target_compile_options(tarvocoil_objects PRIVATE -msse2 -mfpmath=sse)

add_library(tarvocoil SHARED
  $<TARGET_OBJECTS:tarvocoil_objects>
  api/dllmain.cpp
  api/version.rc)
add_library(TarvoCoil::tarvocoil ALIAS tarvocoil)
target_include_directories(tarvocoil PUBLIC
  $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# windres finds TarvoCoil.manifest through the include path.
target_include_directories(tarvocoil PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/api)
target_compile_options(tarvocoil PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>)
set_target_properties(tarvocoil PROPERTIES
  OUTPUT_NAME TarvoCoil
  PREFIX ""
  IMPORT_PREFIX ""
  IMPORT_SUFFIX ".dll.a"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS "${TARVOCOIL_DEF_FILE};${CMAKE_CURRENT_SOURCE_DIR}/api/TarvoCoil.manifest")
set_source_files_properties(api/version.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/api/TarvoCoil.manifest)
target_link_options(tarvocoil PRIVATE
  ${TARVOCOIL_DEF_FILE}
  -Wl,--kill-at
  -Wl,--no-undefined
  -Wl,--dynamicbase
  -Wl,--nxcompat
  -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc
  -static -static-libgcc -static-libstdc++
  $<$<CONFIG:Release,MinSizeRel>:-s>)
target_link_libraries(tarvocoil PRIVATE Threads::Threads)

# Import libraries, both made by dlltool from the .def file so that they
# carry the decorated stdcall symbols (_TRVCoilInit@0, __imp__TRVCoilInit@0)
# that callers compiled with tarvocoil.h reference, bound to the
# undecorated names the DLL exports. The linker's own --out-implib would
# lose the decoration under --kill-at.
#   TarvoCoil.dll.a  for mingw-w64 hosts (-lTarvoCoil or the file itself);
#   TarvoCoil.lib    for MSVC's link.exe (a COFF archive of import objects).
# dlltool's objects lack the "@feat.00" symbol with which MSVC compilers
# mark an object as safe for /SAFESEH; without it, a 32-bit MSVC project
# linking with /SAFESEH (Visual Studio's default for Win32 release builds)
# fails with LNK2026. The import objects hold no code and no exception
# handlers, so the .lib's objects get the mark.
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES i686-w64-mingw32-dlltool dlltool REQUIRED)
endif()
if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY NAMES i686-w64-mingw32-objcopy objcopy REQUIRED)
endif()
set(TARVOCOIL_IMPLIB_MINGW ${CMAKE_BINARY_DIR}/TarvoCoil.dll.a)
set(TARVOCOIL_IMPLIB_MSVC ${CMAKE_BINARY_DIR}/TarvoCoil.lib)
add_custom_command(TARGET tarvocoil POST_BUILD
  COMMAND ${CMAKE_DLLTOOL} -m i386 -k -D TarvoCoil.dll -d ${TARVOCOIL_DEF_FILE} -l TarvoCoil.dll.a
  COMMAND ${CMAKE_DLLTOOL} -m i386 -k -D TarvoCoil.dll -d ${TARVOCOIL_DEF_FILE} -l TarvoCoil.lib
  COMMAND ${CMAKE_OBJCOPY} --add-symbol @feat.00=1,local TarvoCoil.lib
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Import libraries TarvoCoil.dll.a and TarvoCoil.lib"
  VERBATIM)

# Hosts that link at build time.
add_library(tarvocoil_import_mingw INTERFACE)
target_include_directories(tarvocoil_import_mingw INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(tarvocoil_import_mingw INTERFACE ${TARVOCOIL_IMPLIB_MINGW})
add_dependencies(tarvocoil_import_mingw tarvocoil)
add_library(tarvocoil_import_msvc INTERFACE)
target_include_directories(tarvocoil_import_msvc INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(tarvocoil_import_msvc INTERFACE ${TARVOCOIL_IMPLIB_MSVC})
add_dependencies(tarvocoil_import_msvc tarvocoil)

# ---------------------------------------------------------------------------
# Tests: GoogleTest built from Debian's sources with this toolchain, made
# visible to tests/CMakeLists.txt's find_package(GTest); and the test hosts.
if(TARVOCOIL_TESTS)
  set(TARVOCOIL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for Windows")
  if(NOT EXISTS ${TARVOCOIL_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TARVOCOIL_GTEST_SOURCE_DIR} (apt-get install googletest)")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)  # the tests use GoogleTest only
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TARVOCOIL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  # find_package(GTest) in tests/ takes the targets just made.
  set(_trv_gtest_config_dir ${CMAKE_BINARY_DIR}/gtest-config)
  file(WRITE ${_trv_gtest_config_dir}/GTestConfig.cmake
    "# GoogleTest is part of this build (cmake/Win32Dll.cmake).\nset(GTest_FOUND TRUE)\n")
  file(WRITE ${_trv_gtest_config_dir}/GTestConfigVersion.cmake
    "set(PACKAGE_VERSION 1.12.1)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(GTest_DIR ${_trv_gtest_config_dir} CACHE PATH "" FORCE)

  add_subdirectory(tests/win32)
endif()
