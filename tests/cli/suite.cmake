# The command-line front end: unit tests of its parser and output, and
# end-to-end runs of the built vantel-cli against the simulator.
if(TARGET vantel_cli_core)
  vantel_add_area_test(cli
    SOURCES end_to_end_test.cpp image_info_test.cpp options_test.cpp output_test.cpp
            session_test.cpp station_test.cpp
    LIBRARIES vantel_cli_core)
  if(TARGET test_cli AND TARGET vantel-cli)
    add_dependencies(test_cli vantel-cli)
    if(NOT CMAKE_CROSSCOMPILING)
      target_compile_definitions(test_cli PRIVATE VANTEL_CLI_BINARY="$<TARGET_FILE:vantel-cli>")
      target_link_libraries(test_cli PRIVATE util)  # forkpty
    endif()
  endif()
endif()
