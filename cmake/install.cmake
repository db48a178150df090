# Installation, one component per Debian package (cmake/packaging.cmake
# describes each package):
#   runtime  libfpmatch1      the shared library libfpmatch.so.1 (soname)
#   id       libfpmatch-id1   the identification library libfpmatch-id.so.1
#   dev      libfpmatch-dev   the headers, the .so links, the static
#                             library libfpmatch.a, a CMake package
#                             (find_package(fpmatch) -> fpmatch::fpmatch,
#                             fpmatch::fpmatch_static) and a pkg-config file
#   tools    fpmatch-tools    the fpmatch tool, its man page and bash completion
#   mpi      fpmatch-mpi      fpmatch-mpi and its man page (when Open MPI is found)
#   java     libfpmatch-java  the jar, and libfpmatch-jni.so in LIBDIR/jni, which
#                             is on the JVM's default java.library.path on Debian
# Each package also carries the licence as doc/PACKAGE/copyright.
#
# A further library joins with: its package name below, an install() of the
# target in its own component (NAMELINK_COMPONENT and header in dev, EXPORT
# fpmatchTargets), fpmatch_component(COMPONENT), and its description in
# cmake/packaging.cmake.
include(CMakePackageConfigHelpers)

set(FPMATCH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fpmatch)
set(FPMATCH_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc)

set(FPMATCH_PACKAGE_runtime libfpmatch1)
set(FPMATCH_PACKAGE_dev libfpmatch-dev)
set(FPMATCH_PACKAGE_id libfpmatch-id1)
set(FPMATCH_PACKAGE_tools fpmatch-tools)
set(FPMATCH_PACKAGE_mpi fpmatch-mpi)
set(FPMATCH_PACKAGE_java libfpmatch-java)

# The components installed by this build, in order (FPMATCH_COMPONENTS), each
# with its licence file.
set(FPMATCH_COMPONENTS "")
macro(fpmatch_component component)
  list(APPEND FPMATCH_COMPONENTS ${component})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${FPMATCH_DOC_DIR}/${FPMATCH_PACKAGE_${component}}
    RENAME copyright COMPONENT ${component})
endmacro()

# A man page written by help2man from a program's own --help (and each
# subcommand's, tools/man/make_manpage.sh), so it follows the program;
# tools/man/NAME.h2m adds the static sections. Not made in sanitizer builds,
# which are not installed (and whose program would run under the sanitizers
# at build time).
find_program(FPMATCH_HELP2MAN help2man)
function(fpmatch_man_page target name component summary)
  if(FPMATCH_SANITIZE OR FPMATCH_TSAN)
    return()
  endif()
  if(NOT FPMATCH_HELP2MAN)
    message(WARNING "fpmatch: help2man not found (Debian: help2man); the ${name} man page is not made")
    return()
  endif()
  set(man ${PROJECT_BINARY_DIR}/${name}.1)
  add_custom_command(OUTPUT ${man}.gz
    COMMAND bash ${PROJECT_SOURCE_DIR}/tools/man/make_manpage.sh ${FPMATCH_HELP2MAN}
            $<TARGET_FILE:${target}> ${name} "${summary}" ${PROJECT_SOURCE_DIR}/tools/man/${name}.h2m ${man}
    COMMAND gzip -9nf ${man}
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/tools/man/make_manpage.sh ${PROJECT_SOURCE_DIR}/tools/man/${name}.h2m
    COMMENT "Writing the ${name} man page")
  add_custom_target(${target}_manpage ALL DEPENDS ${man}.gz)
  install(FILES ${man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

install(TARGETS fpmatch EXPORT fpmatchTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS fpmatch_static EXPORT fpmatchTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The identification library: its own runtime package; its header and
# link go with the core's development files.
install(TARGETS fpmatch_id EXPORT fpmatchTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT id NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
fpmatch_component(runtime)
fpmatch_component(id)
fpmatch_component(dev)

if(TARGET fpmatch_tool)
  install(TARGETS fpmatch_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  fpmatch_man_page(fpmatch_tool fpmatch tools
    "compare, search, screen, inspect and evaluate fingerprint minutiae templates")
  install(FILES ${PROJECT_SOURCE_DIR}/tools/bash-completion/fpmatch
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
  fpmatch_component(tools)
endif()

if(TARGET fpmatch_mpi)
  install(TARGETS fpmatch_mpi RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mpi)
  fpmatch_man_page(fpmatch_mpi fpmatch-mpi mpi
    "identification over a packed fingerprint gallery spread across the ranks of an Open MPI job")
  fpmatch_component(mpi)
endif()

# Java: the jar (with the library version in its manifest) and the JNI
# library, in LIBDIR/jni.
if(TARGET fpmatch_java)
  include(UseJava)
  install_jar(fpmatch_java DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT java)
  install(TARGETS fpmatch_jni LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/jni COMPONENT java)
  fpmatch_component(java)
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
