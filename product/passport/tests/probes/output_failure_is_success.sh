#!/bin/sh
# When the report cannot be written (disk full, closed pipe) the run is
# trouble (2), not "no change" (0) or "changes" (1) with nothing written.
. "$(dirname "$0")/common.sh"

[ -w /dev/full ] || { echo "no /dev/full here"; exit 0; }
doc old.xml AA 'C:\t\a.dll'
doc new.xml BB 'C:\t\a.dll'
"$TOOL" summary old.xml >/dev/full 2>/dev/null
rc=$?; [ $rc = 2 ] || fault "summary into a full disk exits $rc"
"$TOOL" diff old.xml new.xml >/dev/full 2>/dev/null
rc=$?; [ $rc = 2 ] || fault "diff into a full disk exits $rc"
"$TOOL" diff --json old.xml old.xml >/dev/full 2>/dev/null
rc=$?; [ $rc = 2 ] || fault "diff --json into a full disk exits $rc"

[ $status = 0 ] && echo OK
exit $status
