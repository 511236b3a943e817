# What is installed besides the two programs (they install themselves in src/main and tools): the man
# pages, the systemd units and the documents. The Debian packages (debian/) are made from this
# installation; the installed texts (the units' ExecStart, the man pages' paths) name the
# installation directories, so configure for the prefix the files will really live in.

# Man pages and long documents are installed compressed, as Debian ships them; `gzip -n` keeps the
# result byte-for-byte reproducible. The simulator's documents have a directory of their own, as
# it is a package of its own.
set(VANTREL_SIM_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vantrel-sim)
set(VANTREL_SIM_FULL_DOCDIR ${CMAKE_INSTALL_FULL_DATAROOTDIR}/doc/vantrel-sim)
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

# The services. For the prefix /usr, systemd's own unit directory (its pkg-config file says where;
# without systemd installed, /lib/systemd/system as on Debian 12); for any other prefix,
# lib/systemd/system below it, which systemd also reads for /usr/local, so that a trial
# installation stays out of the system's files.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
  if(NOT systemd_unit_dir)
    set(systemd_unit_dir /lib/systemd/system)
  endif()
else()
  set(systemd_unit_dir lib/systemd/system)
endif()
set(VANTREL_SYSTEMD_UNIT_DIR ${systemd_unit_dir} CACHE PATH "Where the systemd units are installed")
# Every unit template in packaging/ is configured and installed: a new unit needs no change here
# nor in debian/.
file(GLOB unit_templates CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/*.service.in)
# What every unit shares stands once, in unit-common.conf: each template takes it in place of
# @VANTREL_UNIT_COMMON@, without the file's own leading comment.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/unit-common.conf)
file(READ ${PROJECT_SOURCE_DIR}/packaging/unit-common.conf VANTREL_UNIT_COMMON)
string(REGEX REPLACE "^(#[^\n]*\n)+" "" VANTREL_UNIT_COMMON "${VANTREL_UNIT_COMMON}")
string(REGEX REPLACE "\n$" "" VANTREL_UNIT_COMMON "${VANTREL_UNIT_COMMON}")
set(VANTREL_UNITS "")
foreach(template IN LISTS unit_templates)
  get_filename_component(unit ${template} NAME_WLE)
  configure_file(${template} ${PROJECT_BINARY_DIR}/packaging/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${unit} DESTINATION ${VANTREL_SYSTEMD_UNIT_DIR})
  list(APPEND VANTREL_UNITS ${unit})
endforeach()

set(doc_outputs ${PROJECT_BINARY_DIR}/doc/README.md.gz ${PROJECT_BINARY_DIR}/doc/vantrel-sim/README.md.gz)
add_custom_command(
  OUTPUT ${doc_outputs}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc/vantrel-sim
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/README.md > ${PROJECT_BINARY_DIR}/doc/README.md.gz
  COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/tools/sim/README.md > ${PROJECT_BINARY_DIR}/doc/vantrel-sim/README.md.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/tools/sim/README.md
  COMMENT "Compressing the documents")
add_custom_target(package_docs ALL DEPENDS ${doc_outputs})
install(FILES ${PROJECT_BINARY_DIR}/doc/README.md.gz ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_BINARY_DIR}/doc/vantrel-sim/README.md.gz DESTINATION ${VANTREL_SIM_DOCDIR})
