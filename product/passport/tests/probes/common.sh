# Shared by the probes: the tool to run and two small documents.
# Usage of every probe: sh PROBE.sh [path/to/vrpassport]  (native build)
# Each probe prints FAULT and exits 1 while the fault is there, OK and 0 once fixed.
set -u
TOOL=${1:-vrpassport}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

# doc FILE CHECKSUM PATH...: a document with one entry per path
doc() {
    file=$1 sum=$2
    shift 2
    {
        printf '\357\273\277<?xml version="1.0" encoding="UTF-8"?>\r\n'
        printf '<RarudodaVaridide xmlns:dt="urn:schemas-microsoft-com:datatypes">\r\n'
        printf '<UniqueId>ID</UniqueId><DateGenerated>2026-12-07T03:32:39.000Z</DateGenerated><SID>S-1-5-21-0-0-0</SID>\r\n'
        printf '<Computer><NetworkName>WS</NetworkName></Computer>\r\n<Software>\r\n'
        for p in "$@"; do
            printf '<SI><P>%s</P><N>%s</N><D>Tool</D><T>Application</T><V>1.0</V><MN>Co</MN><PN>Tool</PN><PV>1.0</PV>' \
                "${p%\\*}" "${p##*\\}"
            printf '<S>10</S><CD>2026-05-01T10:00:00.000Z</CD><CS>%s</CS></SI>\r\n' "$sum"
        done
        printf '</Software>\r\n</RarudodaVaridide>\r\n'
    } >"$file"
}

fault() { echo "FAULT: $*"; status=1; }
status=0
