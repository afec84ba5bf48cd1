#!/bin/sh
# Runs the README's manual section exactly as written, line by line, in a
# checkout-like folder whose build/ holds this build's programs and a fresh
# Wine prefix of the test's own, and checks what an administrator would see:
# the service installed, started, queried, stopped and removed, a trace line
# written, vrhash's line equal to rhash's. Then what the tools promise there:
# a reinstall keeps the start type, a second uninstall says "not installed",
# and the core names a missing policy section.
# Usage: readme_manual.sh SOURCE_DIR BUILD_DIR
. "$(dirname "$0")/readme_lines.sh"
readme_checkout "$1" "$2"

check_line() {
  case "$line" in
    *"sc query VrSoftwareState"*)
      grep -Eq 'STATE +: +[24] +(START_PENDING|RUNNING)' "text.$n" || fail "the service is not running" ;;
    *"sc stop VrSoftwareState"*)
      grep -Eq 'STATE +: +[13] +(STOP_PENDING|STOPPED)' "text.$n" || fail "the service does not stop" ;;
    *"VrSSRSrv.log"*)
      grep -q 'SERVICE_CONTROL_STOP' "text.$n" || fail "no trace line of the service's stop" ;;
    *"trace set"*)
      grep -q 'on Linux .*VrTrace/VrSSRSrv.log' "text.$n" || fail "trace set does not say where the file lands on Linux" ;;
    *"vrssr-setup.exe install"*)
      grep -q 'installed VrSoftwareState (demand start)' "text.$n" || fail "not installed as written" ;;
    *"vrssr-setup.exe uninstall"*)
      grep -q 'removed VrSoftwareState' "text.$n" || fail "not removed" ;;
    *"vrhash.exe"*) hashed=$n ;;
    *"rhash --gost94"*) rhashed=$n ;;
  esac
}

readme_type manual check_line
if [ -z "$hashed" ] || [ -z "$rhashed" ] || [ ! -s "text.$hashed" ] || ! cmp -s "text.$hashed" "text.$rhashed"; then
  fail "vrhash and rhash do not print the same line"
fi

# What the section promises about the tools, in the same fresh prefix.
W=build/wine-run.sh
check() {  # check PATTERN COMMAND...
  pattern=$1; shift
  out=$("$@" 2>&1 | tr -d '\r')
  printf '$ %s\n%s\n' "$*" "$out" | sed '2,$s/^/  /'
  printf '%s\n' "$out" | grep -q "$pattern" || fail "$* does not say: $pattern"
}
$W start-server > /dev/null
check 'not installed' $W build/bin/vrssr-setup.exe uninstall
check '(demand start)' $W build/bin/vrssr-setup.exe install --start=demand '--protection-dir=C:\ProgramData\Varnel'
check '(demand start)' $W build/bin/vrssr-setup.exe install '--protection-dir=C:\ProgramData\Varnel'
check 'removed VrSoftwareState' $W build/bin/vrssr-setup.exe uninstall
check 'installed VrCC' $W build/bin/vrcc-ctl.exe install
$W sc start VrCC > /dev/null 2>&1
tries=0
until $W build/bin/vrcc-ctl.exe sessions > /dev/null 2>&1 || [ $tries -ge 20 ]; do sleep 1; tries=$((tries + 1)); done
check 'policy clear: there is no section NoSuchSection (2)' $W build/bin/vrcc-ctl.exe policy clear NoSuchSection
check 'removed VrCC' $W build/bin/vrcc-ctl.exe uninstall
$W stop-server > /dev/null

[ $failed -eq 0 ] && echo "the README's manual section works as written"
exit $failed
