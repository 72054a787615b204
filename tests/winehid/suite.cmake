# Wine's own HID stack fed by the simulator's keyboards (tests/winehid/stage):
# the LD_PRELOAD layer for Wine's device host and the keyboard model host.
# Native Linux builds only; the stage runs them beside the mingw build.
if(WIN32 OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

add_library(vantel_fakehid SHARED ${CMAKE_CURRENT_LIST_DIR}/fakehid.c)
set_target_properties(vantel_fakehid PROPERTIES PREFIX "" OUTPUT_NAME fakehid C_VISIBILITY_PRESET default)
target_link_libraries(vantel_fakehid PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)

add_executable(vantel_model_host ${CMAKE_CURRENT_LIST_DIR}/model_host.cpp)
target_link_libraries(vantel_model_host PRIVATE vantel_sim)
# dlsym's object pointers become function pointers: plain POSIX, not ISO C.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/fakehid.c PROPERTIES COMPILE_OPTIONS "-Wno-pedantic;-Wno-format-truncation")
