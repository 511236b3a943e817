# Man pages and the Debian package. Included from the top-level CMakeLists so that CPack sees the
# whole project's install rules (the two programs install themselves in src/main and tools).

# Debian ships man pages compressed; `gzip -n` keeps the result byte-for-byte reproducible.
set(VANTREL_MAN_PAGES vantrel-usb.1 vantrel-sim.1)
set(man_outputs "")
foreach(page IN LISTS VANTREL_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing man page ${page}")
  list(APPEND man_outputs ${output})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME vantrel-usb)
set(CPACK_PACKAGE_VENDOR "VantrelUSB")
set(CPACK_PACKAGE_CONTACT "VantrelUSB maintainers <maintainers@vantrel-usb.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "USB companion for the Vantrel iOS app")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vantrel-usb)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the package's Description; this is its body.
set(CPACK_PACKAGE_DESCRIPTION
    "vantrel-usb bridges an iPhone running the Vantrel app, attached by USB
and reached through usbmuxd, to programs on the same computer: it forwards
the app's video and tracking packets as UDP datagrams to 127.0.0.1:5000 and
127.0.0.1:4242, and relays the video consumer's feedback to the app.

vantrel-sim stands in for usbmuxd, the phone and the UDP consumers, for
trying the bridge and testing consumers without a phone.")
# The runtime libraries (libplist among them) come from dpkg-shlibdeps, which needs dpkg-dev.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS usbmuxd)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ffmpeg, libusbmuxd-tools")

include(CPack)
