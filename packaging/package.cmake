# The Debian package: the three programs, a systemd unit, the maintainer
# scripts that make the service's user and folder, man pages made from each
# program's --help, and the failover examples. scripts/package builds it.

include(GNUInstallDirs)

install(TARGETS marlin-server marlin-routersim marlin-panel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/marlin-server.service DESTINATION lib/systemd/system)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/keepalived/marlin-notify.sh
        DESTINATION ${CMAKE_INSTALL_DATADIR}/marlin-server/keepalived)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/keepalived/keepalived.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/marlin-server/keepalived)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/marlin-server)

# Man pages from --help and a page of extra sections per program (name,
# files, signals, exit status), made after the programs are built.
find_program(HELP2MAN help2man REQUIRED)
foreach(program marlin-server marlin-routersim marlin-panel)
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
            --include=${CMAKE_SOURCE_DIR}/packaging/man/${program}.h2m --output=${page} $<TARGET_FILE:${program}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${CMAKE_SOURCE_DIR}/packaging/man/${program}.h2m
    VERBATIM)
  list(APPEND man_pages ${page}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marlin-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Marlin Server team <marlin-server@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Router control server for broadcast facilities")
set(CPACK_PACKAGE_DESCRIPTION "Marlin Server stands between video routers and the people who switch them: it talks to the routers over serial lines and TCP/UDP, queues and paces every command, polls silent routers, notices lost and restored links and serves remote control panels. Runs as the marlin-server service.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
