#!/bin/sh
# Installs the cross toolchain, Wine and the test tools when any is missing.
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
[ -z "$need" ] && exit 0
echo "installing:$need"
SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq $need >/dev/null
