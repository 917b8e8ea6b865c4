# Where `cmake --install` puts the service: programs, the private plug-in and helper, the
# settings (a conffile), the unit, the manual pages, and the empty state and log directories.
# With the prefix /usr, GNUInstallDirs makes the settings /etc and the state /var.
install(TARGETS fkindexingservice RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS fkcatalogue RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS fkpdftext LIBRARY DESTINATION lib/fkindexingservice)
install(TARGETS fkpdftext-helper RUNTIME DESTINATION lib/fkindexingservice)
install(FILES dist/FKIndexingServiceConfig.xml DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/fkindexingservice)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/fkindexingservice)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/fkindexingservice)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/fkindexingservice)

# Debian keeps units in /lib/systemd/system; another prefix keeps them under itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(FK_UNIT_DIR_DEFAULT /lib/systemd/system)
else()
  set(FK_UNIT_DIR_DEFAULT ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(FK_UNIT_DIR ${FK_UNIT_DIR_DEFAULT} CACHE PATH "Directory of the systemd unit")
install(FILES dist/fkindexingservice.service DESTINATION ${FK_UNIT_DIR})

# Manual pages: scdoc sources in doc/, made at build time.
find_program(SCDOC scdoc)
if(SCDOC)
  set(FK_MANPAGES)
  foreach(page fkindexingservice.8 fkcatalogue.1)
    string(REGEX REPLACE "^.*[.]" "" section ${page})
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC} ${CMAKE_SOURCE_DIR}/doc/${page}.scd
              ${CMAKE_BINARY_DIR}/man/${page}
      DEPENDS ${CMAKE_SOURCE_DIR}/doc/${page}.scd VERBATIM)
    list(APPEND FK_MANPAGES ${CMAKE_BINARY_DIR}/man/${page})
    install(FILES ${CMAKE_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${FK_MANPAGES})
elseif(FK_REQUIRE_MANPAGES)
  message(FATAL_ERROR "scdoc is needed for the manual pages (apt-get install scdoc)")
else()
  message(WARNING "scdoc not found: the manual pages are not built")
endif()
