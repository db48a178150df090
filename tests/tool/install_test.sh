#!/usr/bin/env bash
# install_test.sh CMAKE BUILD_DIR WORK_DIR CONSUMER_SOURCE C_COMPILER LIBDIR VERSION
# Installs the build into WORK_DIR/prefix, then builds the consumer against
# it through the CMake package (shared and static library) and through
# pkg-config, exactly as the README shows, and runs each without any
# library path set; then runs the installed tools and checks that the
# installed JNI library finds the installed libfpmatch.so.1.
set -eu
cmake=$1 build=$2 work=$3 consumer=$4 cc=$5 libdir=$6 version=$7
unset LD_LIBRARY_PATH
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log"
for f in "include/fpmatch.h" "include/fpmatch_id.h" "$libdir/libfpmatch-id.so.1" "$libdir/libfpmatch.so" "$libdir/libfpmatch.so.1" "$libdir/libfpmatch.so.$version" \
         "$libdir/libfpmatch.a" "$libdir/cmake/fpmatch/fpmatchConfig.cmake" "$libdir/pkgconfig/fpmatch.pc"; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
soname=$(objdump -p "$prefix/$libdir/libfpmatch.so.$version" | awk '/SONAME/ {print $2}')
[ "$soname" = "libfpmatch.so.1" ] || { echo "soname is '$soname'"; exit 1; }

echo "== CMake package"
"$cmake" -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >"$work/configure.log"
"$cmake" --build "$work/cmake-build" >"$work/build.log"
"$work/cmake-build/consumer"
"$work/cmake-build/consumer_static"
# The identification library's consumer, on FVC2002 templates when present
# (as docs/identification-library.md shows it).
data=$consumer/../../../../shared/data/fvc2002/DB1_B
if [ -d "$data" ]; then
  "$work/cmake-build/identify" "$work/people.fpg" "$data/101_5.iso" "$data"/10[1-5]_[1-4].iso | tee "$work/identify.out"
  head -1 "$work/identify.out" | grep -qx "1 DB1_B/101 100" || { echo "identify: unexpected first hit"; exit 1; }
fi
if objdump -p "$work/cmake-build/consumer_static" | grep -q 'NEEDED.*libfpmatch'; then
  echo "consumer_static needs libfpmatch.so"; exit 1
fi

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs fpmatch)
[ "$(pkg-config --modversion fpmatch)" = "$version" ] || { echo "pkg-config version wrong"; exit 1; }
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror "$consumer/consumer.c" -o "$work/consumer-pc" $flags
"$work/consumer-pc"

if [ -x "$prefix/bin/fpmatch" ]; then
  echo "== installed tool"
  env -u LD_LIBRARY_PATH "$prefix/bin/fpmatch" demo --fingers 2 --impressions 2 | tail -2
fi
if [ -x "$prefix/bin/fpmatch-mpi" ]; then
  echo "== installed fpmatch-mpi"
  env -u LD_LIBRARY_PATH "$prefix/bin/fpmatch-mpi" --version
fi
jni=$prefix/$libdir/jni/libfpmatch-jni.so
if [ -e "$jni" ]; then
  # The JNI library finds the prefix's libfpmatch.so.1 through its rpath.
  echo "== installed libfpmatch-jni.so"
  found=$(env -u LD_LIBRARY_PATH ldd "$jni" | awk '$1 == "libfpmatch.so.1" { print $3 }')
  [ "$found" -ef "$prefix/$libdir/libfpmatch.so.1" ] || { echo "libfpmatch-jni.so loads libfpmatch.so.1 from '$found'"; exit 1; }
  echo "libfpmatch-jni.so -> $found"
fi
