#!/usr/bin/env bash
# Builds everything the tests need in ./build (the folder scripts/bootstrap.sh
# builds in, configured again with the tests on) and runs them with ctest.
# The Java binding, the Python package and fpmatch-mpi are built and tested
# when their packages are installed (scripts/install-deps.sh --java, --mpi);
# configure says which are on.
#
#   scripts/test.sh [-DOPTION=VALUE...] [CTEST_ARGUMENT...]
# -D arguments go to CMake (e.g. -DFPMATCH_BUILD_JAVA=ON makes a missing JDK
# an error), the others to ctest (e.g. -R python). FPMATCH_BUILD_DIR moves the
# build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FPMATCH_BUILD_DIR:-build}
cmake_args=()
ctest_args=()
for arg in "$@"; do
  case $arg in
    -D*) cmake_args+=("$arg") ;;
    *) ctest_args+=("$arg") ;;
  esac
done
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPMATCH_BUILD_TESTS=ON "${cmake_args[@]}"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" "${ctest_args[@]}"
