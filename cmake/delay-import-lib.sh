#!/bin/sh
# Makes a delay-import library from a mingw-w64 import library: the same exports, but the DLL is
# loaded at the first call into it (the toolchain's __delayLoadHelper2) instead of when the
# program starts. The archive's own code (ws2_32's in6addr_any and inline helpers, for example)
# is carried over unchanged, so the result stands in for the original under the same name.
#   delay-import-lib.sh NM DLLTOOL AR IMPORT-LIBRARY OUTPUT
set -eu
nm=$1 dlltool=$2 ar=$3 src=$4 out=$5
tmp=$(mktemp -d "${TMPDIR:-/tmp}/krv-delaylib.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

dll=$("$dlltool" --identify-strict --identify "$src")
# Exports: every __imp_NAME; a NAME without its call thunk is data, which a delayed DLL cannot
# hand out (a program that uses one fails to link, which is the answer wanted).
"$nm" --defined-only "$src" 2>/dev/null | awk -v dll="$dll" '
  NF < 2 { next }
  $(NF-1) != "i" && $NF ~ /^__imp_/ { imp[substr($NF, 7)] = 1 }
  $(NF-1) == "T" { code[$NF] = 1 }
  END {
    print "LIBRARY \"" dll "\""
    print "EXPORTS"
    for (n in imp) print (n in code) ? n : n " DATA"
  }' >"$tmp/exports.def"
grep -q -v -E '^(LIBRARY|EXPORTS)' "$tmp/exports.def" || { echo "$src: no exports found" >&2; exit 1; }
"$dlltool" --input-def "$tmp/exports.def" --dllname "$dll" --output-delaylib "$tmp/out.a"

# Members that are code of their own: those without any import-section (.idata) symbol.
"$nm" -A "$src" 2>/dev/null | awk '
  NF >= 2 { n = split($1, p, ":"); m = p[2]; if ($(NF-1) == "i") stub[m] = 1; else seen[m] = 1 }
  END { for (m in seen) if (!(m in stub)) print m }' | sort >"$tmp/members"
if [ -s "$tmp/members" ]; then
  mkdir "$tmp/x"
  (cd "$tmp/x" && xargs "$ar" x "$src" <"$tmp/members")
  (cd "$tmp/x" && xargs "$ar" rs "$tmp/out.a" <"$tmp/members")
fi
mv "$tmp/out.a" "$out"
