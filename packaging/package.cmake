# Installation and the Debian package: the three programs, the systemd unit
# template, the table definitions, the man pages and the controller's user.
#
#   cmake --install build --prefix /usr       installs onto this machine
#   (cd build && cpack -G DEB)                builds kvrjobstr_VERSION_ARCH.deb
#
# KVRJOBSTR goes to lib/kvrjobstr/, not to bin/: it runs from a copy in each
# instance's program directory (/var/lib/kvrjobstr/N), which the unit makes.

set(KVR_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KVR_STATE_DIR /var/lib/kvrjobstr)

install(TARGETS KVRJOBSTR RUNTIME DESTINATION lib/kvrjobstr)
install(TARGETS kvrjobsvc kvrjobctl RUNTIME DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sql/ DESTINATION share/kvrjobstr/sql
        FILES_MATCHING PATTERN "*.sql")
install(FILES ${KVR_PACKAGING_DIR}/man/KVRJOBSTR.1 ${KVR_PACKAGING_DIR}/man/kvrjobsvc.1
              ${KVR_PACKAGING_DIR}/man/kvrjobctl.1
        DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION share/doc/kvrjobstr)
install(FILES ${KVR_PACKAGING_DIR}/kvrjobstr.sysusers DESTINATION lib/sysusers.d
        RENAME kvrjobstr.conf)

# The unit names the installed programs, so it is written at install time,
# when the prefix is known (cpack installs under its own prefix, /usr).
set(KVR_UNIT_OUT ${CMAKE_BINARY_DIR}/packaging/kvrjobsvc@.service)
install(CODE "
  set(KVR_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
  set(KVR_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/lib/kvrjobstr/KVRJOBSTR\")
  set(KVR_STATE_DIR \"${KVR_STATE_DIR}\")
  configure_file(\"${KVR_PACKAGING_DIR}/kvrjobsvc@.service.in\" \"${KVR_UNIT_OUT}\" @ONLY)
")
install(FILES ${KVR_UNIT_OUT} DESTINATION lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvrjobstr)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "KVRJOBSTR developers <kvrjobstr@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "job controller working the KVR500JOB queue on PostgreSQL or SQLite")
set(CPACK_PACKAGE_DESCRIPTION
    "KVRJOBSTR starts the due jobs of the queue as processes, supervises them and \
posts messages for the users. kvrjobsvc watches it and runs it under systemd \
(kvrjobsvc@N.service), and kvrjobctl sets up the tables and shows the queue.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KVR_PACKAGING_DIR}/postinst ${KVR_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

add_test(NAME packaging
         COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/package_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(packaging PROPERTIES TIMEOUT 600)
