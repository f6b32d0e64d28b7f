# Runs at install time (cmake --install, cpack), so the unit names the prefix really installed
# to: with the prefix /usr (the Debian package) the options file is /etc/default/vrns, under
# any other prefix PREFIX/etc/default/vrns. An options file already there is kept.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${prefix}/etc")
endif()
set(VRNS_BIN "${prefix}/bin/vrns")
set(VRNS_DEFAULTS_FILE "${etc}/default/vrns")
set(unit "$ENV{DESTDIR}${prefix}/lib/systemd/system/vrns.service")
message(STATUS "Installing: ${unit}")
configure_file("${VRNS_DEPLOY_DIR}/systemd/vrns.service.in" "${unit}" @ONLY)
if(NOT EXISTS "$ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
  message(STATUS "Installing: $ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${etc}/default")
  file(COPY_FILE "${VRNS_DEPLOY_DIR}/systemd/vrns.default" "$ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
endif()
