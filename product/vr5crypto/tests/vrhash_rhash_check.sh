#!/bin/sh
# vrhash.exe (through Vr5CryptoApi.dll, under Wine) against rhash, an
# independent GOST R 34.11-94 implementation, on random files of random sizes.
# The checksum text is rhash's digest with its bytes reversed, upper-cased.
# Usage: vrhash_rhash_check.sh WINE_RUNNER VRHASH_EXE [COUNT]; SEED=n repeats a run.
set -u
runner=$1
vrhash=$2
count=${3:-200}
command -v rhash >/dev/null 2>&1 || { echo "rhash is not installed"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vrhash-check.XXXXXX") || exit 1
passed=0
trap 'if [ $passed = 1 ]; then rm -rf "$work"; else echo "files kept in $work"; fi' EXIT
seed=${SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
echo "seed $seed"
cd "$work" || exit 1

# The 32-byte and 1 MiB boundaries themselves, then random sizes next to
# 32-byte multiples, next to 1 MiB multiples, and anywhere up to 3 MiB.
awk -v seed="$seed" -v count="$count" 'BEGIN {
    srand(seed); M = 1048576; top = 3 * M
    n = split("0 1 31 32 33 63 64 65 1048543 1048544 1048545 1048575 1048576 1048577 " \
              "1048607 1048608 1048609 2097151 2097152 2097153 3145695 3145727 3145728", size, " ")
    for (i = n + 1; i <= count; i++) {
        k = i % 3
        if (k == 0) s = 32 * int(rand() * (top / 32)) + int(rand() * 3) - 1
        else if (k == 1) s = M * (1 + int(rand() * 3)) + int(rand() * 129) - 64
        else s = int(rand() * (top + 1))
        size[i] = s < 0 ? 0 : (s > top ? top : s)
    }
    for (i = 1; i <= count; i++) printf "f%03d %d\n", i, size[i]
}' > sizes || exit 1
while read -r name size; do
    head -c "$size" /dev/urandom > "$name" || exit 1
done < sizes
# One name with a space and Cyrillic letters, for the UTF-8 output path.
mv f001 "файл 001" || exit 1

set --
for f in f* "файл 001"; do [ -f "$f" ] && set -- "$@" "$f"; done
[ $# -eq "$count" ] || { echo "made $# files, wanted $count"; exit 1; }
echo "$count files, $(cat "$@" | wc -c) bytes"

rhash --gost94 "$@" > rhash.out || { echo "rhash failed"; exit 1; }
awk '{
    h = $1; rev = ""
    for (i = 63; i >= 1; i -= 2) rev = rev substr(h, i, 2)
    print toupper(rev) "  " substr($0, 67)
}' rhash.out | sort > expected

start=$(date +%s)
"$runner" "$vrhash" "$@" > vrhash.raw 2> vrhash.err
rc=$?
echo "vrhash took $(( $(date +%s) - start )) s, exit code $rc"
tr -d '\r' < vrhash.raw | sort > actual
if [ $rc -ne 0 ] || ! cmp -s expected actual; then
    echo "vrhash disagrees with rhash:"
    diff expected actual | head -20
    head -5 vrhash.err
    exit 1
fi

# Unreadable arguments: a message each on stderr, a non-zero exit, and the
# good files around them still printed.
mkdir sub
"$runner" "$vrhash" f002 no-such-file sub f003 > bad.raw 2> bad.err
rc=$?
tr -d '\r' < bad.raw > bad.out
grep -E '^[0-9A-F]{64}  f00[23]$' bad.out > bad.good
if [ $rc -eq 0 ] || [ "$(wc -l < bad.out)" -ne 2 ] || [ "$(wc -l < bad.good)" -ne 2 ] ||
   ! grep -q 'no-such-file' bad.err || ! grep -q 'sub' bad.err; then
    echo "failure reporting is wrong (exit code $rc):"
    cat bad.out bad.err
    exit 1
fi

echo "vrhash agrees with rhash on $count files"
passed=1
