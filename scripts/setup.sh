#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the demo need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl libgtk-3-dev zlib1g-dev
  p7zip-full xvfb xauth x11-utils imagemagick xfwm4 dbus-x11 libglib2.0-bin curl nginx pigz zopfli
  libdeflate-dev
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  desktop-file-utils python3-ntlm-auth
  # The Windows build: the cross compiler, GoogleTest's sources, the 7-Zip DLL's source build,
  # Wine to run the tests, Samba's ntlm_auth (Wine's NTLM), libgcrypt (Ed25519) and zlib (the
  # tests' reference decoder) for mingw.
  g++-mingw-w64-x86-64-posix googletest dpkg-dev make wine64 winbind
  libgcrypt-mingw-w64-dev libz-mingw-w64-dev
  # scripts/demo.sh --windows: reads the .lnk the downloader wrote (target, arguments, folder).
  liblnk-utils
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
