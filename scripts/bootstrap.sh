#!/usr/bin/env bash
# Fresh machine to running demo: installs the Debian packages
# (scripts/install-deps.sh), builds the library and the fpmatch tool in
# ./build, and nothing else (no tests, benchmarks, Python, Java or MPI), and
# runs the fpmatch demo on built-in synthetic templates. scripts/test.sh then
# builds and runs the tests in the same folder.
#
#   scripts/bootstrap.sh           the default packages (also what the tests,
#                                  the Python package and packaging need)
#   scripts/bootstrap.sh --java    also a JDK, so that scripts/test.sh builds
#                                  and tests the Java binding
set -euo pipefail
cd "$(dirname "$0")/.."
deps=()
for arg in "$@"; do
  case $arg in
    --java) deps+=(--java) ;;
    *) echo "bootstrap.sh: unknown option $arg (--java)" >&2; exit 2 ;;
  esac
done
scripts/install-deps.sh "${deps[@]}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPMATCH_BUILD_TESTS=OFF
cmake --build build -j"$(nproc)" --target fpmatch_tool
build/tools/fpmatch demo
