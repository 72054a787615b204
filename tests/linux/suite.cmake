# The Linux back end's tests read the generated udev rules.
if(TARGET test_linux AND TARGET vantel_udev_rules_file)
  add_dependencies(test_linux vantel_udev_rules_file)
  target_compile_definitions(test_linux PRIVATE
    VANTEL_UDEV_RULES_FILE="${VANTEL_UDEV_RULES}"
    VANTEL_SOURCE_UDEV_RULES="${PROJECT_SOURCE_DIR}/udev/70-vantel.rules")
endif()
if(TARGET test_linux AND TARGET vantel_udev_rules_text)
  target_link_libraries(test_linux PRIVATE vantel_udev_rules_text)
endif()
