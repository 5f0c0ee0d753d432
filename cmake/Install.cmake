# Install rules: headers, the shared and static libraries, a CMake package
# (find_package(TarvoCoil) gives TarvoCoil::tarvocoil and
# TarvoCoil::static) and a pkg-config file (pkg-config --cflags --libs
# tarvocoil). Each rule names its component, which the Debian packages
# (cmake/Packaging.cmake) are made of: runtime (the shared library with its
# SONAME link), dev (everything a program builds against) and license.
if(WIN32)
  return()
endif()
include(CMakePackageConfigHelpers)

set_target_properties(tarvocoil_static PROPERTIES EXPORT_NAME static)
install(FILES include/tarvocoil.h include/tarvocoil.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(TARGETS tarvocoil tarvocoil_static EXPORT TarvoCoilTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TarvoCoilTargets NAMESPACE TarvoCoil:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil COMPONENT dev)

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
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil COMPONENT dev)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc.in [=[
prefix=${pcfiledir}/@TARVOCOIL_PC_TO_PREFIX@
libdir=${pcfiledir}/@TARVOCOIL_PC_TO_LIBDIR@
includedir=${pcfiledir}/@TARVOCOIL_PC_TO_INCLUDEDIR@

Name: tarvocoil
Description: Video trigger library: virtual induction loops on camera frames
Version: @PROJECT_VERSION@
Libs: -L${libdir} -ltarvocoil
Cflags: -I${includedir}
]=])
# Relative to the .pc file, so the installed tree can be moved. libdir and
# includedir are not derived from prefix: pkg-config --define-prefix replaces
# prefix with the folder two above the .pc file, which is wrong for a
# multiarch libdir (lib/x86_64-linux-gnu/pkgconfig).
set(_pc_dir /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TARVOCOIL_PC_TO_PREFIX ${_pc_dir} /prefix)
file(RELATIVE_PATH TARVOCOIL_PC_TO_LIBDIR ${_pc_dir} /prefix/${CMAKE_INSTALL_LIBDIR})
file(RELATIVE_PATH TARVOCOIL_PC_TO_INCLUDEDIR ${_pc_dir} /prefix/${CMAKE_INSTALL_INCLUDEDIR})
configure_file(${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvocoil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
# The licence beside the documentation, and in the CMake package's folder so
# that a consumer of the package finds it there too. (The Debian packages
# carry it as each package's copyright file instead.)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvocoil COMPONENT license)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TarvoCoil COMPONENT license)
