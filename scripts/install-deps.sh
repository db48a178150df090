#!/usr/bin/env bash
# Installs the Debian packages fpmatch needs. Safe to run again; does nothing
# without apt-get.
#
#   scripts/install-deps.sh            what building, testing and packaging the
#                                      library and the tool need (compiler,
#                                      CMake, Google Highway, GoogleTest,
#                                      Google Benchmark, CLI11, nlohmann-json,
#                                      {fmt}, oneTBB, xxHash,
#                                      help2man for the man page, pkg-config,
#                                      dpkg-dev and file for the packages'
#                                      dependencies, pybind11, numpy and
#                                      pytest for the Python package)
#   scripts/install-deps.sh --java     also a JDK, for the Java binding
#                                      (libfpmatch-jni.so and the jar; built
#                                      whenever configure finds a JDK)
#   scripts/install-deps.sh --fuzz     also clang and LLVM, for the libFuzzer
#                                      targets (FPMATCH_FUZZ=ON, .ci/hardening.sh)
#   scripts/install-deps.sh --mpi      also Open MPI, for fpmatch-mpi and its
#                                      tests (built only when it is found)
#   scripts/install-deps.sh --all      everything (what CI installs)
set -euo pipefail
java=0 fuzz=0 mpi=0
for arg in "$@"; do
  case $arg in
    --java) java=1 ;;
    --fuzz) fuzz=1 ;;
    --mpi) mpi=1 ;;
    --all) java=1 fuzz=1 mpi=1 ;;
    -h|--help) sed -n '2,21p' "$0"; exit 0 ;;
    *) echo "install-deps.sh: unknown option $arg (--java, --fuzz, --mpi, --all)" >&2; exit 2 ;;
  esac
done
command -v apt-get >/dev/null 2>&1 || exit 0
packages=(cmake make g++ libhwy-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libfmt-dev libtbb-dev libxxhash-dev help2man
          binutils python3 pkg-config dpkg-dev file
          python3-dev python3-venv python3-pip python3-setuptools python3-wheel
          pybind11-dev python3-pybind11 python3-numpy python3-pytest)
[ "$java" -eq 1 ] && packages+=(openjdk-17-jdk-headless)
[ "$fuzz" -eq 1 ] && packages+=(clang libclang-rt-14-dev llvm)
[ "$mpi" -eq 1 ] && packages+=(libopenmpi-dev openmpi-bin)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
