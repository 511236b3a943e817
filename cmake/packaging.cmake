# Man pages, the systemd unit, the package's documents and the Debian package. Included from the
# top-level CMakeLists so that CPack sees the whole project's install rules (the two programs install
# themselves in src/main and tools). The .deb is made by scripts/package, from a Release build for
# the prefix /usr, because the installed texts (the unit's ExecStart, the man pages' paths) name
# the installation directories.

# Debian ships man pages and long documents compressed; `gzip -n` keeps the result byte-for-byte
# reproducible. The man pages carry the project version and the installed paths.
set(VANTREL_MAN_PAGES vantrel-usb.1 vantrel-sim.1)
set(man_outputs "")
foreach(page IN LISTS VANTREL_MAN_PAGES)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/man/${page} > ${output}
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page}
    COMMENT "Compressing man page ${page}")
  list(APPEND man_outputs ${output})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The service: systemd's own unit directory when its pkg-config file says where that is.
pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
if(NOT systemd_unit_dir)
  set(systemd_unit_dir lib/systemd/system)
endif()
set(VANTREL_SYSTEMD_UNIT_DIR ${systemd_unit_dir} CACHE PATH "Where vantrel-usb.service is installed")
# The plain unit and the per-phone template.
foreach(unit IN ITEMS vantrel-usb.service vantrel-usb@.service)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${unit}.in ${PROJECT_BINARY_DIR}/packaging/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${unit} DESTINATION ${VANTREL_SYSTEMD_UNIT_DIR})
endforeach()

# The Debian revision of the package; packaging/changelog.Debian's newest entry must name this version.
set(VANTREL_DEBIAN_REVISION 1)
set(VANTREL_PACKAGE_VERSION ${PROJECT_VERSION}-${VANTREL_DEBIAN_REVISION})
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^vantrel-usb \\(${VANTREL_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.Debian starts with '${changelog_top}': its newest entry must be "
                      "for version ${VANTREL_PACKAGE_VERSION} (the project version and the Debian revision)")
endif()

set(doc_outputs ${PROJECT_BINARY_DIR}/doc/changelog.Debian.gz ${PROJECT_BINARY_DIR}/doc/README.md.gz
                ${PROJECT_BINARY_DIR}/doc/README.vantrel-sim.md.gz)
add_custom_command(
  OUTPUT ${doc_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian > ${PROJECT_BINARY_DIR}/doc/changelog.Debian.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/README.md > ${PROJECT_BINARY_DIR}/doc/README.md.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/tools/sim/README.md > ${PROJECT_BINARY_DIR}/doc/README.vantrel-sim.md.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/tools/sim/README.md
  COMMENT "Compressing the package's documents")
add_custom_target(package_docs ALL DEPENDS ${doc_outputs})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${doc_outputs} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME vantrel-usb)

set(CPACK_PACKAGE_NAME vantrel-usb)
set(CPACK_PACKAGE_VENDOR "VantrelUSB")
set(CPACK_PACKAGE_CONTACT "VantrelUSB maintainers <maintainers@vantrel-usb.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB companion for the Vantrel iOS app")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vantrel-usb)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_project_config.cmake)
set(CPACK_VANTREL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VANTREL_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the package's Description; this is its body.
set(CPACK_PACKAGE_DESCRIPTION
    "vantrel-usb bridges an iPhone running the Vantrel app, attached by USB
and reached through usbmuxd, to programs on the same computer: it forwards
the app's video and tracking packets as UDP datagrams to 127.0.0.1:5000 and
127.0.0.1:4242, and relays the video consumer's feedback to the app. A
systemd unit runs it whenever usbmuxd runs.

vantrel-sim stands in for usbmuxd, the phone and the UDP consumers, for
trying the bridge and testing consumers without a phone.")
# The runtime libraries (libplist among them) come from dpkg-shlibdeps, which needs dpkg-dev.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS usbmuxd)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, libusbmuxd-tools")

include(CPack)
