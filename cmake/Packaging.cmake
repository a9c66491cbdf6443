# Installation layout and the Debian package.
#
#   cmake --install BUILD --prefix /usr/local     (what `make install` does)
#   cd BUILD && cpack -G DEB                       (velmarine-updater_<version>_<arch>.deb)
#
# The Updater itself, its man page and the bash completion are installed by the top-level
# list; the tools and the virtual lab install themselves from their own folders.

include(GNUInstallDirs)

# Rules for udev: system-wide rules live in /lib/udev/rules.d (merged into /usr on current
# Debian), so the package puts them under the /usr prefix. For a /usr/local install, copy the
# file to /etc/udev/rules.d by hand: udev does not read /usr/local.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-velmarine.rules DESTINATION lib/udev/rules.d)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/velmarine-updater)

set(CPACK_PACKAGE_NAME "velmarine-updater")
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Firmware update and maintenance tool for Velmarine instrument modules")
set(CPACK_PACKAGE_DESCRIPTION
    "Updater lists Velmarine modules on USB, on TCP/IP and behind a routing module,\n\
downloads firmware builds from an update server into a local store, updates\n\
modules, and recovers LPC and i.MX modules through their boot ROMs. The package\n\
also carries birdtool (firmware file authoring), the reference update server\n\
(an offline mirror) and the simulated modules of the virtual lab.")
set(CPACK_PACKAGE_CONTACT "Corvane support <support@corvane.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "electronics")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Shared-library dependencies come from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/debian/postinst")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

# Quick check of what gets installed: udev rule syntax, man page, completion script.
if(UPDATER_BUILD_TESTS)
  add_test(NAME packaging_files
           COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/check_files.sh ${PROJECT_SOURCE_DIR}/packaging)
  set_tests_properties(packaging_files PROPERTIES TIMEOUT 60 LABELS packaging)
endif()
