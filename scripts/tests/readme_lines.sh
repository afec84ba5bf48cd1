# Sourced by the scripts that type a README section's lines as written.
# readme_checkout SOURCE_DIR BUILD_DIR: a checkout-like folder whose build/
# holds this build's programs and a fresh Wine prefix of the script's own,
# removed with the prefix's server on exit; sets src, build, work, failed.
# readme_type MARKER CHECK: each line of the sh blocks between
# <!-- MARKER:begin --> and <!-- MARKER:end -->, each in a shell of its own,
# its output in text.N; CHECK is called after each, with $line and $n set.
readme_checkout() {
  src=$(cd "$1" && pwd)
  build=$(cd "$2" && pwd)
  work=$(mktemp -d "${TMPDIR:-/tmp}/vr-readme.XXXXXX") || exit 1
  mkdir "$work/build"
  ln -s "$build/bin" "$work/build/bin"
  ln -s "$build/wine-run.sh" "$work/build/wine-run.sh"
  export WINEPREFIX="$work/build/wineprefix"
  trap readme_cleanup EXIT
  failed=0
}
readme_cleanup() {
  wineserver -k >/dev/null 2>&1
  wineserver -w >/dev/null 2>&1
  rm -rf "$work" "$WINEPREFIX.lock"
}
fail() { printf 'FAILED: %s\n' "$*"; failed=1; }

readme_type() {
  awk -v m="$1" 'index($0, "<!-- " m ":begin -->") { on = 1; next } index($0, "<!-- " m ":end -->") { on = 0 }
       on && /^```/ { block = !block; next } on && block && NF' "$src/README.md" > "$work/commands"
  [ "$(wc -l < "$work/commands")" -ge 5 ] || { echo "no $1 section in README.md"; exit 1; }
  cd "$work" || exit 1
  n=0
  while IFS= read -r line; do
    n=$((n + 1))
    printf '$ %s\n' "$line"
    sh -c "$line" > "out.$n" 2>&1 < /dev/null
    rc=$?
    tr -d '\r' < "out.$n" > "text.$n"
    sed 's/^/  /' "text.$n" | cut -c1-200 | head -40
    [ $rc -eq 0 ] || fail "exit code $rc: $line"
    "$2"
    # A person types the next line a moment later.
    sleep 1
  done < commands
}
