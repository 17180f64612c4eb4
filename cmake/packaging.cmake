# The Debian package of the kit, made with "cpack -G DEB" in the build tree:
# the programs and their second names, the man pages, the bash completion
# and the README. The testbed is never installed, so it is never packaged.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The licence (GPL-2.0-or-later) in the machine-readable copyright format.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME velmortev)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The velmortev developers")
set(CPACK_PACKAGE_CONTACT "velmortev developers <velmortev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administration kit for the labelled disks of a storage driver")
set(CPACK_PACKAGE_DESCRIPTION
  "Command-line programs that serve a kernel storage driver: they test whether a
device may carry a disk label, write, read and clear labels, ask the kernel to
reread partition tables, list the partitions in a chosen scan order, create
and remove the disk nodes of the driver's manager filesystem, list the disks
that the driver's access library discovers, and do a whole reread, clean and
instantiate pass through the driver's tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The run-time libraries come from what the programs are linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

include(CPack)
