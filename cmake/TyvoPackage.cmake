# make package (cpack -G DEB): the Debian package tyvo-reset, holding what
# cmake --install puts under the prefix /usr (see TyvoInstall.cmake): the
# programs, the udev rule in /usr/lib/udev/rules.d, the gzipped manual pages
# and the bash completion. Its postinst reloads the udev rules.
#
# The package's programs look for the firmware files in the folder fixed at
# configure time from CMAKE_INSTALL_PREFIX, so a build meant for packaging is
# configured with -DCMAKE_INSTALL_PREFIX=/usr (the Makefile's package target
# does that in build/package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tyvo-reset)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tyvo tools maintainers <tyvo-tools@example.org>")
set(CPACK_PACKAGE_VENDOR "Tyvo")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restore the firmware of a Tyvo hand-tracking controller")
set(CPACK_PACKAGE_DESCRIPTION
    "tyvo-reset restores the firmware of a Tyvo hand-tracking controller whose\n\
firmware is damaged (it then shows up as a bare Cypress FX3 boot loader),\n\
updates old firmware of a working controller in place, and lists attached\n\
controllers. tyvo-client reads and changes the settings of a running tool.\n\
The controller's firmware files are not included; they go in\n\
/usr/share/tyvo/firmware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/tyvo")
# The libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udevadm comes with udev; without it the rule waits for the next boot.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Folders dpkg owns already are not claimed by the package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
