# Packaging.cmake - the Debian packages, made by CPack's DEB generator from
# the install rules' components (scripts/package.sh runs it on the build
# folder, so nothing is compiled a second time):
#
#   component   package                  holds
#   runtime     libtarvocoil1            libtarvocoil.so.1 (the SONAME)
#   dev         libtarvocoil-dev         headers, libtarvocoil.so, libtarvocoil.a,
#                                        the CMake package, tarvocoil.pc
#   tool        tarvocoil                the program, its man page, the systemd
#                                        units, /etc/tarvocoil, maintainer scripts
#   gstreamer   gstreamer1.0-tarvocoil   the GStreamer element
#   python      python3-tarvocoil        the Python package for Debian's python3
#
# The packaging-only files (copyright, changelog, the unit, the
# configuration, lintian overrides) are installed EXCLUDE_FROM_ALL: CPack
# installs each component by name and gets them, a plain `cmake --install`
# leaves them out and never writes under /etc. Configure with
# CMAKE_INSTALL_PREFIX=/usr, so that the libraries land in the multiarch
# folder Debian's loader and GStreamer search.
if(WIN32)
  return()
endif()

set(TARVOCOIL_DEB_MAINTAINER "TarvoCoil developers <packages@tarvocoil.invalid>" CACHE STRING
    "Maintainer field of the Debian packages")
set(_deb_src ${PROJECT_SOURCE_DIR}/packaging)
set(_deb_out ${PROJECT_BINARY_DIR}/packaging)
set(_deb_release 1)

# The copyright file in Debian's machine-readable format, the licence text
# taken from LICENSE so that the two cannot differ.
function(_trv_write_copyright out)
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE _lines)
  set(_holder "")
  set(_text "")
  set(_started OFF)
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^Copyright \\(c\\) (.*)$")
      set(_holder "${CMAKE_MATCH_1}")
      set(_started ON)
    elseif(_started)
      string(STRIP "${_line}" _stripped)
      if(_stripped STREQUAL "")
        if(NOT _text STREQUAL "")
          string(APPEND _text " .\n")
        endif()
      else()
        string(APPEND _text " ${_line}\n")
      endif()
    endif()
  endforeach()
  if(_holder STREQUAL "" OR _text STREQUAL "")
    message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the licence text")
  endif()
  file(WRITE ${out}
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: TarvoCoil\n\n"
    "Files: *\nCopyright: ${_holder}\nLicense: Expat\n\n"
    "License: Expat\n${_text}")
endfunction()
_trv_write_copyright(${_deb_out}/copyright)

add_custom_command(
  OUTPUT ${_deb_out}/changelog.Debian.gz
  COMMAND gzip -9nc ${_deb_src}/debian/changelog > ${_deb_out}/changelog.Debian.gz
  DEPENDS ${_deb_src}/debian/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(tarvocoil_deb_changelog ALL DEPENDS ${_deb_out}/changelog.Debian.gz)

# Each package: its name, its documentation folder's two files and, where
# lintian's remarks are deliberate, its overrides.
function(_trv_deb_package component name)
  string(TOUPPER ${component} _c)
  set(CPACK_DEBIAN_${_c}_PACKAGE_NAME ${name} PARENT_SCOPE)
  install(FILES ${_deb_out}/copyright ${_deb_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${_deb_src}/debian/${name}.lintian-overrides)
    install(FILES ${_deb_src}/debian/${name}.lintian-overrides RENAME ${name}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endfunction()

set(CPACK_COMPONENTS_ALL runtime dev)
_trv_deb_package(runtime libtarvocoil1)
_trv_deb_package(dev libtarvocoil-dev)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_MULTIARCH same)
# The loader's cache through dpkg's ldconfig trigger; postinst and postrm are
# named only so that CPack does not write its own, which call ldconfig.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_deb_src}/debian/libtarvocoil1/triggers
    ${_deb_src}/debian/libtarvocoil1/postinst ${_deb_src}/debian/libtarvocoil1/postrm)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "video trigger library: virtual induction loops on camera frames\n"
  "TarvoCoil tells, per frame of a camera picture, on which of the areas\n"
  "drawn on it (virtual induction loops) a moving object's presence begins,\n"
  "optionally confirmed by a vehicle's front light at night.\n"
  "\n"
  "This package holds the shared library with its eight C functions.")
string(JOIN "" CPACK_COMPONENT_RUNTIME_DESCRIPTION ${CPACK_COMPONENT_RUNTIME_DESCRIPTION})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_MULTIARCH same)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtarvocoil1 (= ${PROJECT_VERSION}-${_deb_release})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "video trigger library: development files\n"
  "TarvoCoil tells, per frame of a camera picture, on which of the areas\n"
  "drawn on it (virtual induction loops) a moving object's presence begins.\n"
  "\n"
  "This package holds the C and C++ headers, the static library, the CMake\n"
  "package (find_package(TarvoCoil)) and the pkg-config file.")
