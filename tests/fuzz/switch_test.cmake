# cmake -DSOURCE=DIR -DWORK=DIR -DGENERATOR=NAME -P switch_test.cmake
#
# -DFPMATCH_FUZZ=ON with -DFPMATCH_BUILD_TESTS=OFF is not dropped in silence:
# with gcc the configure stops and says that fuzzing needs clang; with clang
# the fuzz targets are part of the build. Each compiler is tried when it is
# installed (configure only; nothing is compiled but CMake's own checks).
file(REMOVE_RECURSE ${WORK})
set(common -S ${SOURCE} -G ${GENERATOR} -DFPMATCH_FUZZ=ON -DFPMATCH_BUILD_TESTS=OFF -DFPMATCH_BUILD_TOOLS=OFF
    -DFPMATCH_BUILD_JAVA=OFF -DFPMATCH_BUILD_PYTHON=OFF)
set(tried 0)

find_program(GCC gcc)
find_program(GXX g++)
if(GCC AND GXX)
  math(EXPR tried "${tried} + 1")
  execute_process(COMMAND ${CMAKE_COMMAND} ${common} -B ${WORK}/gcc -DCMAKE_C_COMPILER=${GCC} -DCMAKE_CXX_COMPILER=${GXX}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "FPMATCH_FUZZ needs clang")
    message(FATAL_ERROR "gcc: configure exit ${rc}; expected it to stop with \"FPMATCH_FUZZ needs clang\"\n${out}\n${err}")
  endif()
endif()

find_program(CLANG clang)
find_program(CLANGXX clang++)
if(CLANG AND CLANGXX)
  math(EXPR tried "${tried} + 1")
  execute_process(COMMAND ${CMAKE_COMMAND} ${common} -B ${WORK}/clang -DCMAKE_C_COMPILER=${CLANG}
                          -DCMAKE_CXX_COMPILER=${CLANGXX}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "clang: configure exit ${rc}\n${out}\n${err}")
  endif()
  if(NOT out MATCHES "fuzz targets are built although FPMATCH_BUILD_TESTS is OFF")
    message(FATAL_ERROR "clang: the configure does not say that the fuzz targets are built\n${out}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/clang --target help
                  RESULT_VARIABLE rc OUTPUT_VARIABLE targets ERROR_VARIABLE err)
  foreach(target fuzz_targets fuzz_decode fuzz_gallery)
    if(NOT targets MATCHES "${target}")
      message(FATAL_ERROR "clang: no target ${target} in the build (exit ${rc}):\n${targets}\n${err}")
    endif()
  endforeach()
endif()

if(tried EQUAL 0)
  message(FATAL_ERROR "neither gcc nor clang found")
endif()
file(REMOVE_RECURSE ${WORK})
