#!/bin/sh
# Installs the cross toolchain, Wine, the test tools and the fleet store's
# engines when any is missing.
set -e
need=""
have() { command -v "$1" >/dev/null 2>&1; }
have x86_64-w64-mingw32-g++-posix || need="$need g++-mingw-w64-x86-64-posix"
have x86_64-w64-mingw32-windmc   || need="$need binutils-mingw-w64-x86-64"
have wine                        || need="$need wine"
[ -x /usr/lib/wine/wine64 ] || have wine64 || need="$need wine64"
have cmake                       || need="$need cmake"
have rhash                       || need="$need rhash"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
[ -f /usr/include/rhash.h ]      || need="$need librhash-dev"
have flock                       || need="$need util-linux"
have g++                         || need="$need g++"
have python3                     || need="$need python3"
have chromium                    || need="$need chromium"
# The fleet store, built natively: its two engines and its tests.
[ -f /usr/include/sqlite3.h ]    || need="$need libsqlite3-dev"
[ -f /usr/include/postgresql/libpq-fe.h ] || need="$need libpq-dev"
[ -f /usr/include/openssl/evp.h ] || need="$need libssl-dev"
ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || need="$need postgresql"
[ -f /usr/lib/x86_64-linux-gnu/libgtest.a ] || need="$need libgtest-dev"
have runuser                     || need="$need util-linux"
[ -z "$need" ] && exit 0
echo "installing:$need"
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need >/dev/null
