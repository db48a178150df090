#!/usr/bin/env bash
# Fresh machine to running demo: installs the build dependencies, builds
# everything in ./build and runs the fpmatch demo on built-in synthetic
# templates. The tests then run with: ctest --test-dir build
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
build/tools/fpmatch demo
