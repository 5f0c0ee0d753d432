# Install rules: headers, the shared and static libraries, a CMake package
# (find_package(TarvoCoil) gives TarvoCoil::tarvocoil and
# TarvoCoil::static) and a pkg-config file (pkg-config --cflags --libs
# tarvocoil).
if(WIN32)
  return()
endif()
include(CMakePackageConfigHelpers)

set_target_properties(tarvocoil_static PROPERTIES EXPORT_NAME static)
install(FILES include/tarvocoil.h include/tarvocoil.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tarvocoil tarvocoil_static EXPORT TarvoCoilTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TarvoCoilTargets NAMESPACE TarvoCoil:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfig.cmake.in [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/TarvoCoilTargets.cmake")
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/TarvoCoilConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc.in [=[
prefix=${pcfiledir}/@TARVOCOIL_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: tarvocoil
Description: Video trigger library: virtual induction loops on camera frames
Version: @PROJECT_VERSION@
Libs: -L${libdir} -ltarvocoil
Cflags: -I${includedir}
]=])
# Relative to the .pc file, so the installed tree can be moved.
file(RELATIVE_PATH TARVOCOIL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The licence beside the documentation, and in the CMake package's folder so
# that a consumer of the package finds it there too.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvocoil)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil)
