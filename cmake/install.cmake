# Install rules: the programs, their man pages and the logging service.
include(GNUInstallDirs)
install(TARGETS kestrode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/kestrode.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
if(TARGET kestrode-sim)
  install(TARGETS kestrode-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/kestrode-sim.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Relative to the prefix by default: systemd also reads /usr/local/lib/systemd/system.
set(KESTRODE_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
  "where kestrode@.service is installed; empty for nowhere")
if(KESTRODE_SYSTEMD_UNITDIR)
  configure_file(${PROJECT_SOURCE_DIR}/service/kestrode@.service.in
    ${PROJECT_BINARY_DIR}/kestrode@.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kestrode@.service DESTINATION ${KESTRODE_SYSTEMD_UNITDIR})
  # Its account and its folders; lib below the prefix, never a multiarch libdir.
  install(FILES ${PROJECT_SOURCE_DIR}/service/kestrode.sysusers
    DESTINATION lib/sysusers.d RENAME kestrode.conf)
  install(FILES ${PROJECT_SOURCE_DIR}/service/kestrode.tmpfiles
    DESTINATION lib/tmpfiles.d RENAME kestrode.conf)
endif()
