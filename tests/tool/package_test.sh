#!/usr/bin/env bash
# package_test.sh CPACK BUILD_DIR WORK_DIR VERSION LIBDIR "COMPONENTS"
# Builds the Debian packages of the build tree with CPack and checks each
# one: its control fields, its exact file list (dpkg-deb -c), and that every
# program and library in it finds each library it needs among the package's
# dependencies (check_deb_dependencies.py). Then, as root (or with sudo)
# and unless FPMATCH_PACKAGE_TEST_INSTALL=0, installs them with apt-get,
# runs what they installed, and removes them again.
set -eu
cpack=$1 build=$2 work=$3 version=$4 libdir=$5 components=${6//;/ }
here=$(cd "$(dirname "$0")" && pwd)
command -v dpkg-deb >/dev/null || { echo "dpkg-deb not found: not a Debian system"; exit 77; }
# Without dpkg-shlibdeps CPack writes packages without their dependencies.
command -v dpkg-shlibdeps >/dev/null || { echo "FAILED: dpkg-shlibdeps not found (Debian: dpkg-dev)"; exit 1; }
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
# Depends computed by dpkg-shlibdeps from what the binaries link: the C
# library always, and the tools' libraries ({fmt}, oneTBB, Open MPI).
check libfpmatch1 runtime "^libc6 \\(>= [0-9.]+\\)$" \
  "$lib/libfpmatch.so.1 -> libfpmatch.so.$version" \
  "$lib/libfpmatch.so.$version" \
  "./usr/share/doc/libfpmatch1/copyright"
check libfpmatch-id1 id "$exact" \
  "$lib/libfpmatch-id.so.1 -> libfpmatch-id.so.$version" \
  "$lib/libfpmatch-id.so.$version" \
  "./usr/share/doc/libfpmatch-id1/copyright"
check libfpmatch-dev dev "$exact" \
  "./usr/include/fpmatch.h" \
  "./usr/include/fpmatch_id.h" \
  "$lib/libfpmatch.so -> libfpmatch.so.1" \
  "$lib/libfpmatch-id.so -> libfpmatch-id.so.1" \
  "$lib/libfpmatch.a" \
  "$lib/cmake/fpmatch/fpmatchConfig.cmake" \
  "$lib/cmake/fpmatch/fpmatchConfigVersion.cmake" \
  "$lib/cmake/fpmatch/fpmatchTargets.cmake" \
  "$lib/cmake/fpmatch/fpmatchTargets-BUILDTYPE.cmake" \
  "$lib/pkgconfig/fpmatch.pc" \
  "./usr/share/doc/libfpmatch-dev/copyright"
check fpmatch-tools tools "$exact.*" \
  "./usr/bin/fpmatch" \
  "./usr/share/man/man1/fpmatch.1.gz" \
  "./usr/share/bash-completion/completions/fpmatch" \
  "./usr/share/doc/fpmatch-tools/copyright"
check fpmatch-mpi mpi "openmpi-bin.*$exact|$exact.*openmpi-bin" \
  "./usr/bin/fpmatch-mpi" \
  "./usr/share/man/man1/fpmatch-mpi.1.gz" \
  "./usr/share/doc/fpmatch-mpi/copyright"
check libfpmatch-java java "$exact" \
  "./usr/share/java/fpmatch.jar" \
  "$lib/jni/libfpmatch-jni.so" \
  "./usr/share/doc/libfpmatch-java/copyright"

# Each tool's Depends names the libraries it links beyond libfpmatch.
for pair in "libfpmatch-id1:libtbb libxxhash libstdc" "fpmatch-tools:libfpmatch-id1 libfmt libtbb libstdc" \
            "fpmatch-mpi:libfpmatch-id1 libfmt libtbb libstdc libopenmpi"; do
  package=${pair%%:*}
  deb=$work/${package}_${version}-1_amd64.deb
  [ -f "$deb" ] || continue
  for want in ${pair#*:}; do
    dpkg-deb -f "$deb" Depends | grep -q "$want" ||
      { echo "FAILED: $package: Depends '$(dpkg-deb -f "$deb" Depends)' lacks $want"; failures=$((failures + 1)); }
  done
done

# The same library package whatever the build machine had: nothing of Java
# (or anything else optional) in libfpmatch1.
if [ -f "$work/libfpmatch1_${version}-1_amd64.deb" ]; then
  mkdir -p "$work/runtime"
  dpkg-deb -x "$work/libfpmatch1_${version}-1_amd64.deb" "$work/runtime"
  if nm -D --defined-only "$work/runtime/usr/$libdir/libfpmatch.so.$version" | grep -q ' Java_'; then
    echo "FAILED: libfpmatch.so.$version in libfpmatch1 exports JNI functions"; failures=$((failures + 1))
  fi
fi

echo "== libraries each packaged program and library needs, against the package's dependencies"
debs=("$work"/*_"${version}"-1_amd64.deb)
python3 "$here/check_deb_dependencies.py" "${debs[@]}" || failures=$((failures + 1))
# The check itself: the tool's package rebuilt without oneTBB in its Depends
# must fail it, naming the library.
tools_deb=$work/fpmatch-tools_${version}-1_amd64.deb
if [ -f "$tools_deb" ]; then
  rm -rf "$work/doctored" && mkdir -p "$work/doctored/pool"
  dpkg-deb -R "$tools_deb" "$work/doctored/tree"
  sed -i '/^Depends:/s/, libtbb12[^,]*//' "$work/doctored/tree/DEBIAN/control"
  dpkg-deb -b "$work/doctored/tree" "$work/doctored/pool/fpmatch-tools.deb" >/dev/null
  if python3 "$here/check_deb_dependencies.py" "$work/doctored/pool/fpmatch-tools.deb" \
       "$work/libfpmatch1_${version}-1_amd64.deb" >"$work/doctored/check.txt"; then
    echo "FAILED: the dependency check passes a package whose Depends lacks libtbb12"; failures=$((failures + 1))
  elif ! grep -q "^FAILED: fpmatch-tools: /usr/bin/fpmatch needs libtbb.so.12 from libtbb12" "$work/doctored/check.txt"; then
    echo "FAILED: the dependency check of a package without libtbb12:"; cat "$work/doctored/check.txt"
    failures=$((failures + 1))
  fi
fi

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

# ---------------------------------------------------------------- installed
SUDO=""
if [ "${FPMATCH_PACKAGE_TEST_INSTALL:-1}" = 0 ]; then
  echo "-- FPMATCH_PACKAGE_TEST_INSTALL=0: the packages are not installed"; exit 0
elif ! command -v apt-get >/dev/null; then
  echo "-- no apt-get: the packages are not installed"; exit 0
elif [ "$(id -u)" -ne 0 ]; then
  sudo -n true 2>/dev/null || { echo "-- neither root nor sudo: the packages are not installed"; exit 0; }
  SUDO="sudo -n"
fi
packages=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done)
# One package test at a time on this machine: another would replace or
# remove the packages this one is running.
exec 9>/tmp/fpmatch-package-test.lock
flock 9
before=$(dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' $packages 2>/dev/null | awk '$2 == "ii" { print $1 }')
remove() {
  local gone
  gone=$(for p in $packages; do printf '%s\n' "$before" | grep -qx "$p" || echo "$p"; done)
  [ -z "$gone" ] || $SUDO env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq $gone >"$work/apt-purge.log" 2>&1 ||
    { echo "FAILED: apt-get purge $gone"; cat "$work/apt-purge.log"; }
}
trap remove EXIT
echo "== apt-get install ${debs[*]##*/}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends --reinstall \
  -o DPkg::Lock::Timeout=300 "${debs[@]}" >"$work/apt-install.log" 2>&1 ||
  { cat "$work/apt-install.log"; echo "FAILED: apt-get install"; exit 1; }
unset LD_LIBRARY_PATH
# Nothing any installed program or library needs is missing.
for deb in "${debs[@]}"; do
  for f in $(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\./, "", $6); print $6 }'); do
    if head -c 4 "$f" | grep -q ELF && ldd "$f" | grep -q "not found"; then
      echo "FAILED: installed $f: $(ldd "$f" | grep "not found")"; failures=$((failures + 1))
    fi
  done
done
if printf '%s\n' $packages | grep -qx fpmatch-tools; then
  /usr/bin/fpmatch --version || failures=$((failures + 1))
  /usr/bin/fpmatch demo --fingers 2 --impressions 2 | tail -2 || failures=$((failures + 1))
  man -w fpmatch >/dev/null 2>&1 || [ -f /usr/share/man/man1/fpmatch.1.gz ] || failures=$((failures + 1))
fi
if printf '%s\n' $packages | grep -qx fpmatch-mpi; then
  /usr/bin/fpmatch-mpi --version || failures=$((failures + 1))
  command -v mpirun >/dev/null || { echo "FAILED: fpmatch-mpi installed without mpirun"; failures=$((failures + 1)); }
fi
if printf '%s\n' $packages | grep -qx libfpmatch-dev && command -v cc >/dev/null; then
  # The README's build of a program against the installed packages.
  # shellcheck disable=SC2046
  cc "$here/consumer/consumer.c" $(pkg-config --cflags --libs fpmatch) -o "$work/consumer" &&
    "$work/consumer" >/dev/null || { echo "FAILED: a program built with pkg-config fpmatch"; failures=$((failures + 1)); }
fi
if printf '%s\n' $packages | grep -qx libfpmatch-java && command -v java >/dev/null; then
  # The class finds libfpmatch-jni.so on the JVM's default library path.
  mkdir -p "$work/java-check"
  printf '%s\n' 'public class Check { public static void main(String[] a) {' \
    '  System.out.println(com.vorel.JavaMatcher.versionString()); } }' >"$work/java-check/Check.java"
  out=$(java -cp /usr/share/java/fpmatch.jar "$work/java-check/Check.java" 2>&1)
  echo "java: JavaMatcher.versionString() = $out"
  [ "$out" = "$version" ] || { echo "FAILED: the installed Java binding"; failures=$((failures + 1)); }
fi
[ "$failures" -eq 0 ] || { echo "$failures failure(s) with the installed packages"; exit 1; }
echo "installed, ran and removed: $(echo $packages)"
