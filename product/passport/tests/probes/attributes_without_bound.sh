#!/bin/sh
# Attribute names of one tag are kept and compared with all earlier ones:
# unbounded, memory would grow with the input and time with its square.
# Prints the figures; FAULT when 40,000 short attributes (500 KB) take
# more than 2 s or 400 names of 256 KiB (100 MB) more than 64 MB. Timed, so
# run by hand (native build), not by ctest.
. "$(dirname "$0")/common.sh"

attrs() {  # COUNT NAME-LENGTH
    python3 -c "import sys;n,l=int(sys.argv[1]),int(sys.argv[2]);p='a'*max(l-7,1)
sys.stdout.write(''.join(' %s%07d=\"\"'%(p,i) for i in range(n)))" "$1" "$2"
}
for shape in "40000 8" "400 262144"; do
    set -- $shape
    doc base.xml AA 'C:\t\a.dll'
    { printf '<RarudodaVaridide'; attrs "$1" "$2"; tail -c +51 base.xml | sed '1s/^<RarudodaVaridide//'; } >t.xml
    /usr/bin/time -o figures -f "%e %M" "$TOOL" summary t.xml >/dev/null 2>&1
    figures=$(tail -1 figures)
    echo "$1 attributes of $2 bytes ($(wc -c <t.xml) bytes): $figures (s, KB)"
    seconds=${figures% *} kb=${figures#* }
    [ "${seconds%.*}" -lt 2 ] || fault "$1 attributes took $seconds s"
    [ "$kb" -lt 65536 ] || fault "$1 attributes took $kb KB"
done

[ $status = 0 ] && echo OK
exit $status
