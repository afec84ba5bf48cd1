#!/bin/sh
# The text report escapes control characters with a backslash but leaves
# backslashes as they are: a description holding a line break and one
# holding a backslash and an "n" print the same, and a value ending in a
# backslash reads as an escaped quote.
. "$(dirname "$0")/common.sh"

doc old.xml AA 'C:\t\a.dll'
sed 's|<D>Tool</D>|<D>line\&#10;break</D>|' old.xml >break.xml
sed 's|<D>Tool</D>|<D>line\\nbreak</D>|' old.xml >slash.xml
one=$("$TOOL" diff old.xml break.xml | grep description)
two=$("$TOOL" diff old.xml slash.xml | grep description)
printf "%s\n" "$one"
printf "%s\n" "$two"
[ "$one" != "$two" ] || fault "two different descriptions print the same"

[ $status = 0 ] && echo OK
exit $status
