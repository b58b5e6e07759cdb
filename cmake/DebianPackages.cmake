# Debian packages of the library, its development files and the tool, made by
# `cpack -G DEB` in a build configured with CMAKE_INSTALL_PREFIX=/usr
# (scripts/package.sh). Dependencies on other packages come from
# dpkg-shlibdeps; only the packages' dependencies on each other are stated.

set(ZN_DEB_RUNTIME libzembrixnet${PROJECT_VERSION_MAJOR})
set(ZN_DEB_REVISION 1)
set(ZN_DEB_VERSION ${PROJECT_VERSION}-${ZN_DEB_REVISION})

# Every package carries the copyright file and a Debian changelog in its
# documentation directory, as Debian's policy asks; the tool its manual page,
# which the tool prints from its own table of commands.
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in
  ${CMAKE_BINARY_DIR}/debian/changelog.Debian @ONLY)
set(ZN_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${ZN_DEB_CHANGELOG}
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog.Debian > ${ZN_DEB_CHANGELOG}
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian VERBATIM)
set(ZN_DEB_MANPAGE ${CMAKE_BINARY_DIR}/debian/zembrix-netcheck.1.gz)
add_custom_command(OUTPUT ${ZN_DEB_MANPAGE}
  COMMAND $<TARGET_FILE:zembrix-netcheck> --manual > ${CMAKE_BINARY_DIR}/debian/zembrix-netcheck.1
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/zembrix-netcheck.1
  DEPENDS zembrix-netcheck VERBATIM)
add_custom_target(zembrixnet_deb_docs ALL DEPENDS ${ZN_DEB_CHANGELOG} ${ZN_DEB_MANPAGE})
install(FILES ${ZN_DEB_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
# The development package carries the README and the example host, which
# builds against the installed package (cmake -S .../examples).
install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libzembrixnet-dev COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt ${CMAKE_SOURCE_DIR}/examples/host.c
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libzembrixnet-dev/examples COMPONENT dev)

foreach(part runtime dev tool)
  if(part STREQUAL runtime)
    set(package ${ZN_DEB_RUNTIME})
  elseif(part STREQUAL dev)
    set(package libzembrixnet-dev)
  else()
    set(package zembrix-netcheck)
  endif()
  string(TOUPPER ${part} PART)
  set(CPACK_DEBIAN_${PART}_PACKAGE_NAME ${package})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${ZN_DEB_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${part})
  set(overrides ${CMAKE_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides)
  if(EXISTS ${overrides})
    install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
      RENAME ${package} COMPONENT ${part})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zembrixnet)
set(CPACK_PACKAGE_VENDOR "The zembrixnet developers")
set(CPACK_PACKAGE_CONTACT "The zembrixnet developers <zembrixnet@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tool)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZN_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool needs the library being packaged beside it: dpkg-shlibdeps finds it
# in the runtime package's staging directory (a sibling of each package's own)
# and leaves that dependency to the one stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../runtime${CMAKE_INSTALL_FULL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zembrixnet.example.org/")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed through dpkg's trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "reachability checks and server list updates for a VoIP client
zembrixnet is the library a voice-over-IP client loads to learn which of its
provider's servers (web, SIP proxy, IM and fax servers) it can reach, by TCP
probes on its own threads, and to keep its list of those servers current from
the provider's HTTPS web API or fallback pages.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${ZN_DEB_RUNTIME} (= ${ZN_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "reachability checks and server list updates for a VoIP client (development)
zembrixnet is the library a voice-over-IP client loads to learn which of its
provider's servers it can reach and to keep its list of those servers current.
.
This package holds the C header, the C++ header of the URL reader class, the
link to the library, its pkg-config file and its CMake package.")

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${ZN_DEB_RUNTIME} (= ${ZN_DEB_VERSION})")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
  "command-line host of the zembrixnet server reachability library
zembrix-netcheck drives the zembrixnet library from the command line: it
probes the provider's servers, updates the server list, shows the list file
deciphered, sets the update proxy and reads URLs as the library does. Its
doctor command is what an administrator runs to see why a VoIP client finds
no server.")

include(CPack)
