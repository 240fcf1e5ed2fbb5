#!/usr/bin/env bash
# Builds the 7-Zip library for Windows x64 (7z.dll) from Debian's source package `7zip` with the
# mingw-w64 cross compiler, once: a folder that already holds the DLL is left as it is.
#   scripts/build-7zip-dll.sh OUTDIR
# OUTDIR receives 7z.dll, the licence texts and SOURCE.txt (which source built it, and the offer
# of that source that the LGPL asks for); OUTDIR/src keeps the source package itself.
# The source comes through a private APT configuration with deb-src lines made from the
# machine's own Debian sources: the machine's apt setup is never changed.
set -euo pipefail
out=${1:?usage: build-7zip-dll.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -f "$out/7z.dll" ] && [ -f "$out/SOURCE.txt" ] && exit 0

triple=x86_64-w64-mingw32
for tool in $triple-gcc-posix $triple-g++-posix $triple-windres dpkg-source; do
  command -v "$tool" >/dev/null || { echo "build-7zip-dll: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

apt="$out/apt"
rm -rf "$apt" "$out/src"
mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$out/src"

# deb-src twins of the machine's Debian entries (one-line and deb822 forms); other vendors'
# repositories seldom publish sources and are left out.
{
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -E 's/^[[:space:]]*deb[[:space:]]+(.*\/debian(-security)?\/?[[:space:]].*)$/deb-src \1/p' "$f"
  done
} > "$apt/sources.list"
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  # A stanza is kept when one of its URIs is a Debian archive; its Types become deb-src.
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /URIs:[^\n]*\/debian(-security)?\/?([ \n]|$)/ && /Types:[^\n]*deb([ \n]|$)/ {
         sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
done > "$apt/parts/debian-src.sources"
if [ ! -s "$apt/sources.list" ] && [ ! -s "$apt/parts/debian-src.sources" ]; then
  echo "build-7zip-dll: no Debian archive found in the machine's apt sources" >&2
  exit 1
fi

cat > "$apt/apt.conf" <<EOF
Dir::Etc::sourcelist "$apt/sources.list";
Dir::Etc::sourceparts "$apt/parts";
Dir::State::lists "$apt/lists/";
Dir::Cache "$apt/cache/";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
APT::Sandbox::User "root";
EOF
export APT_CONFIG="$apt/apt.conf"
apt-get update -qq >/dev/null
(cd "$out/src" && apt-get source -qq --only-source 7zip >/dev/null 2>&1) || {
  echo "build-7zip-dll: apt-get source 7zip failed" >&2; exit 1; }
dsc=$(ls "$out/src"/7zip_*.dsc)
version=$(sed -n 's/^Version: //p' "$dsc")
tree=$(find "$out/src" -mindepth 1 -maxdepth 1 -type d -name '7zip-*')

# Only the full bundle (Format7zF) has a gcc makefile; Debian's source has the RAR code removed.
cc="$triple-gcc-posix" cxx="$triple-g++-posix"
if command -v ccache >/dev/null; then cc="ccache $cc" cxx="ccache $cxx"; fi
(cd "$tree/CPP/7zip/Bundles/Format7zF" &&
 make -f makefile.gcc -j "$(nproc)" IS_MINGW=1 IS_X64=1 MSYSTEM=1 DISABLE_RAR=1 \
   CC="$cc" CXX="$cxx" RC="$triple-windres" >"$out/build.log" 2>&1) || {
  tail -20 "$out/build.log" >&2; echo "build-7zip-dll: the build failed (log: $out/build.log)" >&2; exit 1; }

dll="$tree/CPP/7zip/Bundles/Format7zF/_o/7z.dll"
# Nothing beside the DLL but the system's own libraries.
if $triple-objdump -p "$dll" | grep -i 'DLL Name:' | grep -Eiq 'libstdc|libgcc|libwinpthread'; then
  echo "build-7zip-dll: 7z.dll needs the compiler's runtime DLLs" >&2; exit 1
fi
cp "$tree/DOC/License.txt" "$out/7z-License.txt"
cp "$tree/DOC/copying.txt" "$out/7z-copying.txt"
cat > "$out/SOURCE.txt" <<EOF
7z.dll is 7-Zip's archive library (the Format7zF bundle) built for Windows x64 with mingw-w64
from Debian's source package 7zip, version $version, which Debian ships without the RAR code.
It is distributed under the GNU LGPL 2.1 or later (7z-License.txt, 7z-copying.txt). Its complete
source, as built (${dsc##*/} and the files it names), is available from the distributor of this
program on request for at least three years from the date of distribution, at no more than the
cost of making the copy, and from Debian's archive as source package 7zip $version.
Built with: make -f makefile.gcc IS_MINGW=1 IS_X64=1 MSYSTEM=1 DISABLE_RAR=1 in CPP/7zip/Bundles/Format7zF.
EOF
# Symbols are of no use to anyone loading it and double its size.
$triple-strip -o "$out/7z.dll.tmp" "$dll" && mv "$out/7z.dll.tmp" "$out/7z.dll"
