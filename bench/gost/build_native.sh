#!/bin/sh
# Builds the native GOST core test and benchmark (host g++, librhash).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$root/build/native}
mkdir -p "$out"
CXX=${CXX:-g++}
CXXFLAGS=${CXXFLAGS:--O2}
core="$root/product/vr5crypto/gost94_core.cpp"
inc="-I$root/product/vr5crypto"

$CXX $CXXFLAGS -std=c++17 -Wall -Wextra $inc \
    "$root/product/vr5crypto/tests/gost94_core_native_test.cpp" "$core" \
    -lrhash -o "$out/gost94_core_native_test"
$CXX $CXXFLAGS -std=c++17 -Wall -Wextra $inc \
    "$here/bench_gost_native.cpp" "$core" \
    -lrhash -o "$out/bench_gost_native"
echo "built $out/gost94_core_native_test $out/bench_gost_native"
