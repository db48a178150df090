# Debian packages, one per install component (cmake/install.cmake):
#   libfpmatch1      runtime: libfpmatch.so.1
#   libfpmatch-id1   runtime: libfpmatch-id.so.1 (the identification library)
#   libfpmatch-dev   headers, libfpmatch.so, libfpmatch-id.so, libfpmatch.a, CMake and pkg-config files
#   fpmatch-tools    the fpmatch tool, its man page and bash completion
#   fpmatch-mpi      fpmatch-mpi and its man page (when Open MPI is found)
#   libfpmatch-java  the jar and libfpmatch-jni.so (when a JDK is found)
# Made with `cpack --config build/CPackConfig.cmake -B OUTDIR` or
# `cmake --build build --target package`; installed with
# `apt-get install ./*.deb`. They install under /usr.
#
# Dependencies on other Debian packages are computed: dpkg-shlibdeps (dpkg-dev)
# reads what each packaged program and library needs and which installed
# package provides it, so a package depends on what its build machine linked
# against. Dependencies between these packages are exact versions, declared
# below (INTERNAL); the package test checks that together they cover every
# library each packaged file needs.
set(CPACK_PACKAGE_NAME fpmatch)
set(CPACK_PACKAGE_VENDOR "the fpmatch authors")
set(CPACK_PACKAGE_CONTACT "fpmatch maintainers <maintainers@fpmatch.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description starts with its own summary line
# (CPACK_DEBIAN_<COMPONENT>_DESCRIPTION below). CPack puts the package-wide
# summary in front of it unless that summary is left at CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL ${FPMATCH_COMPONENTS})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shared libraries of this build (FPMATCH_SHARED_LIBRARIES, their
# targets), for dpkg-shlibdeps to find when a
# packaged file needs one (that dependency is then the exact one declared
# below); and a shlibs file in each library package, so that packages built
# against them get their dependencies computed the same way.
set(FPMATCH_SHARED_LIBRARIES fpmatch fpmatch_id)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "")
foreach(_library IN LISTS FPMATCH_SHARED_LIBRARIES)
  get_target_property(_folder ${_library} LIBRARY_OUTPUT_DIRECTORY)
  if(NOT _folder)
    get_target_property(_folder ${_library} BINARY_DIR)
  endif()
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${_folder})
endforeach()
list(REMOVE_DUPLICATES CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
find_program(FPMATCH_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT FPMATCH_DPKG_SHLIBDEPS AND EXISTS /usr/bin/dpkg)
  message(WARNING "fpmatch: dpkg-shlibdeps not found (Debian: dpkg-dev): packages made by cpack would lack "
                  "their dependencies on other Debian packages")
endif()
set(_fpmatch_licence "Licence: Apache-2.0.")

# fpmatch_deb(COMPONENT SECTION section SUMMARY line TEXT paragraph
#             [INTERNAL component...] [DEPENDS debian-package...] [ARCHITECTURE arch])
# Describes the package of COMPONENT: INTERNAL names the components of this
# build it needs (an exact version of each), DEPENDS what dpkg-shlibdeps
# cannot see (programs run rather than linked).
function(fpmatch_deb component)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "SECTION;SUMMARY;TEXT;ARCHITECTURE" "INTERNAL;DEPENDS")
  string(TOUPPER ${component} upper)
  set(depends ${ARG_DEPENDS})
  foreach(internal IN LISTS ARG_INTERNAL)
    list(APPEND depends "${FPMATCH_PACKAGE_${internal}} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")
  endforeach()
  list(JOIN depends ", " depends)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${FPMATCH_PACKAGE_${component}} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${ARG_SECTION} PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${ARG_SUMMARY}\n${ARG_TEXT} ${_fpmatch_licence}" PARENT_SCOPE)
  if(ARG_ARCHITECTURE)
    set(CPACK_DEBIAN_${upper}_PACKAGE_ARCHITECTURE ${ARG_ARCHITECTURE} PARENT_SCOPE)
  endif()
endfunction()

fpmatch_deb(runtime SECTION libs
  SUMMARY "Fingerprint minutiae matching library"
  TEXT "fpmatch compares fingerprint minutiae templates (ISO/IEC 19794-2:2005
records and its native format) and scores their likeness from 0 to 100.
This package holds the shared library.")

fpmatch_deb(id SECTION libs INTERNAL runtime
  SUMMARY "Fingerprint identification library"
  TEXT "libfpmatch-id keeps galleries of enrolled subjects in files (add,
remove, commit, compact, check, one writer and any number of readers) and
identifies probes among them on every core with the fpmatch library.")

fpmatch_deb(dev SECTION libdevel INTERNAL runtime id
  SUMMARY "Fingerprint minutiae matching library - development files"
  TEXT "The headers fpmatch.h and fpmatch_id.h, the links libfpmatch.so and
libfpmatch-id.so, the static library libfpmatch.a, a CMake package (find_package(fpmatch)) and a pkg-config
file (pkg-config fpmatch).")

fpmatch_deb(tools SECTION utils INTERNAL runtime id
  SUMMARY "Fingerprint minutiae matching - command-line tool"
  TEXT "The fpmatch tool compares, searches, screens, inspects, converts and
evaluates fingerprint minutiae templates with the fpmatch library. With
its man page and bash completion.")

# mpirun, which starts the ranks, is a program of openmpi-bin.
fpmatch_deb(mpi SECTION utils INTERNAL runtime id DEPENDS openmpi-bin
  SUMMARY "Fingerprint minutiae matching - identification over Open MPI"
  TEXT "fpmatch-mpi searches one packed gallery spread over the ranks of an
Open MPI job (each rank searches its part, rank 0 merges the best hits) and
cuts galleries into shards. With its man page.")

fpmatch_deb(java SECTION java INTERNAL runtime id ARCHITECTURE amd64
  SUMMARY "Fingerprint minutiae matching library - Java binding"
  TEXT "The jar of com.vorel.JavaMatcher (/usr/share/java/fpmatch.jar) and its
JNI library libfpmatch-jni.so on the JVM's default library path.")

include(CPack)

# Builds the packages from this build tree, checks what each holds and that
# each packaged program and library finds what it needs among the package's
# dependencies, then installs them with apt-get when allowed.
if(FPMATCH_BUILD_TESTS AND NOT FPMATCH_SANITIZE AND NOT FPMATCH_TSAN AND NOT FPMATCH_FUZZ)
  add_test(NAME tool.debian_packages
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/tool/package_test.sh
      ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/package-test
      ${PROJECT_VERSION} ${CMAKE_INSTALL_LIBDIR} "${FPMATCH_COMPONENTS}")
  set_tests_properties(tool.debian_packages PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77 RESOURCE_LOCK apt)
endif()
