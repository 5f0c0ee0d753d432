# AreasLibrary.cmake - the areas file parser as a static library of its own.
#
# The tool, the Python package and the other host layers read the same
# areas files with the same error messages; none of them but the tool needs
# FFmpeg, so this is kept apart from the tool's own build. Included from
# each host layer's CMakeLists; the first one defines the target.
if(TARGET tarvocoil_areas)
  return()
endif()
find_package(nlohmann_json 3.2 QUIET)
if(NOT nlohmann_json_FOUND)
  message(FATAL_ERROR "The areas file parser needs nlohmann-json: run scripts/install-deps.sh tool")
endif()
add_library(tarvocoil_areas STATIC
  ${PROJECT_SOURCE_DIR}/tools/areas_file.cpp
  ${PROJECT_SOURCE_DIR}/tools/json_text.cpp
  ${PROJECT_SOURCE_DIR}/tools/input_file.cpp
  ${PROJECT_SOURCE_DIR}/tools/canvas.cpp)
target_include_directories(tarvocoil_areas PUBLIC ${PROJECT_SOURCE_DIR}/tools ${PROJECT_SOURCE_DIR})
target_link_libraries(tarvocoil_areas PUBLIC tarvocoil_static nlohmann_json::nlohmann_json)
# Linked into shared objects (the Python extension, plugins) as well.
set_target_properties(tarvocoil_areas PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(tarvocoil_areas PRIVATE -Wall -Wextra)
