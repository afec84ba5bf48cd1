#!/bin/sh
# vragent config --check through the real program, without any service: the
# reference's example (the one make demo sends, and the same text as the
# reference shows) is accepted; each fault is refused with exit code 1 and
# named with its place and code, from a missing element to text that is not
# XML; the scan service's own value rules apply (an empty Path, a schedule
# interval of 0).
# Usage: config_check.sh SOURCE_DIR WINE_RUNNER BIN_DIR
src=$(cd "$1" && pwd)
run=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
bin=$(cd "$3" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vr-config-check.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
failed=0
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }
cd "$work" || exit 1
example="$src/docs/settings-example.xml"

# The reference shows the very file make demo sends.
awk '/^## The whole example/ { on = 1; next } on && /^```xml/ { block = 1; next }
     block && /^```/ { exit } block' "$src/docs/configuration.md" > shown.xml
cmp -s shown.xml "$example" || fail "docs/configuration.md does not show docs/settings-example.xml as it is"
grep -q 'docs/settings-example.xml' "$src/scripts/demo.sh" || fail "make demo does not send docs/settings-example.xml"

# check FILE RC PATTERN: one run, its exit code and its one line.
check() {
  "$run" "$bin/vragent.exe" config --check "$1" > out 2> err
  rc=$?
  text=$(cat out err | tr -d '\r')
  printf '%s -> %s: %s\n' "$1" "$rc" "$text"
  [ $rc -eq "$2" ] || fail "$1: exit code $rc, not $2"
  printf '%s\n' "$text" | grep -Eq -- "$3" || fail "$1: says \"$text\", expected /$3/"
  [ "$(printf '%s\n' "$text" | wc -l)" -eq 1 ] || fail "$1: not one line"
}
variant() {  # variant NAME SED_SCRIPT: the example changed
  sed "$2" "$example" > "$1"
  [ "$(cat "$1")" != "$(cat "$example")" ] || fail "$1: the change did not apply"
}

cp "$example" example.xml
check example.xml 0 'example.xml: the scan service would accept this configuration'
variant no-exclusions.xml 's|<ExcludePaths enable="false"/>||'
check no-exclusions.xml 1 '^vragent: no-exclusions.xml:5:5: <ScanSetting> has no element <ExcludePaths> .* \(3\)$'
variant no-events.xml '/<EventRegistration>/,/<\/EventRegistration>/d'
check no-events.xml 1 '^vragent: no-events.xml:4:3: <Settings> has no element <EventRegistration> .* \(3\)$'
variant misspelt.xml 's|<Paths all="false">|<Paths alll="false">|'
check misspelt.xml 1 '^vragent: misspelt.xml:7:7: <Paths> has no attribute all \(3\)$'
variant event.xml 's|<Event name="EID_SP_SES_SAVED" enabled="true"/>|<Event name="EID_SP_SES_SAVED"/>|'
check event.xml 1 '^vragent: event.xml:23:7: <Event> has no attribute enabled \(3\)$'
variant bad-line.xml 's|</ScanSetting>|</ScanSettings>|'
check bad-line.xml 1 '^vragent: bad-line.xml:15:5: </ScanSettings> where </ScanSetting> belongs: not XML \(0xE6240001\)$'
head -n 9 "$example" > cut.xml
check cut.xml 1 '^vragent: cut.xml:10:1: the text ends before </Paths>: not XML \(0xE6240001\)$'
variant empty-path.xml 's|<Path>C:\\windows</Path>|<Path></Path>|'
check empty-path.xml 1 '^vragent: empty-path.xml: a value the service cannot use: .* \(87\)$'
variant zero-interval.xml 's|<ScheduleScan enabled="false"/>|<ScheduleScan enabled="true"><Schedule scheduleType="Periodic"><Periodic startDate="2026-01-01T00:00:00.000Z" interval="0" intervalScale="Hours"/></Schedule></ScheduleScan>|'
check zero-interval.xml 1 '\(87\)$'
variant weekly.xml 's|<ScheduleScan enabled="false"/>|<ScheduleScan enabled="true"><Schedule scheduleType="Weekly"><Week><Item day="Monday" hour="9" minute="30"/></Week></Schedule></ScheduleScan>|'
check weekly.xml 0 'would accept'
check no-such-file.xml 1 '^vragent: no-such-file.xml: .+ \(2\)$'

[ $failed -eq 0 ] && echo "config --check names every fault and takes the reference's example"
exit $failed
