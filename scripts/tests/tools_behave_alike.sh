#!/bin/sh
# Every administrator's tool through the real executable under Wine: --help
# prints usage on standard output with exit code 0, a wrong argument gives
# one line naming it with exit code 87, a failing call says why in words with
# the code after them. Nothing here changes the prefix. Then vrhash's
# --recursive and wildcards against rhash over a tree of its own.
# Usage: tools_behave_alike.sh WINE_RUNNER BIN_DIR
run=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
bin=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vr-tools.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failed=0
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }

# call NAME ARGS...: runs one tool; leaves rc, out and err (without CRs).
call() {
  exe=$1; shift
  "$run" "$exe" "$@" > "$work/out" 2> "$work/err"
  rc=$?
  out=$(tr -d '\r' < "$work/out")
  err=$(tr -d '\r' < "$work/err")
}

# tool NAME EXE WRONG_ARGUMENT... : --help and one wrong argument, whose last
# word must be named in the one line.
tool() {
  name=$1 exe=$2; shift 2
  call "$exe" --help
  [ $rc -eq 0 ] || fail "$name --help: exit code $rc"
  [ -n "$out" ] || fail "$name --help printed nothing on standard output"
  [ -z "$err" ] || fail "$name --help wrote to standard error: $err"
  [ $# -eq 0 ] && return
  call "$exe" "$@"
  for last; do :; done
  [ $rc -eq 87 ] || fail "$name $*: exit code $rc, not 87"
  [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] || fail "$name $*: not one line: $err"
  case "$err" in *"$last"*) ;; *) fail "$name $*: the line does not name $last: $err" ;; esac
  [ -z "$out" ] || fail "$name $*: printed on standard output: $out"
}

# failing NAME RC PATTERN: the last call failed with RC and said PATTERN,
# which ends in words and "(code)".
failing() {
  [ $rc -eq "$2" ] || fail "$1: exit code $rc, not $2 ($err)"
  printf '%s\n' "$err" | grep -Eq "$3" || fail "$1: says \"$err\", expected /$3/"
  printf '%s\n' "$err" | grep -Eq '[^0-9 ] \([0-9]+\)' || fail "$1: no words with the code after them: $err"
  printf 'ok: %s\n' "$err"
}

tool vrhash "$bin/vrhash.exe" --bogus
call "$bin/vrhash.exe" 'C:\windows'
failing "vrhash C:\\windows" 1 '^vrhash: C:\\windows: is a folder \(336\)$'

tool vrssr-setup "$bin/vrssr-setup.exe" install --start=sometimes
tool vrssr-setup "$bin/vrssr-setup.exe" install --protection-dir=Varnel
# Alone in a folder, the tool misses the service's program beside it.
cp "$bin/vrssr-setup.exe" "$work/"
call "$work/vrssr-setup.exe" install --start=demand
failing "vrssr-setup install without VrSSRSrv.exe" 2 '^vrssr-setup: install: .*VrSSRSrv\.exe: .+ \(2\)$'

tool vrcc-ctl "$bin/vrcc-ctl.exe" trace set VrSSRSrv --levels=loud
tool vrcc-ctl "$bin/vrcc-ctl.exe" frobnicate
call "$bin/vrcc-ctl.exe" policy set ROZEDURI --file 'C:\no\such\file.xml'
failing "vrcc-ctl policy set --file" 3 '^vrcc-ctl: cannot open C:\\no\\such\\file\.xml: .+ \(3\)$'

tool vragent "$bin/vragent.exe" scan --later
tool vragent "$bin/vragent.exe" frobnicate
call "$bin/vragent.exe" --proxy 'C:\no\such.dll' info
failing "vragent --proxy" 1 '^vragent: cannot load C:\\no\\such\.dll: .+ \(126\)'

# vrpassport answers a wrong argument as diff does, with 2.
call "$bin/vrpassport.exe" --help
[ $rc -eq 0 ] && [ -n "$out" ] && [ -z "$err" ] || fail "vrpassport --help: exit code $rc, stderr: $err"
call "$bin/vrpassport.exe" list --html x.html a.xml
[ $rc -eq 2 ] || fail "vrpassport list --html: exit code $rc, not 2"
[ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] && [ -z "$out" ] || fail "vrpassport list --html: not one line on stderr: $err"
case "$err" in *--html*) ;; *) fail "vrpassport list --html: the line does not name --html: $err" ;; esac

# The service's command line belongs to the service control manager: only
# --help is its own.
tool VrSSRSrv "$bin/VrSSRSrv.exe"
call "$bin/VrSSRSrv.exe"
[ $rc -eq 39 ] || fail "VrSSRSrv.exe by hand: exit code $rc, not 1063 (39)"
printf '%s\n' "$err" | grep -q 'service control manager starts it' || fail "VrSSRSrv.exe by hand says: $err"
printf '%s\n' "$err" | grep -q 'vrssr-setup install' || fail "VrSSRSrv.exe by hand does not say how to install it: $err"

# vrhash over folders and patterns: the same lines as rhash, bytes turned round.
tree="$work/tree"
mkdir -p "$tree/sub/deeper" "$tree/other"
printf 'one\n' > "$tree/a.dll"
printf 'two\n' > "$tree/b.exe"
: > "$tree/sub/empty.dll"
head -c 70000 /dev/urandom > "$tree/sub/deeper/random.bin"
printf 'четыре\n' > "$tree/other/Отчёт.txt"
expect() {  # rhash's lines for the given files, as vrhash prints them
  rhash --gost94 --simple "$@" | awk '{ s = ""; for (i = 63; i > 0; i -= 2) s = s toupper(substr($1, i, 2)); print s "  " substr($0, 67) }'
}
cd "$work" || exit 1
compare() {  # compare WHAT SEPARATOR EXPECTED_FILES -- VRHASH_ARGUMENTS
  what=$1 separator=$2; shift 2
  files=""
  while [ "$1" != -- ]; do files="$files $1"; shift; done
  shift
  # shellcheck disable=SC2086
  expect $files | sed "s#/#$separator#g" > expected
  "$run" "$bin/vrhash.exe" "$@" 2> vrhash.err | tr -d '\r' > actual
  cmp -s expected actual || { fail "vrhash $what"; diff expected actual | head -10; head -3 vrhash.err; }
}
# A folder named without a separator gets Windows's between its children.
compare "--recursive tree" '\\' tree/a.dll tree/b.exe tree/other/Отчёт.txt tree/sub/empty.dll tree/sub/deeper/random.bin \
  -- --recursive tree
compare "pattern" / tree/a.dll tree/sub/empty.dll -- 'tree/*.dll' 'tree/sub/*.dll'
compare "pattern and --recursive" / tree/sub/empty.dll tree/sub/deeper/random.bin -- -r 'tree/su?'
"$run" "$bin/vrhash.exe" 'tree/*.none' > /dev/null 2> none.err
rc=$?
[ $rc -eq 1 ] && grep -q 'no file matches' none.err || fail "a pattern that matches nothing: exit code $rc, $(cat none.err)"

[ $failed -eq 0 ] && echo "every tool behaves alike"
exit $failed
