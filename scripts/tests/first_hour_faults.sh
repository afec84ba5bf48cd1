#!/bin/sh
# Faults an administrator met in the first hour, through the real programs
# and build/wine-run.sh, in a Wine prefix of this script's own, so that they
# stay fixed. Each check prints FAULT or ok; the exit code is 1 when any
# FAULT remains.
# Usage: first_hour_faults.sh BUILD_DIR
build=$(cd "${1:-build}" && pwd) || exit 2
W="$build/wine-run.sh"
B="$build/bin"
. "$(dirname "$0")/own_prefix.sh"
own_prefix vr-faults
faults=0
fault() { printf 'FAULT: %s\n' "$*"; faults=$((faults + 1)); }
ok() { printf 'ok: %s\n' "$*"; }
ctl() { "$W" "$B/vrcc-ctl.exe" "$@" 2>&1 | tr -d '\r'; }

"$W" start-server >/dev/null

# 1. A failing `trace set` must change nothing: here the levels are written
#    before the folder turns out to be impossible, and the call still fails.
ctl trace set VrCC --levels=errors >/dev/null
ctl trace set VrCC --levels=all '--folder=Q:\no\such\drive' >/dev/null
if ctl trace show VrCC | grep -q 'EnableMask 0x8,'; then
  ok "a failed trace set left the levels as they were"
else
  fault "trace set failed (no such drive) but changed the levels: $(ctl trace show VrCC | sed -n 2p)"
fi
ctl trace clear all >/dev/null
rc=$("$W" "$B/vrcc-ctl.exe" trace set VrCC --levels=0x100000000 >/dev/null 2>&1; echo $?)
if [ "$rc" = 87 ]; then ok "a mask beyond 32 bits is refused"; else fault "trace set --levels=0x100000000: exit code $rc"; fi
said=$(ctl trace set VrSSRSrv --levels=info '--folder=C:\VrTrace')
case "$said" in
  *"on Linux $WINEPREFIX/drive_c/VrTrace/VrSSRSrv.log"*) ok "the Linux path is given in its drive_c form" ;;
  *) fault "trace set does not name the file under drive_c: $said" ;;
esac
ctl trace clear all >/dev/null

# 2. A trace folder with a trailing dot or blank is created without them, but
#    stored as typed: trace set reports success and no trace file is ever
#    written. The protection folder of vrssr-setup is normalised instead.
ctl trace set VrCCCtl --levels=all --targets=file '--folder=C:\vrtrace. ' >/dev/null
ctl trace show VrCCCtl >/dev/null     # a traced run of vrcc-ctl itself
if find "$WINEPREFIX/drive_c" -name VrCCCtl.log 2>/dev/null | grep -q .; then
  ok "a folder with a trailing dot and blank still receives the trace"
else
  fault "trace set --folder='C:\\vrtrace. ' succeeded, yet no trace file is written ($(ctl trace show VrCCCtl | sed -n 3p | sed 's/^ *//'))"
fi
ctl trace clear all >/dev/null

# 3. An empty FILE is a usage error, not the current folder.
out=$("$W" "$B/vrhash.exe" '' 2>&1 | tr -d '\r')
rc=$("$W" "$B/vrhash.exe" '' >/dev/null 2>&1; echo $?)
if [ "$rc" = 87 ]; then ok "vrhash '' is a usage error"; else fault "vrhash '': exit code $rc, says: $out"; fi

# 4. Installing again without --protection-dir keeps the start type but puts
#    LocalProtectionDir back to the default, so the service loses its depot.
"$W" "$B/vrssr-setup.exe" install --start=demand '--protection-dir=C:\Depot' >/dev/null 2>&1
out=$("$W" "$B/vrssr-setup.exe" install 2>&1 | tr -d '\r')
case "$out" in
  *'LocalProtectionDir=C:\Depot\'*) ok "a reinstall keeps the protection folder" ;;
  *) fault "a reinstall without --protection-dir moved the depot: $out" ;;
esac
"$W" "$B/vrssr-setup.exe" uninstall >/dev/null 2>&1
"$W" stop-server >/dev/null

