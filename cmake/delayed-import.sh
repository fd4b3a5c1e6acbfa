#!/bin/sh
# Makes a delay-load import library with every export of an ordinary import
# library: usage NM DLLTOOL IMPORT-LIBRARY DLL-NAME OUTPUT.
set -eu
nm=$1 dlltool=$2 implib=$3 dll=$4 out=$5
def="$out.def"
mkdir -p "$(dirname "$out")"
{
  echo "LIBRARY $dll"
  echo EXPORTS
  "$nm" "$implib" 2>/dev/null | sed -n 's/.* I __imp_//p' | sort -u
} > "$def"
"$dlltool" --input-def "$def" --dllname "$dll" --output-delaylib "$out"
