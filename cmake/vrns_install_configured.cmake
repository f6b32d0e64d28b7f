# Runs at install time (cmake --install, cpack), so the files that name the prefix name the one
# really installed to: the units, the options file, the applications' folder and vrns.pc. With
# the prefix /usr (the Debian package) the configuration lives in /etc, under any other prefix in
# PREFIX/etc. An options file already there is kept.
set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(etc "/etc")
else()
  set(etc "${prefix}/etc")
endif()
set(VRNS_BIN "${prefix}/bin/vrns")
set(VRNS_DEFAULTS_FILE "${etc}/default/vrns")
set(VRNS_APPS_DIR "${etc}/vrns/apps")
set(VRNS_LIBDIR "${prefix}/lib/vrns/managed")
# What every unit's [Service] section holds: how it stops, its limits and its sandbox.
file(READ "${VRNS_DEPLOY_DIR}/systemd/service.conf" VRNS_SERVICE_COMMON)

# configure_and_say TEMPLATE DESTINATION: one file configured into place, as install() reports.
function(configure_and_say template destination)
  message(STATUS "Installing: ${destination}")
  configure_file("${template}" "${destination}" @ONLY)
endfunction()

set(units "$ENV{DESTDIR}${prefix}/lib/systemd/system")
configure_and_say("${VRNS_DEPLOY_DIR}/systemd/vrns.service.in" "${units}/vrns.service")
configure_and_say("${VRNS_DEPLOY_DIR}/systemd/vrns-app@.service.in" "${units}/vrns-app@.service")
configure_and_say("${VRNS_DEPLOY_DIR}/pkgconfig/vrns.pc.in" "$ENV{DESTDIR}${prefix}/lib/pkgconfig/vrns.pc")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${VRNS_APPS_DIR}")
if(NOT EXISTS "$ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
  message(STATUS "Installing: $ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
  file(MAKE_DIRECTORY "$ENV{DESTDIR}${etc}/default")
  file(COPY_FILE "${VRNS_DEPLOY_DIR}/systemd/vrns.default" "$ENV{DESTDIR}${VRNS_DEFAULTS_FILE}")
endif()
