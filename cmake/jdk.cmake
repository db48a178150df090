# Finds a JDK for the Java binding: javac and jar for the jar, jni.h for
# libfpmatch-jni.so. Sets FPMATCH_JDK_FOUND, FPMATCH_JDK_MISSING (what was not
# found) and FPMATCH_JNI_INCLUDE_DIRS.
find_package(Java 1.8 QUIET COMPONENTS Development Runtime)
# Without JAVA_HOME, take the JDK that javac belongs to (on Debian
# /usr/bin/javac -> /usr/lib/jvm/java-17-openjdk-amd64/bin/javac), so that
# jni.h comes from the same JDK as the compiler.
if(Java_FOUND AND NOT DEFINED JAVA_HOME AND NOT DEFINED ENV{JAVA_HOME})
  get_filename_component(_fpmatch_javac "${Java_JAVAC_EXECUTABLE}" REALPATH)
  get_filename_component(_fpmatch_jdk "${_fpmatch_javac}" DIRECTORY)
  get_filename_component(_fpmatch_jdk "${_fpmatch_jdk}" DIRECTORY)
  set(JAVA_HOME "${_fpmatch_jdk}")
endif()
# Only the JNI headers are needed: the binding calls the VM through the
# JNIEnv it is given and links no JVM library. Asking for the JVM component
# alone keeps a headless JDK (no AWT) acceptable.
if(Java_FOUND)
  find_package(JNI QUIET COMPONENTS JVM)
endif()
set(FPMATCH_JDK_MISSING "")
if(NOT Java_FOUND)
  set(FPMATCH_JDK_MISSING "javac, jar and java")
elseif(NOT JAVA_INCLUDE_PATH OR NOT EXISTS "${JAVA_INCLUDE_PATH}/jni.h")
  set(FPMATCH_JDK_MISSING "jni.h")
endif()
if(FPMATCH_JDK_MISSING STREQUAL "")
  set(FPMATCH_JDK_FOUND ON)
  set(FPMATCH_JNI_INCLUDE_DIRS ${JAVA_INCLUDE_PATH})
  if(JAVA_INCLUDE_PATH2)
    list(APPEND FPMATCH_JNI_INCLUDE_DIRS ${JAVA_INCLUDE_PATH2})
  endif()
else()
  set(FPMATCH_JDK_FOUND OFF)
endif()
