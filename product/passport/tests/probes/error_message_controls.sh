#!/bin/sh
# Bytes of a document reach the terminal only escaped: a bad entity
# reference quoted into an error message must not carry escape sequences
# (clear screen, colours, title) or bytes that are not UTF-8 to stderr.
. "$(dirname "$0")/common.sh"

printf '<RarudodaVaridide><UniqueId>&\033[2J\033[31m;</UniqueId>' >esc.xml
"$TOOL" summary esc.xml 2>err.txt
rc=$?; [ $rc = 2 ] || fault "exit $rc"
if LC_ALL=C grep -q "$(printf '\033')" err.txt; then fault "escape byte written raw: $(od -c err.txt | head -4)"; fi
printf '<RarudodaVaridide><UniqueId>&#\377;</UniqueId>' >bad.xml
"$TOOL" summary bad.xml 2>err.txt
if LC_ALL=C grep -q "$(printf '\377')" err.txt; then fault "byte 0xFF written raw"; fi

[ $status = 0 ] && echo OK
exit $status
