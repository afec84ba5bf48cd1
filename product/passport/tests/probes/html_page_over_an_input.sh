#!/bin/sh
# --html OUT must never replace or remove a document the run reads, however
# it is spelt or linked, and the page's scratch files must never truncate or
# delete a file that was there before (OUT.part, OUT.changed.part, ...).
. "$(dirname "$0")/common.sh"

# OUT and OLD: two spellings of one file
for pair in "./old.xml old.xml" "$WORK/old.xml old.xml" "old.xml link.xml"; do
    set -- $pair
    doc old.xml AA 'C:\t\a.dll'
    doc new.xml BB 'C:\t\a.dll'
    ln -sf old.xml link.xml
    before=$(cksum <old.xml)
    "$TOOL" diff --html "$1" "$2" new.xml >/dev/null 2>&1
    [ "$(cksum <old.xml)" = "$before" ] || fault "--html $1 wrote the page over the input $2"
done

doc old.xml AA 'C:\t\a.dll'
doc page.part BB 'C:\t\a.dll'
"$TOOL" diff --html page old.xml page.part >/dev/null 2>&1
[ -s page.part ] || fault "--html page truncated and deleted the input page.part"

doc page.changed.part BB 'C:\t\a.dll'
"$TOOL" diff --html page old.xml old.xml >/dev/null 2>&1
[ -e page.changed.part ] || fault "--html page deleted the unrelated file page.changed.part"

[ $status = 0 ] && echo OK
exit $status
