#!/bin/sh
# Builds the GOST core with the host compiler and runs its native checks
# (published digests, chunking, agreement with librhash).
# Usage: run_native_core_test.sh OUTPUT_FOLDER
set -e
here=$(cd "$(dirname "$0")" && pwd)
sh "$here/../../../bench/gost/build_native.sh" "$1" >/dev/null
exec "$1/gost94_core_native_test"
