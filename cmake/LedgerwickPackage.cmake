# What `make package` puts in the Debian package, and the package itself (CPack DEB):
# the two programs and the load tool, the client library with its headers, a
# pkg-config file and a CMake package config, the systemd units, the sample settings,
# a logrotate snippet and the man pages. Paths are those of a Debian system.

include(GNUInstallDirs)
set(LEDGERWICK_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/ledgerwick)

install(TARGETS ledgerwickd ledgerwick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET ledgerwick-bench)
  install(TARGETS ledgerwick-bench RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The client library and what it is built on, as one archive: a client links
# libledgerwick.a and Cap'n Proto, nothing else of ours.
set(LEDGERWICK_CLIENT_PARTS ledgerwick_client ledgerwick_remoting ledgerwick_typelib ledgerwick_recordkit
                            ledgerwick_automation)
set(script "CREATE ${CMAKE_BINARY_DIR}/libledgerwick.a\n")
foreach(part ${LEDGERWICK_CLIENT_PARTS})
  string(APPEND script "ADDLIB $<TARGET_FILE:${part}>\n")
endforeach()
string(APPEND script "SAVE\nEND\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/libledgerwick.mri CONTENT "${script}")
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/libledgerwick.a
  COMMAND ${CMAKE_COMMAND} -E rm -f ${CMAKE_BINARY_DIR}/libledgerwick.a
  COMMAND ${CMAKE_AR} -M < ${CMAKE_BINARY_DIR}/libledgerwick.mri
  DEPENDS ${LEDGERWICK_CLIENT_PARTS} ${CMAKE_BINARY_DIR}/libledgerwick.mri
  COMMENT "Joining the client library's archives into libledgerwick.a")
add_custom_target(ledgerwick_client_archive ALL DEPENDS ${CMAKE_BINARY_DIR}/libledgerwick.a)
install(FILES ${CMAKE_BINARY_DIR}/libledgerwick.a DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Their headers, under the same folder names as in the tree: "client/application.h".
foreach(part ${LEDGERWICK_CLIENT_PARTS})
  get_target_property(folder ${part} LEDGERWICK_HEADER_FOLDER)
  get_target_property(headers ${part} LEDGERWICK_HEADER_FILES)
  install(FILES ${headers} DESTINATION ${LEDGERWICK_INCLUDE_DIR}/${folder})
endforeach()

# Both files find the rest from where they lie, so they hold wherever the prefix is.
file(RELATIVE_PATH LEDGERWICK_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
file(RELATIVE_PATH LEDGERWICK_CONFIG_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/cmake/Ledgerwick /)
configure_file(packaging/ledgerwick.pc.in ${CMAKE_BINARY_DIR}/ledgerwick.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ledgerwick.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
include(CMakePackageConfigHelpers)
configure_file(packaging/LedgerwickConfig.cmake.in ${CMAKE_BINARY_DIR}/LedgerwickConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/LedgerwickConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/LedgerwickConfig.cmake ${CMAKE_BINARY_DIR}/LedgerwickConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ledgerwick)

# The system around the daemon.
install(FILES packaging/ledgerwickd.service packaging/ledgerwickd.socket DESTINATION /lib/systemd/system)
install(FILES packaging/Ledgwk.ini DESTINATION /etc)
install(FILES packaging/ledgerwick.logrotate DESTINATION /etc/logrotate.d RENAME ledgerwick)

# Man pages and the package's documents, compressed as Debian keeps them.
find_program(GZIP gzip REQUIRED)
set(compressed)
foreach(page ledgerwickd.8 ledgerwick.1 ledgerwick-bench.1 Ledgwk.ini.5)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/man/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/man/${page})
  list(APPEND compressed ${CMAKE_BINARY_DIR}/man/${page}.gz)
  string(REGEX REPLACE ".*\\." "" section ${page})
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
add_custom_target(ledgerwick_package_docs ALL DEPENDS ${compressed} ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz packaging/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/ledgerwick)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ledgerwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_CONTACT "Ledgerwick developers <developers@ledgerwick.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "audit-event logging server")
set(CPACK_PACKAGE_DESCRIPTION "Client programs create Application objects in the ledgerwickd process,
fill an event's fields and call Loggit; the daemon writes each event to a
PostgreSQL table, else a local SQLite table, else a tab-separated text log.
The package holds the daemon, the ledgerwick command, the ledgerwick-bench
load tool and the client library with its headers.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# A client project needs Cap'n Proto's headers and libraries beside ours.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcapnp-dev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql, logrotate")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles
  ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
  ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
  ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
