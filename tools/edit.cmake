# edit.cmake - `tarvocoil edit`: the coil editor's server (cpp-httplib) and
# its page, web/editor/, compiled into the program (no files to install or
# find at run time). Included from tools/CMakeLists.txt.
pkg_check_modules(TARVOCOIL_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
if(NOT TARVOCOIL_HTTPLIB_FOUND)
  message(FATAL_ERROR "The tarvocoil tool's editor needs cpp-httplib (Debian: libcpp-httplib-dev): ${_tool_hint}")
endif()

set(_editor_dir ${PROJECT_SOURCE_DIR}/web/editor)
set(_editor_files index.html editor.css editor.js)
set(_editor_deps "")
foreach(f IN LISTS _editor_files)
  list(APPEND _editor_deps ${_editor_dir}/${f})
endforeach()
set(_editor_assets ${CMAKE_CURRENT_BINARY_DIR}/edit_assets.cpp)
string(REPLACE ";" "," _editor_list "${_editor_files}")
add_custom_command(
  OUTPUT ${_editor_assets}
  COMMAND ${CMAKE_COMMAND} -DOUT=${_editor_assets} -DNAMESPACE=tarvotool -DBASE=${_editor_dir}
          -DFILES=${_editor_list} -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake
  DEPENDS ${_editor_deps} ${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake
  COMMENT "Embedding the editor page")

add_library(tarvocoil_edit STATIC
  edit_cli.cpp
  edit_http.cpp
  edit_server.cpp
  edit_store.cpp
  edit_truth.cpp
  edit_video.cpp
  ${_editor_assets})
target_include_directories(tarvocoil_edit PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tarvocoil_edit PUBLIC tarvocoil_toolkit PkgConfig::TARVOCOIL_HTTPLIB)
target_compile_options(tarvocoil_edit PRIVATE -Wall -Wextra)
target_link_libraries(tarvocoil_cli PRIVATE tarvocoil_edit)
