#!/bin/sh
# Types the README's "Managing the component by hand" lines exactly as
# written, each in a shell of its own, in a checkout-like folder whose
# build/ holds this build's programs and a fresh Wine prefix of the test's
# own, and checks what an administrator would see at each step: the core and
# the scan service installed and started, the configuration of the reference
# accepted, a scan completed, the passport exported and listed, everything
# removed again.
# Usage: readme_by_hand.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/readme_lines.sh"
readme_checkout "$1" "$2"
ln -s "$src/docs" "$work/docs"

check_line() {
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
}

readme_type by-hand check_line

[ $failed -eq 0 ] && echo "the README's by-hand section works as written"
exit $failed