# 5. start-server ends the services of a server that runs without saying so.
"$W" "$B/vrssr-setup.exe" install --start=demand '--protection-dir=C:\ProgramData\Varnel' >/dev/null 2>&1
"$W" sc start VrSoftwareState >/dev/null 2>&1
tries=0
until "$W" sc query VrSoftwareState 2>/dev/null | grep -q RUNNING || [ $tries -ge 20 ]; do sleep 1; tries=$((tries + 1)); done
said=$("$W" start-server 2>&1)
if "$W" sc query VrSoftwareState 2>/dev/null | grep -q RUNNING; then
  ok "start-server left the running service alone"
else
  case "$said" in
    *VrSoftwareState*|*ervice*) ok "start-server says that it ends the running programs: $said" ;;
    *) fault "start-server killed the running service VrSoftwareState (no stop control) and said only: $said" ;;
  esac
fi
"$W" "$B/vrssr-setup.exe" uninstall >/dev/null 2>&1
"$W" stop-server >/dev/null

# 6. An exported WINEPREFIX of someone else's is taken over: booted again
#    and switched to Windows 10, without a word.
other="$work/other-prefix"
WINEPREFIX="$other" wineboot -i >/dev/null 2>&1
WINEPREFIX="$other" wine winecfg -v win7 >/dev/null 2>&1
WINEPREFIX="$other" wineserver -w
first=$(WINEPREFIX="$other" "$W" cmd /c exit 0 2>&1 >/dev/null)
version=$(WINEPREFIX="$other" "$W" cmd /c ver 2>/dev/null | tr -d '\r' | grep -o 'Windows [0-9.]*')
WINEPREFIX="$other" wineserver -k >/dev/null 2>&1
WINEPREFIX="$other" wineserver -w >/dev/null 2>&1
case "$version" in
  *"Windows 6.1"*) ok "a foreign prefix keeps its Windows version" ;;
  *) fault "wine-run.sh with WINEPREFIX=$other (a Windows 7 prefix) switched it to: $version" ;;
esac

again=$(WINEPREFIX="$other" "$W" cmd /c exit 0 2>&1 >/dev/null)
WINEPREFIX="$other" wineserver -k >/dev/null 2>&1
WINEPREFIX="$other" wineserver -w >/dev/null 2>&1
if [ "$(printf '%s\n' "$first" | grep -c "$other")" != 1 ] || [ -n "$again" ]; then
  fault "wine-run.sh should name the foreign prefix $other in one line, once; said: $first / then: $again"
elif [ -e "$other/.vr-ready" ] || [ -e "$other.lock" ]; then
  fault "wine-run.sh marked the foreign prefix $other as its own"
else
  ok "a foreign prefix is used as it is, announced once"
fi
seen="$build/.wine-run-prefixes"
grep -vxF "$other" "$seen" > "$work/seen" 2>/dev/null; cat "$work/seen" > "$seen" 2>/dev/null

# 7. The wrapper itself: its whole usage on --help, a usage error without a
#    command, and stop-server does not create the prefix it is asked about.
usage=$("$W" --help 2>&1); rc=$?
lines=$(sed -n '2,/^[^#]/p' "$W" | grep -c '^#')
if [ "$rc" = 0 ] && [ "$(printf '%s\n' "$usage" | wc -l)" -eq "$lines" ]; then
  ok "wine-run.sh --help prints its whole usage"
else
  fault "wine-run.sh --help: exit code $rc, $(printf '%s\n' "$usage" | wc -l) of $lines lines"
fi
rc=$("$W" >/dev/null 2>&1; echo $?)
[ "$rc" = 87 ] && ok "wine-run.sh without a command is a usage error" || fault "wine-run.sh without a command: exit code $rc"
WINEPREFIX="$work/never" "$W" stop-server >/dev/null 2>&1
if [ -e "$work/never" ]; then fault "stop-server created the prefix $work/never"; else ok "stop-server creates no prefix"; fi

# 8. Services get the environment their manager had when it began: a
#    protection folder set after that was ignored while an older value stood,
#    and every scan went to the old folder.
"$W" "$B/vrssr-setup.exe" install --start=demand '--protection-dir=C:\DepotOld' >/dev/null 2>&1
"$W" stop-server >/dev/null
"$W" start-server >/dev/null
"$W" "$B/vrssr-setup.exe" install --start=demand '--protection-dir=C:\DepotNew' >/dev/null 2>&1
"$W" sc start VrSoftwareState >/dev/null 2>&1
tries=0
until "$W" sc query VrSoftwareState 2>/dev/null | grep -q RUNNING || [ $tries -ge 20 ]; do sleep 1; tries=$((tries + 1)); done
"$W" "$B/vrssr-setup.exe" uninstall >/dev/null 2>&1
if [ -d "$WINEPREFIX/drive_c/DepotNew/ssr_depot" ] && [ ! -e "$WINEPREFIX/drive_c/DepotOld/ssr_depot" ]; then
  ok "the service uses the protection folder set last"
