# Installation and the Debian package. The executable and its runtime/lib stay together in
# lib/vrns, as its run path ($ORIGIN/runtime/lib) requires, and bin/vrns links to it (the loader
# takes $ORIGIN from the resolved path). The Mono support libraries are not copied: the loader
# finds them where Debian's mono-runtime-common puts them. The service unit and the options
# file are written at install time by vrns_install_service.cmake.
install(TARGETS vrns RUNTIME DESTINATION lib/vrns)
install(TARGETS orvanta LIBRARY DESTINATION lib/vrns/runtime/lib)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../lib/vrns/vrns ${CMAKE_BINARY_DIR}/install/vrns SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/vrns DESTINATION bin)
install(CODE "set(VRNS_DEPLOY_DIR \"${CMAKE_SOURCE_DIR}/deploy\")")
install(SCRIPT ${CMAKE_SOURCE_DIR}/cmake/vrns_install_service.cmake)

# cpack -G DEB: always for the prefix /usr, whatever this build's own prefix is.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vrns)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "vrns maintainers <vrns@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "vrns static-file HTTP server with its native host")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
# Named by hand: the Mono support libraries are unversioned, which dpkg-shlibdeps cannot map.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6, libgcc-s1, mono-runtime-common, libmonosgen-2.0-1, media-types")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles ${CMAKE_SOURCE_DIR}/deploy/debian/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/prerm ${CMAKE_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
