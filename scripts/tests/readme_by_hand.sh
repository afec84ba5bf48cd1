#!/bin/sh
# Types the README's "Managing the component by hand" lines exactly as
# written, each in a shell of its own, in a checkout-like folder whose
# build/ holds this build's programs and a fresh Wine prefix of the test's
# own, and checks what an administrator would see at each step: the core and
# the scan service installed and started, the configuration of the reference
# accepted, a scan completed, the passport exported and listed, everything
# removed again.
# Usage: readme_by_hand.sh SOURCE_DIR BUILD_DIR
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vr-by-hand.XXXXXX") || exit 1
mkdir "$work/build"
ln -s "$build/bin" "$work/build/bin"
ln -s "$build/wine-run.sh" "$work/build/wine-run.sh"
ln -s "$src/docs" "$work/docs"
export WINEPREFIX="$work/build/wineprefix"
cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work" "$WINEPREFIX.lock"
}
trap cleanup EXIT
failed=0
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }

awk '/<!-- by-hand:begin -->/ { on = 1; next } /<!-- by-hand:end -->/ { on = 0 }
     on && /^```/ { block = !block; next } on && block && NF' "$src/README.md" > "$work/commands"
[ "$(wc -l < "$work/commands")" -ge 5 ] || { echo "no by-hand section in README.md"; exit 1; }

cd "$work" || exit 1
n=0
while IFS= read -r line; do
  n=$((n + 1))
  printf '$ %s\n' "$line"
  sh -c "$line" > "out.$n" 2>&1 < /dev/null
  rc=$?
  tr -d '\r' < "out.$n" > "text.$n"
  sed 's/^/  /' "text.$n" | cut -c1-200 | head -40
  [ $rc -eq 0 ] || fail "exit code $rc: $line"
  case "$line" in
    *"vrcc-ctl.exe install"*) grep -q 'installed VrCC' "text.$n" || fail "VrCC not installed" ;;
    *"vrssr-setup.exe install"*) grep -q 'installed VrSoftwareState' "text.$n" || fail "VrSoftwareState not installed" ;;
    *"vragent.exe activate"* | *"vragent.exe deactivate"*)
      grep -q '<Status>OK</Status>' "text.$n" || fail "not done: $line" ;;
    *"vragent.exe config"*) grep -q 'configuration accepted' "text.$n" || fail "the configuration was not accepted" ;;
    *"vragent.exe scan --wait"*) grep -q 'Complete' "text.$n" || fail "the scan did not complete" ;;
    *"vragent.exe state"*) grep -q 'scan: *complete' "text.$n" || fail "the state is not Complete" ;;
    *"vragent.exe export"*)
      [ -s build/wineprefix/drive_c/ses.xml ] || fail "no exported passport in drive_c" ;;
    *"vrpassport.exe list"*)
      head -1 "text.$n" | grep -q '^path,folder,name,' || fail "the list has no header row"
      grep -qi '^C:\\windows\\system32\\kernel32.dll,' "text.$n" || fail "kernel32.dll is not listed" ;;
    *"vrssr-setup.exe uninstall"*) grep -q 'removed VrSoftwareState' "text.$n" || fail "VrSoftwareState not removed" ;;
    *"vrcc-ctl.exe uninstall"*) grep -q 'removed VrCC' "text.$n" || fail "VrCC not removed" ;;
  esac
  # A person types the next line a moment later.
  sleep 1
done < commands

[ $failed -eq 0 ] && echo "the README's by-hand section works as written"
exit $failed
