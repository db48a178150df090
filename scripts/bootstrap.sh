#!/usr/bin/env bash
# Fresh machine to running demo: installs the build dependencies, builds
# everything in ./build and runs the fpmatch demo on built-in synthetic
# templates. The tests then run with: ctest --test-dir build
#
#   scripts/bootstrap.sh           library, tool, tests; no Java (no JDK is
#                                  installed, the build is configured with
#                                  -DFPMATCH_BUILD_JAVA=OFF)
#   scripts/bootstrap.sh --java    also the JDK, the JNI functions and the jar
set -euo pipefail
cd "$(dirname "$0")/.."
java=OFF
for arg in "$@"; do
  case $arg in
    --java) java=ON ;;
    *) echo "bootstrap.sh: unknown option $arg (--java)" >&2; exit 2 ;;
  esac
done
if [ "$java" = ON ]; then
  scripts/install-deps.sh --java
else
  scripts/install-deps.sh
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFPMATCH_BUILD_JAVA=$java
cmake --build build -j"$(nproc)"
build/tools/fpmatch demo
