#!/bin/sh
# The diff page opened in headless Chromium: the counts at its top, the
# documents' texts shown as text (never run), the filter hiding rows, and a
# screenshot for a person to look at.
# Usage: html_page_test.sh BUILD_DIR OUTPUT_DIR
set -eu
build=$1
out=$2
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v chromium >/dev/null || fail "chromium is not installed (scripts/install-deps.sh installs it)"

python3 - "$work" <<'PY'
import sys
def doc(items, uid):
    names = ["SerialNumber", "Type", "ResponsibleEmployee", "Department", "NetworkName", "NetworkAddress",
             "AutomationSystem", "OperatingSystem", "DBMS", "Location"]
    x = ['\ufeff<?xml version="1.0" encoding="UTF-8"?>',
         '<RarudodaVaridide xmlns:dt="urn:schemas-microsoft-com:datatypes">',
         '<UniqueId>%s</UniqueId><DateGenerated>2026-12-08T00:00:00.000Z</DateGenerated><SID>S-1-5-21-0-0-0</SID>' % uid,
         '<Computer>' + ''.join('<%s/>' % n for n in names) + '</Computer><Software>']
    for path, desc, checksum in items:
        folder, name = path.rsplit('\\', 1)
        values = [folder, name, desc, 'Application', '1.0', 'Co', 'Prod', '1.0', '10', '2026-01-01T00:00:00.000Z', checksum]
        tags = ['P', 'N', 'D', 'T', 'V', 'MN', 'PN', 'PV', 'S', 'CD', 'CS']
        esc = lambda s: s.replace('&', '&amp;').replace('<', '&lt;').replace('>', '&gt;')
        x.append('<SI>' + ''.join('<%s dt:dt="string">%s</%s>' % (t, esc(v), t) for t, v in zip(tags, values)) + '</SI>')
    x.append('</Software></RarudodaVaridide>')
    return '\n'.join(x)
hostile = '<script>document.title="run"</script><img src=x onerror="document.title=\'run\'">'
old = [('C:\\apps\\keep.exe', 'kept', 'AA'), ('C:\\apps\\patched.exe', 'tool', 'AA'),
       ('C:\\apps\\zed-gone.exe', hostile, 'AA')]
new = [('C:\\apps\\added "quoted" & <odd>.exe', hostile, 'BB'), ('C:\\apps\\keep.exe', 'kept', 'AA'),
       ('C:\\apps\\patched.exe', 'tool', 'CC'), ('C:\\apps\\zed-added.exe', 'z', 'DD')]
open(sys.argv[1] + '/old.xml', 'w', encoding='utf-8').write(doc(old, 'OLD'))
open(sys.argv[1] + '/new.xml', 'w', encoding='utf-8').write(doc(new, 'NEW'))
PY

page="$work/page.html"
w() { printf 'Z:%s' "$1" | tr / '\\'; }
set +e
"$build/wine-run.sh" "$build/bin/vrpassport.exe" diff --html "$(w "$page")" "$(w "$work/old.xml")" "$(w "$work/new.xml")"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "exit code $rc, expected 1 (changes)"
[ -f "$page" ] || fail "no page written"
ls "$work" | grep -q '\.part$' && fail "temporary files left beside the page"
cp "$page" "$out/passport-diff.html"

browse() {
  chromium --headless --no-sandbox --disable-gpu --no-first-run --user-data-dir="$work/profile" "$@" 2>/dev/null
}
browse --dump-dom "file://$page" > "$work/dom.html" || fail "chromium could not open the page"
grep -q '<li id="count-added"><b>2</b>added</li>' "$work/dom.html" || fail "added count not shown"
grep -q '<li id="count-removed"><b>1</b>removed</li>' "$work/dom.html" || fail "removed count not shown"
grep -q '<li id="count-changed"><b>1</b>changed</li>' "$work/dom.html" || fail "changed count not shown"
grep -q '<li id="count-flagged"><b>1</b>' "$work/dom.html" || fail "flagged count not shown"
grep -q '<title>Software passport: what changed</title>' "$work/dom.html" || fail "a document's text ran as script"
grep -q '&lt;script&gt;document.title' "$work/dom.html" || fail "a document's markup was not shown as text"
grep -q '<img' "$work/dom.html" && fail "a document's markup became an element"
grep -q 'added "quoted" &amp; &lt;odd&gt;.exe' "$work/dom.html" || fail "a path with markup characters not shown as written"

# Typing "zed" (here through the link's filter) leaves one row per table.
browse --dump-dom "file://$page#filter=zed" > "$work/filtered.html"
shown=$(grep -c '<tr><td>C:\\apps\\zed' "$work/filtered.html" || true)
hidden=$(grep -o 'hidden=""' "$work/filtered.html" | wc -l)
[ "$shown" -eq 2 ] || fail "filter: $shown rows with zed shown, expected 2"
[ "$hidden" -eq 2 ] || fail "filter: $hidden rows hidden, expected 2 (the other added one, the changed one)"

browse --screenshot="$out/passport-diff.png" --window-size=1280,900 "file://$page" >/dev/null
[ -s "$out/passport-diff.png" ] || fail "no screenshot"
echo "page and screenshot in $out"
