# SPDX-License-Identifier: GPL-2.0-or-later
# The flags of the kit's own programs and libraries (the product), apart
# from those of the tests, the testbed and the benchmarks:
#
#   - the stricter warnings, made errors with -DVELMORTEV_WERROR=ON (the test
#     command does so);
#   - no exception tables: the kit throws nothing and calls nothing that
#     throws, so its programs need no C++ runtime support at all (no
#     personality routine, unwinder or demangler linked in); they are a
#     fraction of the size and start like a C program;
#   - the distribution's hardening (fortified calls, stack protector, relro,
#     bind-now), as dpkg-buildflags gives it where it is installed, else the
#     same set by hand.
#
# VELMORTEV_HARDENING_COMPILE_FLAGS and VELMORTEV_HARDENING_LINK_FLAGS hold
# the hardening flags as lists, for whoever builds the product otherwise
# (packaging); velmortev_product_flags() applies everything to the targets
# of the product directories.
option(VELMORTEV_WERROR "Make warnings of the product targets errors" OFF)
option(VELMORTEV_HARDENING "Build the product with the distribution's hardening flags" ON)

set(VELMORTEV_PRODUCT_WARNINGS -Wshadow -Wconversion -Wsign-conversion)
# The fuzz harness carries the frame's exit back to the target as an
# exception, which must pass through the kit's frames.
if(VELMORTEV_FUZZ)
  set(VELMORTEV_PRODUCT_CXX_FLAGS "")
else()
  set(VELMORTEV_PRODUCT_CXX_FLAGS $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)
endif()

# The hardening part of one dpkg-buildflags answer: optimisation, debug and
# path-mapping flags stay with the build type.
function(velmortev_hardening_part out kind)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE answer OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  set(kept "")
  if(rc EQUAL 0)
    separate_arguments(words UNIX_COMMAND "${answer}")
    foreach(word IN LISTS words)
      if(word MATCHES "^(-D_FORTIFY_SOURCE=|-fstack-protector|-fstack-clash-protection|-fcf-protection|-Wformat|-Werror=format-security|-Wl,-z,)")
        list(APPEND kept "${word}")
      endif()
    endforeach()
  endif()
  set(${out} "${kept}" PARENT_SCOPE)
endfunction()

set(VELMORTEV_HARDENING_COMPILE_FLAGS "")
set(VELMORTEV_HARDENING_LINK_FLAGS "")
if(VELMORTEV_HARDENING)
  find_program(DPKG_BUILDFLAGS dpkg-buildflags)
  if(DPKG_BUILDFLAGS)
    velmortev_hardening_part(cppflags CPPFLAGS)
    velmortev_hardening_part(cxxflags CXXFLAGS)
    velmortev_hardening_part(ldflags LDFLAGS)
    set(VELMORTEV_HARDENING_COMPILE_FLAGS ${cppflags} ${cxxflags})
    set(VELMORTEV_HARDENING_LINK_FLAGS ${ldflags})
  else()
    set(VELMORTEV_HARDENING_COMPILE_FLAGS -D_FORTIFY_SOURCE=2 -fstack-protector-strong
        -Wformat -Werror=format-security)
    set(VELMORTEV_HARDENING_LINK_FLAGS -Wl,-z,relro -Wl,-z,now)
  endif()
endif()

# Applies the product's flags to every target defined in the directories
# (not in their subdirectories, where the tests live). Fortification needs
# an optimised build and gets in the way of the sanitizers' own checks of the
# same calls, so a build without optimisation, with the sanitizers or for
# fuzzing goes
# without it; the other hardening flags hold everywhere.
function(velmortev_product_flags)
  set(fortify_flags ${VELMORTEV_HARDENING_COMPILE_FLAGS})
  list(FILTER fortify_flags INCLUDE REGEX "^-D_FORTIFY_SOURCE")
  set(other_flags ${VELMORTEV_HARDENING_COMPILE_FLAGS})
  list(FILTER other_flags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
  set(fortify "$<AND:$<NOT:$<CONFIG:Debug>>,$<NOT:$<BOOL:${VELMORTEV_SANITIZE}>>,$<NOT:$<BOOL:${VELMORTEV_FUZZ}>>>")
  foreach(dir IN LISTS ARGN)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY)$")
        continue()
      endif()
      target_compile_options(${target} PRIVATE ${VELMORTEV_PRODUCT_WARNINGS}
        ${VELMORTEV_PRODUCT_CXX_FLAGS} ${other_flags}
        $<$<BOOL:${VELMORTEV_WERROR}>:-Werror> "$<${fortify}:${fortify_flags}>")
      if(NOT type STREQUAL "STATIC_LIBRARY")
        target_link_options(${target} PRIVATE ${VELMORTEV_HARDENING_LINK_FLAGS})
      endif()
    endforeach()
  endforeach()
endfunction()
