#!/bin/sh
# The DLL exports exactly one name, CreateComponentProxy, undecorated.
objdump="$1"; dll="$2"
names=$("$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] *//p')
echo "exports: $names"
[ "$names" = "CreateComponentProxy" ]
