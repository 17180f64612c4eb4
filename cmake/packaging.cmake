# SPDX-License-Identifier: GPL-2.0-or-later
# The packages of the kit, made with "cpack -G DEB" and "cpack -G RPM" in the
# build tree from the same installed files: the programs and their second
# names, the front end's settings, the man pages, the bash completion, the
# systemd unit, the README and the copyright file. The testbed is never installed, so it is never packaged.
# Documents are installed compressed, as distributions ship them.
set(doc_dir ${CMAKE_BINARY_DIR}/packaging)
set(VELMORTEV_DEBIAN_RELEASE 1)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${doc_dir}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${doc_dir}/README.md.gz ${doc_dir}/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/README.md ${doc_dir}/README.md
  COMMAND gzip -9nf ${doc_dir}/README.md
  COMMAND gzip -9nkf ${doc_dir}/changelog.Debian
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${doc_dir}/changelog.Debian
  VERBATIM)
add_custom_target(package_docs ALL DEPENDS ${doc_dir}/README.md.gz ${doc_dir}/changelog.Debian.gz)
install(FILES ${doc_dir}/README.md.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The boot-time and event-driven scans: template units whose instance is the
# escaped mount point of a manager, a udev rule that marks block device
# events for them, and the helper that both use. The service and the rule
# name programs by their installed paths, so they are filled in when they are
# installed (and again in a package, see package-staging.cmake).
set(VELMORTEV_EVENT_FILES
  "tevscan@.service.in:lib/systemd/system/tevscan@.service"
  "tevscan@.path:lib/systemd/system/tevscan@.path"
  "90-tevscan.rules.in:lib/udev/rules.d/90-tevscan.rules")
install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/tevscan-event
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/velmortev)
install(CODE "
  set(VELMORTEV_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  set(VELMORTEV_LIBEXECDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/velmortev\")
  foreach(pair ${VELMORTEV_EVENT_FILES})
    string(REPLACE \":\" \";\" pair \"\${pair}\")
    list(GET pair 0 source)
    list(GET pair 1 file)
    set(file \"\${CMAKE_INSTALL_PREFIX}/\${file}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/\${source}\" \"\$ENV{DESTDIR}\${file}\" @ONLY)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${file}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${file}\")
  endforeach()
")
# The front end's configuration: a file with every setting commented out, and
# the drop-in directory beside it. The front end reads them from /etc
# whatever the prefix, so they go there from any install. An install from
# source keeps a file that is already there (the administrator's, or a
# package's conffile) and leaves it out of install_manifest.txt, so that
# removing what the manifest lists never takes settings away.
install(CODE "
  set(dir \"\$ENV{DESTDIR}/etc/velmortev\")
  file(MAKE_DIRECTORY \"\${dir}/conf.d\")
  if(EXISTS \"\${dir}/velmortev.conf\")
    message(STATUS \"Kept: \${dir}/velmortev.conf\")
  else()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/velmortev.conf\" DESTINATION /etc/velmortev
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  list(REMOVE_ITEM CMAKE_INSTALL_MANIFEST_FILES /etc/velmortev/velmortev.conf)
")
# The licence (GPL-2.0-or-later) in the machine-readable copyright format.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME velmortev)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The velmortev developers")
set(CPACK_PACKAGE_CONTACT "velmortev developers <velmortev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "administration kit for the labelled disks of a storage driver")
set(CPACK_PACKAGE_DESCRIPTION
  "A front end, velmortev, for an administrator's daily work with the labelled
disks of a kernel storage driver (list, create, delete, rename, scan, with
settings in /etc/velmortev, JSON output, dry runs and backups of what it
overwrites), and the command-line programs under it: they test whether a
device may carry a disk label, write, read and clear labels, ask the kernel to
reread partition tables, list the partitions in a chosen scan order, create
and remove the disk nodes of the driver's manager filesystem, list the disks
that the driver's access library discovers, and do a whole reread, clean and
instantiate pass through the driver's tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Stripped programs, without the compiler's .comment section; the build-id
# note stays, so that a debugger can still find separate debugging data.
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package-staging.cmake)
set(CPACK_VELMORTEV_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_VELMORTEV_BINARY_DIR ${CMAKE_BINARY_DIR})
set(CPACK_VELMORTEV_SBINDIR ${CMAKE_INSTALL_SBINDIR})
set(CPACK_VELMORTEV_LIBEXECDIR ${CMAKE_INSTALL_LIBEXECDIR})
set(CPACK_VELMORTEV_EVENT_FILES ${VELMORTEV_EVENT_FILES})
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELMORTEV_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The run-time libraries come from what the programs are linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
# Maintainer scripts: systemd and udev reloaded on install, upgrade and
# removal, running instances stopped on removal, enable links purged.
# The configuration file is a conffile: an upgrade keeps the administrator's
# changes, and dpkg asks when both sides changed it.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
  ${PROJECT_SOURCE_DIR}/packaging/deb/prerm ${PROJECT_SOURCE_DIR}/packaging/deb/postrm
  ${PROJECT_SOURCE_DIR}/packaging/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# The RPM: the same files; the licence text is marked as such, and the
# directories that the distribution owns are left out of the package.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${VELMORTEV_DEBIAN_RELEASE})
set(CPACK_RPM_PACKAGE_LICENSE "GPL-2.0-or-later")
set(CPACK_RPM_PACKAGE_SUMMARY "Administration kit for the labelled disks of a storage driver")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://velmortev.example.org/")
set(CPACK_RPM_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
# The same for the RPM, as scriptlets.
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/post)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/preun)
set(CPACK_RPM_POST_UNINSTALL_SCRIPT_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm/postun)
# The configuration file is kept on upgrades (a new one lands beside it as
# .rpmnew).
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/velmortev/LICENSE"
  "%config(noreplace) /etc/velmortev/velmortev.conf")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
  /usr/sbin /usr/share/man /usr/share/man/man8 /usr/share/bash-completion /usr/share/bash-completion/completions
  /usr/share/licenses /usr/lib/systemd /usr/lib/systemd/system /usr/lib/udev /usr/lib/udev/rules.d
  /usr/libexec /etc)

# CPack installs the one component there is, so that its install writes
# install_manifest_velmortev.txt and never the install_manifest.txt of an
# installation from source in the same build tree.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};velmortev;/")

include(CPack)
