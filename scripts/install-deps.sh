#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the hardening runs
# need. Safe to run again; does nothing without apt-get.
set -euo pipefail
command -v apt-get >/dev/null 2>&1 || exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev \
  openjdk-17-jdk-headless \
  libcli11-dev nlohmann-json3-dev libfmt-dev libtbb-dev \
  clang libclang-rt-14-dev llvm \
  binutils python3 pkg-config >/dev/null
