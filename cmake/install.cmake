# Installation, in four components (one Debian package each, see
# cmake/packaging.cmake):
#   runtime  the shared library libfpmatch.so.1 (soname) and its licence;
#   dev      the header, the libfpmatch.so link, the static library
#            libfpmatch.a, a CMake package (find_package(fpmatch) ->
#            fpmatch::fpmatch, fpmatch::fpmatch_static) and a pkg-config file;
#   tools    the fpmatch tool, its man page and its bash completion;
#   java     the jar, and a link to the library in LIBDIR/jni, which is on
#            the JVM's default java.library.path on Debian.
include(CMakePackageConfigHelpers)

set(FPMATCH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fpmatch)
set(FPMATCH_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc)

install(TARGETS fpmatch EXPORT fpmatchTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS fpmatch_static EXPORT fpmatchTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)

# The licence beside each part (Debian keeps it as doc/PACKAGE/copyright).
foreach(_part libfpmatch1:runtime libfpmatch-dev:dev fpmatch-tools:tools libfpmatch-java:java)
  string(REPLACE ":" ";" _part "${_part}")
  list(GET _part 0 _package)
  list(GET _part 1 _component)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${FPMATCH_DOC_DIR}/${_package}
    RENAME copyright COMPONENT ${_component})
endforeach()

if(TARGET fpmatch_tool)
  install(TARGETS fpmatch_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # The tool's galleries go through the identification library: its shared
  # library (soname libfpmatch-id.so.1) travels with the tool until it has a
  # package of its own (its header only on request, component id-dev).
  install(TARGETS fpmatch_id
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools NAMELINK_SKIP
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT id-dev EXCLUDE_FROM_ALL)

  # Man page, written by help2man from the tool's own --help (and each
  # subcommand's), so it follows the tool.
  # Not made in sanitizer builds, which are not installed (and whose tool
  # would run under the sanitizers at build time).
  find_program(FPMATCH_HELP2MAN help2man)
  if(FPMATCH_HELP2MAN AND NOT FPMATCH_SANITIZE AND NOT FPMATCH_TSAN)
    set(_man ${PROJECT_BINARY_DIR}/fpmatch.1)
    add_custom_command(OUTPUT ${_man}.gz
      COMMAND bash ${PROJECT_SOURCE_DIR}/tools/man/make_manpage.sh ${FPMATCH_HELP2MAN}
              $<TARGET_FILE:fpmatch_tool> ${PROJECT_SOURCE_DIR}/tools/man/fpmatch.h2m ${_man}
      COMMAND gzip -9nf ${_man}
      DEPENDS fpmatch_tool ${PROJECT_SOURCE_DIR}/tools/man/make_manpage.sh
              ${PROJECT_SOURCE_DIR}/tools/man/fpmatch.h2m
      COMMENT "Writing the fpmatch man page")
    add_custom_target(fpmatch_manpage ALL DEPENDS ${_man}.gz)
    install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  elseif(NOT FPMATCH_HELP2MAN)
    message(WARNING "fpmatch: help2man not found (Debian: help2man); the fpmatch man page is not made")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/tools/bash-completion/fpmatch
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
endif()

# Java jar, with the library version in its manifest.
if(TARGET fpmatch_java)
  include(UseJava)
  install_jar(fpmatch_java DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT java)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/jni)
  file(CREATE_LINK ../libfpmatch.so.${PROJECT_VERSION_MAJOR} ${PROJECT_BINARY_DIR}/jni/libfpmatch.so SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/jni/libfpmatch.so DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni COMPONENT java)
endif()

install(EXPORT fpmatchTargets
  NAMESPACE fpmatch::
  FILE fpmatchTargets.cmake
  DESTINATION ${FPMATCH_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/fpmatchConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfig.cmake
  INSTALL_DESTINATION ${FPMATCH_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfigVersion.cmake
  DESTINATION ${FPMATCH_CMAKE_DIR}
  COMPONENT dev)

# pkg-config: the prefix is found from the .pc file's own place, so the
# installed tree can be moved (or installed with cmake --install --prefix);
# under /usr it is written as /usr, so that pkg-config leaves out the system
# folders.
# Outside /usr, whose library folder the dynamic loader always searches, the
# file also gives the linker an rpath to the library folder, so that a
# program built with `cc app.c $(pkg-config --cflags --libs fpmatch)` finds
# libfpmatch.so.1 when it runs. Which applies is decided when installing,
# from the prefix installed to.
file(RELATIVE_PATH FPMATCH_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" FPMATCH_PC_TO_PREFIX "${FPMATCH_PC_TO_PREFIX}")
set(FPMATCH_PC_RPATH "@FPMATCH_PC_RPATH@")
set(FPMATCH_PC_PREFIX "@FPMATCH_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/fpmatch.pc.in ${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc.in @ONLY)
install(CODE "
  if(CMAKE_INSTALL_PREFIX MATCHES \"^/usr/?$\")
    set(FPMATCH_PC_PREFIX \"/usr\")
    set(FPMATCH_PC_RPATH \"\")
  else()
    set(FPMATCH_PC_PREFIX \"\\\${pcfiledir}/${FPMATCH_PC_TO_PREFIX}\")
    set(FPMATCH_PC_RPATH \" -Wl,-rpath,\\\${libdir}\")
  endif()
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Installs into a temporary prefix and builds a small consumer against it,
# once through the CMake package and once through pkg-config. Not in
# sanitizer or fuzzing builds: a plain consumer cannot load a library built
# with a sanitizer runtime.
if(FPMATCH_BUILD_TESTS AND NOT FPMATCH_SANITIZE AND NOT FPMATCH_TSAN AND NOT FPMATCH_FUZZ
   AND EXISTS ${PROJECT_SOURCE_DIR}/tests/tool/install_test.sh)
  add_test(NAME tool.install_and_consume
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/tool/install_test.sh
      ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install-test
      ${PROJECT_SOURCE_DIR}/tests/tool/consumer ${CMAKE_C_COMPILER} ${CMAKE_INSTALL_LIBDIR}
      ${PROJECT_VERSION})
  set_tests_properties(tool.install_and_consume PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/packaging.cmake)
