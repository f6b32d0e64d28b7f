# The executable vrns. Its link is part of its interface: the host library resolves the
# executable's functions by name, and the dynamic loader must bring in the Mono support
# libraries and the host library from runtime/lib beside it.
set(VRNS_RUNTIME_LIB ${CMAKE_BINARY_DIR}/runtime/lib)
file(MAKE_DIRECTORY ${VRNS_RUNTIME_LIB})

foreach(lib libMonoPosixHelper.so libMonoSupportW.so libmono-native.so.0)
  if(NOT EXISTS ${VRNS_MONO_LIBDIR}/${lib})
    message(FATAL_ERROR "${VRNS_MONO_LIBDIR}/${lib} is missing: run scripts/install-deps.sh")
  endif()
  file(CREATE_LINK ${VRNS_MONO_LIBDIR}/${lib} ${VRNS_RUNTIME_LIB}/${lib} SYMBOLIC)
endforeach()

add_executable(vrns host/vrn_main.cpp host/vrn_anchor.cpp)
set_target_properties(vrns PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  BUILD_WITH_INSTALL_RPATH TRUE
  INSTALL_RPATH "$ORIGIN/runtime/lib")
# Export every global symbol (the standard library's too, which is linked in statically so
# that the process does not depend on the system's libstdc++), and record the needed libraries
# in this order: the three Mono support libraries, the host library, libc, libpthread. The
# driver drops a plain -lc from the user's arguments, hence -l:libc.so.6.
target_link_options(vrns PRIVATE -rdynamic -static-libstdc++ -static-libgcc -Wl,--no-as-needed)
target_link_libraries(vrns PRIVATE
  "$<LINK_LIBRARY:WHOLE_ARCHIVE,vrns_core>"
  -L${VRNS_MONO_LIBDIR} -l:libMonoPosixHelper.so -l:libMonoSupportW.so -l:libmono-native.so.0
  orvanta -l:libc.so.6 -l:libpthread.so.0
  # Whatever the compiler driver appends after this point (libm for the static standard
  # library, its own libc) is recorded only if it is really used.
  -Wl,--as-needed)
