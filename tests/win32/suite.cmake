# The Windows application's tests: unit tests of the Win32 layer (test_win32,
# run under Wine by ctest) and the black-box driver used by tests/win32/stage.
if(NOT TARGET vantel_win32)
  return()
endif()

set(win32_test_sources environment_test.cpp hid_backend_test.cpp shell_test.cpp window_test.cpp)
list(TRANSFORM win32_test_sources PREPEND ${CMAKE_CURRENT_LIST_DIR}/)
# The dialog templates are linked in so that the window tests run the real main window.
add_executable(test_win32 ${win32_test_sources} ${PROJECT_SOURCE_DIR}/res/vantel.rc)
target_include_directories(test_win32 PRIVATE ${PROJECT_SOURCE_DIR}/res)
target_link_libraries(test_win32 PRIVATE vantel_win32 vantel_testsupport GTest::gtest_main GTest::gmock)
target_link_options(test_win32 PRIVATE -static)
gtest_discover_tests(test_win32 DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

add_executable(vantel_probe ${CMAKE_CURRENT_LIST_DIR}/host/probe.cpp)
target_compile_options(vantel_probe PRIVATE -municode)
target_link_options(vantel_probe PRIVATE -municode -static)
target_link_libraries(vantel_probe PRIVATE vantel_app user32 setupapi)
