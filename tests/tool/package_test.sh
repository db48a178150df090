#!/usr/bin/env bash
# package_test.sh CPACK BUILD_DIR WORK_DIR VERSION LIBDIR "COMPONENTS"
# Builds the Debian packages of the build tree with CPack and checks each
# one: its control fields, and its exact file list (dpkg-deb -c).
set -eu
cpack=$1 build=$2 work=$3 version=$4 libdir=$5 components=${6//;/ }
command -v dpkg-deb >/dev/null || { echo "dpkg-deb not found: not a Debian system"; exit 77; }
rm -rf "$work"
mkdir -p "$work"
"$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
lib=./usr/$libdir
failures=0

# check PACKAGE COMPONENT DEPENDS_RE FILE... : FILE is "path" or "path -> target".
check() {
  local package=$1 component=$2 depends_re=$3
  shift 3
  case " $components " in *" $component "*) ;; *) echo "-- $package: component $component not built, skipped"; return ;; esac
  local deb=$work/${package}_${version}-1_amd64.deb
  if [ ! -f "$deb" ]; then
    echo "FAILED: $deb not made"; failures=$((failures + 1)); return
  fi
  local field
  for field in "Package: $package" "Version: $version-1" "Architecture: amd64"; do
    dpkg-deb -f "$deb" | grep -qx "$field" || { echo "FAILED: $package: no '$field'"; failures=$((failures + 1)); }
  done
  if ! dpkg-deb -f "$deb" Depends | grep -Eq "$depends_re"; then
    echo "FAILED: $package: Depends '$(dpkg-deb -f "$deb" Depends)' does not match '$depends_re'"
    failures=$((failures + 1))
  fi
  # Files and links, folders left out; the configuration-specific export file
  # of the CMake package is named after the build type.
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
    sed 's/fpmatchTargets-[a-z]*\.cmake/fpmatchTargets-BUILDTYPE.cmake/' | sort >"$work/$package.contents"
  printf '%s\n' "$@" | sort >"$work/$package.expected"
  if ! diff -u "$work/$package.expected" "$work/$package.contents"; then
    echo "FAILED: $package: contents differ from the expected list (- expected, + packaged)"
    failures=$((failures + 1))
  fi
  echo "-- $package:"
  sed 's/^/     /' "$work/$package.contents"
}

exact="libfpmatch1 \\(= $version-1\\)"
check libfpmatch1 runtime "libc6" \
  "$lib/libfpmatch.so.1 -> libfpmatch.so.$version" \
  "$lib/libfpmatch.so.$version" \
  "./usr/share/doc/libfpmatch1/copyright"
check libfpmatch-dev dev "$exact" \
  "./usr/include/fpmatch.h" \
  "$lib/libfpmatch.so -> libfpmatch.so.1" \
  "$lib/libfpmatch.a" \
  "$lib/cmake/fpmatch/fpmatchConfig.cmake" \
  "$lib/cmake/fpmatch/fpmatchConfigVersion.cmake" \
  "$lib/cmake/fpmatch/fpmatchTargets.cmake" \
  "$lib/cmake/fpmatch/fpmatchTargets-BUILDTYPE.cmake" \
  "$lib/pkgconfig/fpmatch.pc" \
  "./usr/share/doc/libfpmatch-dev/copyright"
check fpmatch-tools tools "$exact" \
  "./usr/bin/fpmatch" \
  "$lib/libfpmatch-id.so.1 -> libfpmatch-id.so.$version" \
  "$lib/libfpmatch-id.so.$version" \
  "./usr/share/man/man1/fpmatch.1.gz" \
  "./usr/share/bash-completion/completions/fpmatch" \
  "./usr/share/doc/fpmatch-tools/copyright"
check libfpmatch-java java "$exact" \
  "./usr/share/java/fpmatch.jar" \
  "$lib/jni/libfpmatch.so -> ../libfpmatch.so.1" \
  "./usr/share/doc/libfpmatch-java/copyright"

# The packaged pkg-config file names /usr and needs no rpath there.
if [ -f "$work/libfpmatch-dev_${version}-1_amd64.deb" ]; then
  mkdir -p "$work/dev"
  dpkg-deb -x "$work/libfpmatch-dev_${version}-1_amd64.deb" "$work/dev"
  if grep -q rpath "$work/dev/usr/$libdir/pkgconfig/fpmatch.pc" ||
     ! grep -qx "prefix=/usr" "$work/dev/usr/$libdir/pkgconfig/fpmatch.pc"; then
    echo "FAILED: the packaged fpmatch.pc:"; cat "$work/dev/usr/$libdir/pkgconfig/fpmatch.pc"
    failures=$((failures + 1))
  fi
fi
# The jar's manifest carries the version.
if [ -f "$work/libfpmatch-java_${version}-1_amd64.deb" ]; then
  mkdir -p "$work/java"
  dpkg-deb -x "$work/libfpmatch-java_${version}-1_amd64.deb" "$work/java"
  if ! python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).read("META-INF/MANIFEST.MF").decode())' \
      "$work/java/usr/share/java/fpmatch.jar" | tr -d '\r' |
      grep -qx "Implementation-Version: $version"; then
    echo "FAILED: the jar's manifest has no Implementation-Version: $version"; failures=$((failures + 1))
  fi
fi
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "packages in $work"
