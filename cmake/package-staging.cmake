# SPDX-License-Identifier: GPL-2.0-or-later
# Run by CPack on the staged files of a package, before it is built: drops
# the compiler's .comment section from the programs (they are stripped
# already; the build-id note stays), points the systemd unit and the udev
# rule at the package's own programs, and adds what one package format alone wants: the
# Debian changelog and lintian overrides, or the licence text in the RPM
# licence directory.
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

find_program(strip_program strip REQUIRED)
file(GLOB programs LIST_DIRECTORIES false ${root}/sbin/*)
foreach(program IN LISTS programs)
  if(NOT IS_SYMLINK ${program})
    execute_process(COMMAND ${strip_program} --remove-section=.comment ${program}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

set(VELMORTEV_SBINDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_VELMORTEV_SBINDIR})
set(VELMORTEV_LIBEXECDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_VELMORTEV_LIBEXECDIR}/velmortev)
foreach(pair IN LISTS CPACK_VELMORTEV_EVENT_FILES)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 file)
  configure_file(${CPACK_VELMORTEV_SOURCE_DIR}/packaging/${source} ${root}/${file} @ONLY)
endforeach()

if(CPACK_GENERATOR STREQUAL "DEB")
  file(COPY ${CPACK_VELMORTEV_BINARY_DIR}/packaging/changelog.Debian.gz
    DESTINATION ${root}/share/doc/${CPACK_PACKAGE_NAME})
  file(MAKE_DIRECTORY ${root}/share/lintian/overrides)
  file(COPY_FILE ${CPACK_VELMORTEV_SOURCE_DIR}/packaging/lintian-overrides
    ${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME})
elseif(CPACK_GENERATOR STREQUAL "RPM")
  file(COPY ${CPACK_VELMORTEV_SOURCE_DIR}/LICENSE
    DESTINATION ${root}/share/licenses/${CPACK_PACKAGE_NAME})
endif()
