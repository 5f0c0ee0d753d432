# The editor's tests: its API in-process (GoogleTest), and the page driven
# by a headless Chromium (Selenium, under Debian's /usr/bin/python3).
add_executable(tarvocoil_edit_tests edit_api_test.cpp edit_frames_test.cpp edit_marks_test.cpp edit_live_test.cpp
                                    stream_server.cpp)
target_link_libraries(tarvocoil_edit_tests PRIVATE tarvocoil_edit tarvocoil_tool_test_util GTest::gtest GTest::gtest_main)
target_compile_options(tarvocoil_edit_tests PRIVATE -Wall -Wextra)
add_dependencies(tarvocoil_edit_tests tarvocoil_cli)
gtest_discover_tests(tarvocoil_edit_tests TEST_PREFIX "tool." DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT ${TARVOCOIL_TOOL_TEST_TIMEOUT})

# Skipped (exit 77) where Chromium, chromedriver, Selenium or ffmpeg is
# missing; scripts/install-deps.sh installs them (group "editor").
add_test(NAME tool.EditBrowser.DrawSaveTestInChromium
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/edit_browser_test.py --tool $<TARGET_FILE:tarvocoil_cli>)
set_tests_properties(tool.EditBrowser.DrawSaveTestInChromium PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 200)