else
  fault "LocalProtectionDir set to C:\DepotNew, yet the depot is: $(cd "$WINEPREFIX/drive_c" && ls -d Depot*/ssr_depot 2>/dev/null)"
fi
"$W" stop-server >/dev/null

# 9. Where setup never ran, "ProductLocale" is missing and every message came
#    in Russian (the documented fallback); install sets it as the product's
#    installer would: the installing user's locale when VrError.dll speaks
#    it, else en-US, or --locale; a value already there is kept.
product='HKLM\SOFTWARE\Calderis\Varnel Studio'
as_user() {  # as_user LOCALE PROGRAM ARGS...: Wine takes the user's locale from LC_ALL
  locale=$1; shift
  LC_ALL=$locale WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' wine "$@" 2>&1 </dev/null | tr -d '\r'
}
product_locale() { "$W" reg query "$product" /v ProductLocale 2>/dev/null | tr -d '\r' | awk '/ProductLocale/ { print $3 }'; }
forget_locale() { "$W" reg delete "$product" /v ProductLocale /f >/dev/null 2>&1; }
"$W" start-server >/dev/null
for case in "ru_RU.UTF-8:ru-RU:" "de_DE.UTF-8:en-US:" "de_DE.UTF-8:ru-RU:--locale=ru-RU"; do
  user=${case%%:*} rest=${case#*:}
  expected=${rest%%:*} option=${rest#*:}
  forget_locale
  said=$(as_user "$user" "$B/vrssr-setup.exe" install --start=demand $option)
  if [ "$(product_locale)" = "$expected" ] && printf '%s' "$said" | grep -q "ProductLocale=$expected\$"; then
    ok "install by a $user user ${option:+with $option }sets ProductLocale $expected"
  else
    fault "install by a $user user ${option:+with $option }set ProductLocale '$(product_locale)', not $expected: $said"
  fi
done
said=$(as_user de_DE.UTF-8 "$B/vrssr-setup.exe" install --locale=en-US)
case "$(product_locale):$said" in
  "ru-RU:"*"ProductLocale=ru-RU (kept)") ok "an existing ProductLocale is kept" ;;
  *) fault "install changed an existing ProductLocale: $(product_locale): $said" ;;
esac
# A value the product cannot use leaves its messages Russian as a missing one
# does, so install replaces it; a --locale no system knows is refused.
for bad in "" english xx-YY; do
  "$W" reg add "$product" /v ProductLocale /t REG_SZ /d "$bad" /f >/dev/null 2>&1
  said=$(as_user de_DE.UTF-8 "$B/vrssr-setup.exe" install)
  case "$(product_locale):$said" in
    "en-US:"*"ProductLocale=en-US") ok "install replaces the unusable ProductLocale '$bad'" ;;
    *) fault "install left the unusable ProductLocale '$bad': $(product_locale): $said" ;;
  esac
done
said=$(as_user de_DE.UTF-8 "$B/vrssr-setup.exe" install --locale=xx-YY)
case "$(product_locale):$said" in
  "en-US:"*"--help shows the usage)") ok "install refuses --locale=xx-YY" ;;
  *) fault "install took --locale=xx-YY: $(product_locale): $said" ;;
esac
forget_locale
as_user de_DE.UTF-8 "$B/vrssr-setup.exe" install >/dev/null
said=$("$W" "$B/vrcc-ctl.exe" policy set ROZEDURI --file 'C:\no\such\file.xml' 2>&1 | tr -d '\r')
# Cyrillic letters start with byte 0xD0 or 0xD1 in UTF-8.
if printf '%s' "$said" | LC_ALL=C grep -q "$(printf '[\320\321]')"; then
  fault "with ProductLocale en-US the tools still speak Russian: $said"
else
  ok "after install the tools speak the product's language: $said"
fi
"$W" "$B/vrssr-setup.exe" uninstall >/dev/null 2>&1
"$W" stop-server >/dev/null

printf '%s fault(s)\n' "$faults"
[ "$faults" -eq 0 ]
