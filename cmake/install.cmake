# What `cmake --install` puts in place on Linux, and the Debian package of it.
#
# Everything but the program itself comes from the source tree, so that an
# install works after any build that made vantel-cli (the demo's included).
# Directories that pkg-config names are taken relative to their package's
# prefix, so that `--prefix` is honoured and nothing lands outside it.

include(GNUInstallDirs)
find_package(PkgConfig QUIET)

# vantel_pkg_dir(<out> <package> <variable> <fallback>)
function(vantel_pkg_dir out package variable fallback)
  set(dir "")
  if(PkgConfig_FOUND)
    pkg_get_variable(absolute ${package} ${variable})
    pkg_get_variable(prefix ${package} prefix)
    if(absolute AND prefix AND absolute MATCHES "^${prefix}/(.+)$")
      set(dir "${CMAKE_MATCH_1}")
    endif()
  endif()
  if(NOT dir)
    set(dir "${fallback}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

vantel_pkg_dir(VANTEL_UDEV_DIR udev udevdir lib/udev)
vantel_pkg_dir(VANTEL_COMPLETIONS_DIR bash-completion completionsdir share/bash-completion/completions)
set(VANTEL_UDEV_RULES_DEST "${VANTEL_UDEV_DIR}/rules.d")

install(FILES ${PROJECT_SOURCE_DIR}/udev/70-vantel.rules DESTINATION ${VANTEL_UDEV_RULES_DEST})
install(FILES ${PROJECT_SOURCE_DIR}/src/cli/vantel-cli.bash-completion
        DESTINATION ${VANTEL_COMPLETIONS_DIR} RENAME vantel-cli)

# Where the rules file is beside an installed vantel-cli (relative to the
# prefix, which the package changes), and in the tree for a build that is run
# where it was made: for the hint an unopenable keyboard gets.
if(TARGET vantel_cli_core)
  target_compile_definitions(vantel_cli_core PRIVATE
    VANTEL_UDEV_RULES_BESIDE_BIN="${VANTEL_UDEV_RULES_DEST}/70-vantel.rules"
    VANTEL_UDEV_RULES_IN_TREE="${PROJECT_SOURCE_DIR}/udev/70-vantel.rules")
endif()

# cpack -G DEB: a package installed under /usr, with udev applying the rules
# to keyboards that are already plugged in.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantel-cli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Vantel developers <vantel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "write firmware into USB keyboards over HID")
set(CPACK_PACKAGE_DESCRIPTION "vantel-cli finds the attached keyboards of the supported vendors, \
checks a firmware file against the chosen keyboard and writes it through the keyboard's boot loader.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The versions come from the libraries the program was linked against
# (dpkg-shlibdeps); without that tool, the names alone.
find_program(VANTEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VANTEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libudev1, libstdc++6, libc6")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