string(JOIN "" CPACK_COMPONENT_DEV_DESCRIPTION ${CPACK_COMPONENT_DEV_DESCRIPTION})

if(TARVOCOIL_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tool)
  _trv_deb_package(tool tarvocoil)
  # Absolute destinations: these belong where systemd and the administrator
  # look, whatever the prefix. CPack installs them under its staging folder
  # (DESTDIR); installing the component by name without one would write
  # into this machine's /etc and systemd folder, so that is refused.
  install(CODE [[
    if("$ENV{DESTDIR}" STREQUAL "")
      message(FATAL_ERROR "The tool component's unit and /etc/tarvocoil files install only into a "
                          "staging folder: set DESTDIR, or build the packages (scripts/package.sh)")
    endif()
  ]] COMPONENT tool EXCLUDE_FROM_ALL)
  # Every unit in packaging/systemd/; the maintainer scripts restart and
  # stop whatever tarvocoil*.service is active, so a new unit is one file.
  file(GLOB _units CONFIGURE_DEPENDS ${_deb_src}/systemd/*.service)
  install(FILES ${_units} DESTINATION /lib/systemd/system COMPONENT tool EXCLUDE_FROM_ALL)
  install(FILES ${_deb_src}/etc/example.conf
          DESTINATION /etc/tarvocoil COMPONENT tool EXCLUDE_FROM_ALL)
  install(FILES ${_deb_src}/examples/v4l2.conf ${_deb_src}/examples/site.json ${_deb_src}/etc/example.conf
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarvocoil/examples COMPONENT tool EXCLUDE_FROM_ALL)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA
    ${_deb_src}/debian/tarvocoil/conffiles ${_deb_src}/debian/tarvocoil/postinst
    ${_deb_src}/debian/tarvocoil/prerm ${_deb_src}/debian/tarvocoil/postrm)
  set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "video trigger: command-line tool and camera service\n"
    "TarvoCoil tells, per frame of a camera picture, on which of the areas\n"
    "drawn on it (virtual induction loops) a moving object's presence begins.\n"
    "\n"
    "The tarvocoil program runs the detector over video files and live\n"
    "cameras (RTSP, HTTP, V4L2), writes events and delivers them to MQTT\n"
    "brokers and webhooks, places areas in the browser and chooses\n"
    "thresholds from labelled passages. The systemd unit\n"
    "tarvocoil-run@.service runs one camera per instance as the system\n"
    "user tarvocoil.")
  string(JOIN "" CPACK_COMPONENT_TOOL_DESCRIPTION ${CPACK_COMPONENT_TOOL_DESCRIPTION})
endif()

if(TARGET gsttarvocoil)
  list(APPEND CPACK_COMPONENTS_ALL gstreamer)
  _trv_deb_package(gstreamer gstreamer1.0-tarvocoil)
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_SECTION video)
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_MULTIARCH same)
  set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION
    "video trigger: GStreamer element\n"
    "TarvoCoil tells, per frame of a camera picture, on which of the areas\n"
    "drawn on it (virtual induction loops) a moving object's presence begins.\n"
    "\n"
    "This package holds the GStreamer element tarvocoil, which posts a\n"
    "message on the bus for each trigger.")
  string(JOIN "" CPACK_COMPONENT_GSTREAMER_DESCRIPTION ${CPACK_COMPONENT_GSTREAMER_DESCRIPTION})
endif()

get_property(_py_version GLOBAL PROPERTY TARVOCOIL_PYTHON_VERSION)
if(TARGET _tarvocoil AND _py_version)
  list(APPEND CPACK_COMPONENTS_ALL python)
  _trv_deb_package(python python3-tarvocoil)
  # The extension module is built for this one python3 version.
  string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\1" _py_major ${_py_version})
  string(REGEX REPLACE "^([0-9]+)\\.([0-9]+)$" "\\2" _py_minor ${_py_version})
  math(EXPR _py_next "${_py_minor} + 1")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${_py_version}~), python3 (<< ${_py_major}.${_py_next}), python3-numpy")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "video trigger: Python 3 package\n"
    "TarvoCoil tells, per frame of a camera picture, on which of the areas\n"
    "drawn on it (virtual induction loops) a moving object's presence begins.\n"
    "\n"
    "This package holds the Python module tarvocoil, which takes numpy\n"
    "(OpenCV) BGR frames.")
  string(JOIN "" CPACK_COMPONENT_PYTHON_DESCRIPTION ${CPACK_COMPONENT_PYTHON_DESCRIPTION})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvocoil)
set(CPACK_PACKAGE_VENDOR "The TarvoCoil developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TARVOCOIL_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TARVOCOIL_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${_deb_release})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Dependencies come from the binaries themselves (dpkg-shlibdeps), and the
# library package says which version of it a program built now needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/cpack)
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
include(CPack)
