#!/bin/sh
# GOST R 34.11-94 throughput. Our core and Debian's librhash hash the same
# 256 MiB natively (best of 3), then the provider DLL hashes a 256 MiB file
# under Wine through vrhash.exe. Figures only, never a verdict; the last line
# is the native ratio.
# Usage: run.sh [BUILD_FOLDER]   (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
runner="$build/wine-run.sh"
vrhash="$build/bin/vrhash.exe"
[ -x "$runner" ] && [ -f "$vrhash" ] || { echo "build $build first (make BUILD=$build build)" >&2; exit 1; }

sh "$here/build_native.sh" "$build/native" >/dev/null
native=$("$build/native/bench_gost_native" 3)
echo "$native" | sed -n 's/^data: /native, /p; s/^ours: /native, our core: /p; s/^rhash: /native, librhash: /p'
ratio=$(echo "$native" | sed -n 's/^ratio: //p')

file=$(mktemp "${TMPDIR:-/tmp}/bench-gost.XXXXXX")
trap 'rm -f "$file" "$file.empty"' EXIT
head -c $((256 * 1048576)) /dev/urandom > "$file"
: > "$file.empty"
now() { date +%s.%N; }
# Wine's start-up is timed on an empty file and taken off; best of 2.
"$runner" "$vrhash" "$file.empty" >/dev/null
t0=$(now); "$runner" "$vrhash" "$file.empty" >/dev/null; t1=$(now)
"$runner" "$vrhash" "$file" >/dev/null; t2=$(now)
"$runner" "$vrhash" "$file" >/dev/null; t3=$(now)
awk -v s0="$t0" -v s1="$t1" -v s2="$t2" -v s3="$t3" 'BEGIN {
    start = s1 - s0; run = s2 - s1; if (s3 - s2 < run) run = s3 - s2
    run -= start; if (run <= 0) run = 0.001
    printf "provider DLL under Wine (vrhash.exe, 256 MiB file, 1 MiB reads): %.1f MB/s (Wine start-up %.2f s not counted)\n",
           268.435456 / run, start
}'
echo "gost94 speed ratio (ours/rhash): $ratio"
