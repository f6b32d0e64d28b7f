# Installation and the Debian package. The executable and its runtime/lib stay together in
# lib/vrns, as its run path ($ORIGIN/runtime/lib) requires, and bin/vrns links to it (the loader
# takes $ORIGIN from the resolved path). The Mono support libraries are not copied: the loader
# finds them where Debian's mono-runtime-common puts them. The managed libraries go to
# lib/vrns/managed (managed/CMakeLists.txt). The units, the options file, the applications'
# folder and vrns.pc are written at install time by vrns_install_configured.cmake.
install(TARGETS vrns RUNTIME DESTINATION lib/vrns)
install(TARGETS orvanta LIBRARY DESTINATION lib/vrns/runtime/lib)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../lib/vrns/vrns ${CMAKE_BINARY_DIR}/install/vrns SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/vrns DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/haproxy/vrns.cfg DESTINATION share/vrns RENAME haproxy.cfg)
install(CODE "set(VRNS_DEPLOY_DIR \"${CMAKE_SOURCE_DIR}/deploy\")
  set(VRNS_VERSION \"${PROJECT_VERSION}\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/vrns_install_configured.cmake)

# cpack -G DEB: always for the prefix /usr, whatever this build's own prefix is.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vrns)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vrns maintainers <vrns@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "vrns HTTP server: its native host, static-file server and C# libraries")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
# Named by hand: the Mono support libraries are unversioned, which dpkg-shlibdeps cannot map.
# Managed applications need the class libraries the two assemblies reference (mscorlib, System,
# System.Core); building one takes mcs and pkg-config (mcs -pkg:vrns).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6, libgcc-s1, mono-runtime-common, libmonosgen-2.0-1, media-types, libmono-corlib4.5-cil, libmono-system4.0-cil, libmono-system-core4.0-cil")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "mono-mcs, pkg-config")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles ${CMAKE_SOURCE_DIR}/deploy/debian/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/prerm ${CMAKE_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
