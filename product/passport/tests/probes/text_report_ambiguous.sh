#!/bin/sh
# The text report escapes control characters with a backslash, so it must
# escape backslashes too: a description holding a line break and one
# holding a backslash and an "n" must not print the same.
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
