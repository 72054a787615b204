# The fault matrix: every step of a download against every fault the simulated
# keyboard can inject there. A run of the whole program writes FAULTS.md next
# to it (copied to docs/FAULTS.md). Each case also checks the command line's
# exit code for the outcome class the run reports.
vantel_add_area_test(faults
  SOURCES fault_cases.cpp fault_matrix_test.cpp
  LIBRARIES vantel_app vantel_headless vantel_sim vantel_cli_core)
if(TARGET test_faults)
  target_compile_definitions(test_faults PRIVATE VANTEL_FAULTS_OUTPUT_DIR="${CMAKE_CURRENT_BINARY_DIR}/faults")
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/faults)
endif()
