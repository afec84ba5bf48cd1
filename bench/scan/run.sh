#!/bin/sh
# A whole scan against native rhash on the same files: the "system" tree
# (30,000 small files, a third of them PE files with version resources) and
# the "data" tree (2,000 files, 2 GiB), generated once under BUILD/bench/scan
# and kept. rhash -r --gost94 runs natively on the Linux path; ours is
# software_scan in process under Wine (bench_scan.exe: walk, checksums and
# the document, every extension), timed inside the program so Wine's
# start-up is not counted. Both read from a warm page cache. Figures only,
# never a verdict; the last two lines are the wall-time ratios.
# Usage: run.sh [BUILD_FOLDER]   (default: build)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build}" && pwd)
runner="$build/wine-run.sh"
bench="$build/bin/bench_scan.exe"
[ -x "$runner" ] && [ -f "$bench" ] || { echo "build $build first (make BUILD=$build build)" >&2; exit 1; }
: "${WINEPREFIX:=$build/wineprefix}"
export WINEPREFIX
[ -d "$WINEPREFIX/drive_c/windows" ] || "$runner" cmd.exe /c exit 0 >/dev/null 2>&1

root="$build/bench/scan"
depot="$build/bench/scan-depot"
echo "trees under $root (generated once, kept)"
python3 "$here/make_trees.py" "$root" "$WINEPREFIX/drive_c/windows"
mkdir -p "$depot"
winpath() { echo "Z:$1" | tr / '\\'; }
now() { date +%s.%N; }

ratios=""
for tree in system data; do
    path="$root/$tree"
    find "$path" -type f -exec cat {} + >/dev/null   # the same warm cache for both
    t0=$(now); rhash -r --gost94 "$path" >/dev/null; t1=$(now)
    out=$("$runner" "$bench" "$(winpath "$path")" "$(winpath "$depot")" | tr -d '\r')
    val() { echo "$out" | sed -n "s/^$1 //p"; }
    files=$(find "$path" -type f | wc -l)
    bytes=$(find "$path" -type f -printf "%s\n" | awk "{ s += \$1 } END { printf \"%d\", s }")
    awk -v tree="$tree" -v files="$files" -v bytes="$bytes" -v t0="$t0" -v t1="$t1" \
        -v of="$(val files)" -v ob="$(val bytes)" -v o="$(val wall)" -v ws="$(val peak_ws)" \
        -v pf="$(val per_file)" -v walk="$(val walk)" -v sums="$(val checksums)" -v workers="$(val workers)" 'BEGIN {
        r = t1 - t0
        printf "%s tree: %d files, %.1f MiB\n", tree, files, bytes / 1048576
        printf "  rhash -r --gost94 (native): %d files, %.1f MiB, %.2f s, %.0f files/s, %.1f MB/s\n",
               files, bytes / 1048576, r, files / r, bytes / 1e6 / r
        printf "  our scan (software_scan under Wine): %d files, %.1f MiB, %.2f s, %.0f files/s, %.1f MB/s\n",
               of, ob / 1048576, o, of / o, ob / 1e6 / o
        printf "  our peak working set %.1f MiB; %.0f bytes per collected file beyond its path and texts",
               ws / 1048576, pf
        printf " (read buffers, 1 MiB per thread, not counted)\n"
        printf "  phases, measured again after the scan on %d threads: walk with the checksums from the same open %.2f s (%.0f files/s, %.1f MB/s), checksum pass for the files left %.2f s\n",
               workers, walk, of / walk, ob / 1e6 / walk, sums
    }'
    ratios="$ratios$(awk -v tree="$tree" -v o="$(val wall)" -v t0="$t0" -v t1="$t1" \
        'BEGIN { r = t1 - t0; printf "scan ratio %s (ours/rhash wall): %.2f", tree, o / r }')
"
done
printf "%s" "$ratios"
