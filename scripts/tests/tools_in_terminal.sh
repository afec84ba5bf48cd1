#!/bin/sh
# Every tool in a real terminal: run through `script` (a pseudo-terminal, so
# the tool's standard output and error are a console under Wine) and through
# a pipe, the two outputs must read the same once Wine's terminal escapes and
# carriage returns are gone. Numbers, non-ASCII names and error codes
# included. A prefix of its own: each case runs twice, and a test that sets
# the product's language or installs a service in a shared prefix between
# the two runs would make them differ.
# Usage: tools_in_terminal.sh WINE_RUNNER BIN_DIR
run=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
bin=$(cd "$2" && pwd)
. "$(dirname "$0")/own_prefix.sh"
own_prefix vr-terminal
failed=0
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }
command -v script >/dev/null || { echo "script (util-linux) is needed"; exit 1; }

# What a person sees: Wine draws the console with escapes; a cursor move to
# the right stands for blanks, everything else is dropped, and so are CRs.
screen_text() {
  python3 -c '
import re, sys
data = sys.stdin.buffer.read().decode("utf-8", "replace")
data = re.sub(r"\x1b\[(\d*)C", lambda m: " " * int(m.group(1) or 1), data)
data = re.sub(r"\x1b\][^\x07]*\x07", "", data)
data = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", data)
data = re.sub(r"\x1b[()][A-Z0-9]", "", data)
sys.stdout.write(data.replace("\r", ""))
'
}

quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }

# same WHAT EXPECTED_PATTERN PROGRAM ARGS...: the terminal shows what the pipe
# carries, and the pipe carries the pattern (a number the old way lost).
same() {
  what=$1 pattern=$2; shift 2
  line="exec $(quote "$run")"
  for a; do line="$line $(quote "$a")"; done
  printf '%s\n' "$line" > "$work/case.sh"
  sh "$work/case.sh" > "$work/piped.raw" 2>&1 < /dev/null
  # A wide terminal, so no line wraps.
  script -q -c "stty cols 250 rows 50 2>/dev/null; sh $work/case.sh" /dev/null < /dev/null > "$work/tty.raw" 2>&1
  screen_text < "$work/tty.raw" > "$work/tty"
  tr -d '\r' < "$work/piped.raw" > "$work/piped"
  if ! cmp -s "$work/piped" "$work/tty"; then
    fail "$what: the terminal shows other text than the pipe carries"
    diff "$work/piped" "$work/tty" | head -10
  elif ! grep -Eq -- "$pattern" "$work/piped"; then
    fail "$what: expected /$pattern/ in: $(cat "$work/piped")"
  else
    printf 'ok: %s: %s\n' "$what" "$(grep -E -m1 -- "$pattern" "$work/piped")"
  fi
}

"$run" cmd /c exit 0 > /dev/null 2>&1  # a prefix made once, outside the comparison

mkdir -p "$work/tree/other"
printf 'one\n' > "$work/tree/a.dll"
printf 'четыре\n' > "$work/tree/other/Отчёт.txt"
cp "$bin/vrssr-setup.exe" "$work/"

same "vrhash files" 'Отчёт\.txt$' "$bin/vrhash.exe" "$work/tree/a.dll" "$work/tree/other/Отчёт.txt"
same "vrhash a folder" '\(336\)$' "$bin/vrhash.exe" 'C:\windows'
same "vrhash --help" 'usage' "$bin/vrhash.exe" --help
same "vrcc-ctl a missing file" '\(3\)$' "$bin/vrcc-ctl.exe" policy set ROZEDURI --file 'C:\no\such\file.xml'
same "vrcc-ctl trace show" '^VrSSRSrv +(off$|.*EnableMask 0x[0-9A-F]+)' "$bin/vrcc-ctl.exe" trace show VrSSRSrv
same "vrcc-ctl --help" 'events' "$bin/vrcc-ctl.exe" --help
same "vragent a missing configuration" 'C:\\no\\such\\settings\.xml: .* \(0x8007000[23]\)$' \
  "$bin/vragent.exe" config 'C:\no\such\settings.xml'
same "vragent state" '^(VrSoftwareState|vragent: GetState failed: .* \(0x[0-9A-F]{8}\))$' "$bin/vragent.exe" state
same "vragent a wrong argument" '\(vragent --help' "$bin/vragent.exe" scan --later
same "vrssr-setup without its service" '\(2\)$' "$work/vrssr-setup.exe" install --start=demand
same "vrssr-setup --help" 'ProductLocale' "$bin/vrssr-setup.exe" --help
same "vrpassport a missing document" 'such' "$bin/vrpassport.exe" summary 'C:\no\such.xml'
same "VrSSRSrv.exe --help" 'service control manager' "$bin/VrSSRSrv.exe" --help
same "VrCC.exe a wrong argument" 'usage' "$bin/VrCC.exe" --bogus

[ $failed -eq 0 ] && echo "every tool reads the same in a terminal as in a pipe"
exit $failed
