#!/usr/bin/env bash
# configure_without_jdk.sh CMAKE SOURCE_DIR WORK_DIR
# A machine without a JDK, as configure sees it (find_package(Java) disabled):
# the default configure succeeds, says the Java binding is off and builds the
# library; -DFPMATCH_BUILD_JAVA=ON stops with a message naming what is
# missing and how to get it.
set -u
cmake=$1 source=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
common=(-S "$source" -DCMAKE_DISABLE_FIND_PACKAGE_Java=ON -DFPMATCH_BUILD_TESTS=OFF -DFPMATCH_BUILD_TOOLS=OFF
        -DFPMATCH_BUILD_PYTHON=OFF)
fail=0
if ! "$cmake" "${common[@]}" -B "$work/auto" >"$work/auto.log" 2>&1; then
  echo "FAILED: configure without a JDK stopped:"; cat "$work/auto.log"; fail=1
elif ! grep -q "fpmatch: Java binding off: no JDK found (no javac, jar and java); everything else is built" "$work/auto.log"; then
  echo "FAILED: configure without a JDK does not say that Java is off:"; cat "$work/auto.log"; fail=1
elif ! "$cmake" --build "$work/auto" --target fpmatch >"$work/build.log" 2>&1; then
  echo "FAILED: the library does not build without a JDK:"; tail -20 "$work/build.log"; fail=1
else
  echo "without a JDK: $(grep -o 'fpmatch: Java binding off.*' "$work/auto.log")"
fi
if "$cmake" "${common[@]}" -B "$work/on" -DFPMATCH_BUILD_JAVA=ON >"$work/on.log" 2>&1; then
  echo "FAILED: -DFPMATCH_BUILD_JAVA=ON without a JDK configured"; fail=1
elif ! tr -s ' \n' ' ' <"$work/on.log" | grep -q "FPMATCH_BUILD_JAVA=ON, but no JDK was found.*install-deps.sh --java"; then
  echo "FAILED: -DFPMATCH_BUILD_JAVA=ON without a JDK:"; cat "$work/on.log"; fail=1
else
  echo "-DFPMATCH_BUILD_JAVA=ON without a JDK stops, as it should"
fi
exit $fail
