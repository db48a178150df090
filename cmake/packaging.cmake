# Debian packages, one per install component (cmake/install.cmake):
#   libfpmatch1      runtime: libfpmatch.so.1
#   libfpmatch-dev   header, libfpmatch.so, libfpmatch.a, CMake and pkg-config files
#   fpmatch-tools    the fpmatch tool, its man page and bash completion
#   libfpmatch-java  the jar and the JNI link (only when Java is on)
# Made with `cpack --config build/CPackConfig.cmake -B OUTDIR` or
# `cmake --build build --target package`; installed with
# `apt-get install ./*.deb`. They install under /usr.
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

set(_fpmatch_components runtime dev)
if(TARGET fpmatch_tool)
  list(APPEND _fpmatch_components tools)
endif()
if(TARGET fpmatch_java)
  list(APPEND _fpmatch_components java)
endif()
set(CPACK_COMPONENTS_ALL ${_fpmatch_components})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Binaries stripped; the Depends are written out below (the library needs
# glibc 2.14 or later, the tool glibc 2.34 and libstdc++ of GCC 11), so that packaging
# needs no dpkg-dev.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(_fpmatch_exact "libfpmatch1 (= ${PROJECT_VERSION}-1)")
set(_fpmatch_licence "Licence: Apache-2.0.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libfpmatch1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.14)")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Fingerprint minutiae matching library
fpmatch compares fingerprint minutiae templates (ISO/IEC 19794-2:2005
records and its native format) and scores their likeness from 0 to 100.
This package holds the shared library. ${_fpmatch_licence}")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libfpmatch-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_fpmatch_exact}")
set(CPACK_DEBIAN_DEV_DESCRIPTION "Fingerprint minutiae matching library - development files
The header fpmatch.h, the link libfpmatch.so, the static library
libfpmatch.a, a CMake package (find_package(fpmatch)) and a pkg-config
file (pkg-config fpmatch). ${_fpmatch_licence}")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME fpmatch-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_fpmatch_exact}, libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Fingerprint minutiae matching - command-line tool
The fpmatch tool compares, searches, screens, inspects, converts and
evaluates fingerprint minutiae templates with the fpmatch library. With
its man page and bash completion. ${_fpmatch_licence}")

set(CPACK_DEBIAN_JAVA_PACKAGE_NAME libfpmatch-java)
set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "${_fpmatch_exact}")
set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_JAVA_DESCRIPTION "Fingerprint minutiae matching library - Java binding
The jar of com.vorel.JavaMatcher (/usr/share/java/fpmatch.jar) and a link
to libfpmatch.so.1 on the JVM's default library path. ${_fpmatch_licence}")

include(CPack)

# Builds the packages from this build tree and checks what each holds.
if(FPMATCH_BUILD_TESTS AND NOT FPMATCH_SANITIZE AND NOT FPMATCH_TSAN AND NOT FPMATCH_FUZZ)
  add_test(NAME tool.debian_packages
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/tool/package_test.sh
      ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/package-test
      ${PROJECT_VERSION} ${CMAKE_INSTALL_LIBDIR} "${_fpmatch_components}")
  set_tests_properties(tool.debian_packages PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
