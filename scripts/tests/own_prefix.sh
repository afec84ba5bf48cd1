# Sourced by the scripts that run in a Wine prefix of their own.
# own_prefix NAME: a fresh folder ($work) holding the prefix, exported as
# WINEPREFIX and removed with the prefix's server on exit.
own_prefix() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX") || exit 2
  export WINEPREFIX="$work/wineprefix"
  trap own_prefix_cleanup EXIT
}
own_prefix_cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work" "$WINEPREFIX.lock"
}
