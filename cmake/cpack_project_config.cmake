# Read by cpack. The installed unit and man pages name the installation directories of the build,
# so a package for /usr is made only from a build configured for /usr (scripts/package does that).
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VANTREL_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "this build is configured for CMAKE_INSTALL_PREFIX=${CPACK_VANTREL_INSTALL_PREFIX}; "
                      "the Debian package installs into /usr: make it with scripts/package")
endif()
