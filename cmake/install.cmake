# Installation: the shared library (versioned soname), the public header, the
# fpmatch tool, the Java jar when one is built, a CMake package
# (find_package(fpmatch) -> fpmatch::fpmatch) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(FPMATCH_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fpmatch)

install(TARGETS fpmatch EXPORT fpmatchTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET fpmatch_tool)
  install(TARGETS fpmatch_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Java jar. The JNI entry point lives in the shared library itself; the jar
# holds com.vorel.JavaMatcher. Installed when java/ defines one of these
# targets (made with add_jar).
foreach(jar_target fpmatch_jar fpmatch_java JavaMatcher javamatcher)
  if(TARGET ${jar_target})
    get_target_property(_fpmatch_jar_file ${jar_target} JAR_FILE)
    if(_fpmatch_jar_file)
      include(UseJava)
      install_jar(${jar_target} DESTINATION ${CMAKE_INSTALL_DATADIR}/java)
      break()
    endif()
  endif()
endforeach()

install(EXPORT fpmatchTargets
  NAMESPACE fpmatch::
  FILE fpmatchTargets.cmake
  DESTINATION ${FPMATCH_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/fpmatchConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfig.cmake
  INSTALL_DESTINATION ${FPMATCH_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/fpmatchConfigVersion.cmake
  DESTINATION ${FPMATCH_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so the
# installed tree can be moved (or installed with cmake --install --prefix).
file(RELATIVE_PATH FPMATCH_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" FPMATCH_PC_TO_PREFIX "${FPMATCH_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/fpmatch.pc.in ${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/fpmatch.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installs into a temporary prefix and builds a small consumer against it,
# once through the CMake package and once through pkg-config. Not in
# sanitizer or fuzzing builds: a plain consumer cannot load a library built
# with a sanitizer runtime.
if(FPMATCH_BUILD_TESTS AND NOT FPMATCH_SANITIZE AND NOT FPMATCH_TSAN AND NOT FPMATCH_FUZZ
   AND EXISTS ${PROJECT_SOURCE_DIR}/tests/tool/install_test.sh)
  add_test(NAME tool.install_and_consume
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/tool/install_test.sh
      ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install-test
      ${PROJECT_SOURCE_DIR}/tests/tool/consumer ${CMAKE_C_COMPILER} ${CMAKE_INSTALL_LIBDIR})
  set_tests_properties(tool.install_and_consume PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
