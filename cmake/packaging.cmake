# What "cmake --install" puts where, and the Debian package CPack makes of it
# (scripts/package: tarvo-automation_<version>_amd64.deb).

set(TARVO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvo-automation)

install(TARGETS tarvo-engined tarvo-switcher-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tarvo-engine)
  install(TARGETS tarvo-engine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES contrib/tarvo-engine.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES contrib/tarvo-engine.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
endif()

# The empty database's script where tarvo-engined --init looks for it, beside the documents.
install(FILES docs/TarvoAutomation.sql DESTINATION ${TARVO_DATA_DIR})
install(FILES docs/database.md docs/operating.md docs/serial-ports.md docs/high-availability.md docs/architecture.md
              docs/reliability.md docs/performance.md docs/api.md docs/metrics.md
        DESTINATION ${TARVO_DATA_DIR}/docs)
# The alert rules for a Prometheus that scrapes the web console's /metrics.
install(FILES contrib/prometheus/tarvo-rules.yml DESTINATION ${TARVO_DATA_DIR}/prometheus)
install(DIRECTORY docs/examples DESTINATION ${TARVO_DATA_DIR}/docs)
install(FILES README.md DESTINATION ${TARVO_DOC_DIR})

# Debian keeps units in /lib/systemd/system (bookworm; the move to /usr/lib came later).
install(FILES contrib/tarvo-engined@.service DESTINATION /lib/systemd/system)

# Manual pages and the changelog, compressed as Debian wants them: gzip -9 without a time stamp.
set(compressed "")
foreach(page tarvo-engine tarvo-engined tarvo-switcher-sim)
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 VERBATIM)
  list(APPEND compressed ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(contrib/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
set(changelog ${CMAKE_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/debian/changelog > ${changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog VERBATIM)
list(APPEND compressed ${changelog})
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
install(FILES ${changelog} contrib/debian/copyright DESTINATION ${TARVO_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo-automation)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvo Broadcast Systems Oy")
set(CPACK_PACKAGE_CONTACT "Tarvo Broadcast Systems Oy <support@tarvo.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "automation engine for an audio routing switcher")
# The long description only: CPack puts the summary above it and indents it as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The Tarvo Automation Engine runs unattended beside an audio routing
switcher in a broadcast facility. It keeps a TCP link to the switcher
and carries out the events prepared in a SQLite database: at a day and
time, or when the switcher reports an opto, relay or routing change.
Every action done or refused is logged.

This package holds the desktop program tarvo-engine, the headless
tarvo-engined with the systemd template unit tarvo-engined@.service
(one engine per switcher), and the switcher simulator tarvo-switcher-sim
for dry runs of a database.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Besides the libraries dpkg-shlibdeps finds: the maintainer scripts make the user with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/contrib/debian/postinst ${PROJECT_SOURCE_DIR}/contrib/debian/prerm
    ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
