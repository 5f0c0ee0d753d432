# HostLibrary.cmake - host/ as a static library of its own: the areas file,
# coil geometry, event JSON, traffic data, shared by every host layer.
#
# The tool, the Python package and the GStreamer element read the same
# areas files with the same error messages; none of them but the tool needs
# FFmpeg, so this is kept apart from the tool's own build. Included from
# each host layer's CMakeLists; the first one defines the target.
if(TARGET tarvocoil_host)
  return()
endif()
find_package(nlohmann_json 3.2 QUIET)
if(NOT nlohmann_json_FOUND)
  message(FATAL_ERROR "The host library (areas files, event JSON) needs nlohmann-json: run scripts/install-deps.sh tool")
endif()
add_library(tarvocoil_host STATIC
  ${PROJECT_SOURCE_DIR}/host/areas_file.cpp
  ${PROJECT_SOURCE_DIR}/host/json_text.cpp
  ${PROJECT_SOURCE_DIR}/host/input_file.cpp
  ${PROJECT_SOURCE_DIR}/host/canvas.cpp
  ${PROJECT_SOURCE_DIR}/host/event_json.cpp
  ${PROJECT_SOURCE_DIR}/host/light_view.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/coil_health.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/interval_clock.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/interval_row.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/interval_table.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/pair_matcher.cpp
  ${PROJECT_SOURCE_DIR}/host/traffic/traffic_engine.cpp)
# Includes are written from the repository root ("host/areas_file.h").
target_include_directories(tarvocoil_host PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tarvocoil_host PUBLIC tarvocoil_static nlohmann_json::nlohmann_json)
# Linked into shared objects (the Python extension, plugins) as well.
set_target_properties(tarvocoil_host PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(tarvocoil_host PRIVATE -Wall -Wextra)
