# Installing Tessel: libtessel.so with its soname, the headers a server program includes, the
# programs, a CMake package (find_package(Tessel), target Tessel::tessel) and tessel.pc.

# The headers a server program starts from; every header they include from the tree is installed
# with them, under include/ with the same relative paths, so "tessel/host/tessel.h" is written
# the same way in the tree and outside it.
set(TESSEL_PUBLIC_ENTRIES tessel/host/tessel.h tessel/link/easy_server.h tessel/link/easy_client.h
    tessel/console/tessel_cmd.h tessel/core/cmd.h tessel/core/cmd_array.h tessel/core/loggers.h
    tessel/core/config_stores.h)
file(GLOB entry_globs RELATIVE ${CMAKE_SOURCE_DIR}/src CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/tessel/contracts/*.h ${CMAKE_SOURCE_DIR}/src/tessel/msg/*.h)
list(APPEND TESSEL_PUBLIC_ENTRIES ${entry_globs})

# tessel_header_closure(VAR entries...): the entries and every quoted include they reach that
# exists under src/, as paths relative to src/.
function(tessel_header_closure var)
  set(todo ${ARGN})
  set(done)
  while(todo)
    list(POP_FRONT todo header)
    if(header IN_LIST done)
      continue()
    endif()
    list(APPEND done ${header})
    set(path ${CMAKE_SOURCE_DIR}/src/${header})
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines REGEX "^#include \"")
    foreach(line ${lines})
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" inc "${line}")
      if(EXISTS ${CMAKE_SOURCE_DIR}/src/${inc})
        list(APPEND todo ${inc})
      else()
        message(FATAL_ERROR "${header} includes ${inc}, which is not under src/")
      endif()
    endforeach()
  endwhile()
  set(${var} ${done} PARENT_SCOPE)
endfunction()

tessel_header_closure(TESSEL_PUBLIC_HEADERS ${TESSEL_PUBLIC_ENTRIES})
foreach(header ${TESSEL_PUBLIC_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/src/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${folder})
endforeach()

install(TARGETS tessel EXPORT TesselTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(TESSEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessel)
install(EXPORT TesselTargets NAMESPACE Tessel:: DESTINATION ${TESSEL_CMAKE_DIR})
include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/TesselConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TesselConfig.cmake INSTALL_DESTINATION ${TESSEL_CMAKE_DIR})
# 0.x releases may break the ABI from one minor version to the next.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TesselConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TesselConfig.cmake ${CMAKE_BINARY_DIR}/TesselConfigVersion.cmake
        DESTINATION ${TESSEL_CMAKE_DIR})
# The .pc file finds its prefix from its own place, so an install under any prefix works.
string(REGEX REPLACE "[^/]+" ".." TESSEL_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_SOURCE_DIR}/cmake/tessel.pc.in ${CMAKE_BINARY_DIR}/tessel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tessel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The unit template of the service: one instance per program name (tessel@game.service). Made
# at install time, so that it names the program where this install puts it.
install(CODE "
  set(TESSEL_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/cmake/tessel@.service.in\"
                 \"${CMAKE_BINARY_DIR}/unit/tessel@.service\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/unit/tessel@.service\"
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")")

# cpack -G DEB: a Debian package of the same install tree.
set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_CONTACT "Tessel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host library for the server processes of a game cluster")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "liblua5.1-0-dev")
include(CPack)

# The README's own example, built against an installed copy with find_package and with
# pkg-config. Sanitizer builds skip it: their library needs the sanitizer runtime at every link.
if(TESSEL_TESTS AND NOT TESSEL_SANITIZE)
  add_test(NAME package COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/package_check ${CMAKE_BINARY_DIR})
  set_tests_properties(package PROPERTIES LABELS package TIMEOUT 600 RUN_SERIAL TRUE)
endif()
