#!/bin/sh
# The main job end to end, as an administrator would do it: the core VrCC and
# the scan service VrSoftwareState installed as services in a Wine prefix of
# the demo's own, then, only through vragent and the proxy, a configuration,
# a scan with its progress, the state and the exported document. A second
# run reuses what is there.
# Usage: demo.sh BUILD_DIR
set -eu
build=$(cd "${1:-build}" && pwd)
checkout=$(cd "$(dirname "$0")/.." && pwd)
bin="$build/bin"
demo="$build/demo"
mkdir -p "$demo"
export WINEPREFIX="$demo/wineprefix"
run="$build/wine-run.sh"
W() { "$run" "$@"; }

echo "== Wine prefix $WINEPREFIX"
# Services live as long as the Wine server: keep it up after the demo (a
# server running for a time only is replaced by one that stays, unless
# programs run in it: then start-server names them and the demo stops).
# After stop-server, the first Wine program in the prefix (vragent state,
# say) brings the automatic services back in a server with a time limit,
# which start-server will not replace under them. They are the demo's own,
# and it starts them again below.
if ! W start-server >/dev/null 2>&1; then
  echo "== The demo's services ran in a Wine server with a time limit: ending it to start one that stays"
  W stop-server >/dev/null
  W start-server >/dev/null
fi

drive_c="$WINEPREFIX/drive_c"
sample="$drive_c/vrdemo/sample"
printf '%s\n' '== Sample tree C:\vrdemo\sample'
rm -rf "$sample"
mkdir -p "$sample"
: > "$sample/empty.txt"
head -c 1048577 /dev/urandom > "$sample/one-mebibyte-and-one.bin"
printf 'plain text, no version resource\n' > "$sample/readme.txt"
mkdir -p "$sample/Документы"
printf 'отчёт\n' > "$sample/Документы/Отчёт за квартал.txt"
long="$sample"
i=0
while [ ${#long} -lt $(( ${#drive_c} + 300 )) ]; do
  long="$long/a-folder-with-a-rather-long-name-$i"; i=$((i + 1))
done
mkdir -p "$long"
printf 'deep\n' > "$long/deep-file.dat"
cp "$drive_c/windows/system32/notepad.exe" "$sample/notepad-copy.exe"
cp "$drive_c/windows/system32/msxml3.dll" "$sample/library-copy.dll"

echo "== Installing and starting VrCC and VrSoftwareState"
W "$bin/vrcc-ctl.exe" install --start=auto
W sc start VrCC >/dev/null 2>&1 || true
W "$bin/vrssr-setup.exe" install --start=demand '--protection-dir=C:\ProgramData\Varnel\'
W "$bin/vragent.exe" activate >/dev/null

# The annotated example of docs/configuration.md, sent as it stands.
settings="$checkout/docs/settings-example.xml"
settings_w=$(W winepath -w "$settings" 2>/dev/null | tr -d '\r')
echo "== Configuration (vragent waits while the service takes its session on the core)"
W "$bin/vragent.exe" config "$settings_w" || { echo "demo: the scan service did not accept the configuration" >&2; exit 1; }

echo "== Scan"
start=$(date +%s)
W "$bin/vragent.exe" scan --wait
seconds=$(( $(date +%s) - start ))

echo "== State"
W "$bin/vragent.exe" state

passport="$demo/passport.xml"
rm -f "$passport"
passport_w=$(W winepath -w "$passport" 2>/dev/null | tr -d '\r')
echo "== Export to $passport"
W "$bin/vragent.exe" export "$passport_w"

python3 "$(dirname "$0")/demo_summary.py" "$passport" "$drive_c" "$seconds"

echo "== What changed: the sample tree changed, scanned again, the two passports compared"
before="$demo/passport-before.xml"
after="$demo/passport-after.xml"
cp "$passport" "$before"
printf 'patched in place\n' >> "$sample/notepad-copy.exe"
printf 'patched in place\n' >> "$sample/library-copy.dll"
printf 'plain text, edited\n' > "$sample/readme.txt"
printf 'a new file\n' > "$sample/added.txt"
rm -f "$sample/empty.txt"
W "$bin/vragent.exe" scan --wait >/dev/null
rm -f "$after"
W "$bin/vragent.exe" export "$(W winepath -w "$after" 2>/dev/null | tr -d '\r')" >/dev/null
before_w=$(W winepath -w "$before" 2>/dev/null | tr -d '\r')
after_w=$(W winepath -w "$after" 2>/dev/null | tr -d '\r')
printf '$ vrpassport diff %s %s\n' "$before_w" "$after_w"
set +e
W "$bin/vrpassport.exe" diff "$before_w" "$after_w"
rc=$?
set -e
echo "(exit code $rc: 0 no change, 1 changes, 2 trouble)"
[ $rc -le 1 ] || { echo "demo: vrpassport could not compare the passports" >&2; exit 1; }

# Short lines from the checkout's root, where make demo runs.
here() { case "$1" in "$checkout"/*) printf '%s' "${1#"$checkout"/}" ;; *) printf '%s' "$1" ;; esac; }
r=$(here "$run") b=$(here "$bin") d=$(here "$demo")
cat <<EOF2

The services stay up in the demo's own prefix. From the checkout's root, in one shell:
  export WINEPREFIX=\$PWD/$d/wineprefix W=$r
  \$W $b/vragent.exe state                # the scan state
  \$W $b/vragent.exe scan --wait          # scan again
  \$W $b/vragent.exe export 'Z:\\tmp\\ses.xml'
  \$W $b/vrpassport.exe list $d/passport.xml
  \$W $b/vrpassport.exe diff --html diff.html $d/passport-before.xml $d/passport-after.xml
  \$W $b/vrcc-ctl.exe events              # the events of the scans and exports
  \$W stop-server                        # end the services and every Wine program of the demo
  \$W start-server && \$W $b/vragent.exe activate   # bring them back (VrCC starts by itself)
Your own configuration: docs/configuration.md (make demo sends docs/settings-example.xml).
EOF2
