#!/usr/bin/env bash
# Installs the Debian packages that building and testing Korvalis need, when they are missing.
#   scripts/install-deps.sh demo   what the demo needs (native build, PNG, the manual page)
#   scripts/install-deps.sh all    everything the tests need (cross compilers, Wine, oracles, and
#                                  the astronomy packages whose FITS files the corpus tests open)
set -euo pipefail

demo_packages=(cmake make g++ pkg-config help2man libpng-dev libspng-dev libgtest-dev libbenchmark-dev libcfitsio-dev
  zlib1g-dev)
test_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  fitsverify python3 python3-astropy clang libclang-rt-14-dev wine wine64 wine32:i386 gzip file zip unzip
  python3-reproject python3-photutils python3-regions libastro-fits-cfitsio-perl python3-astroquery python3-fitsio
  libz-mingw-w64-dev libcfitsio-bin)

wanted=("${demo_packages[@]}")
[ "${1:-all}" = all ] && wanted+=("${test_packages[@]}")

missing=()
for package in "${wanted[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for package in "${missing[@]}"; do
  case "$package" in
    *:i386) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
  esac
done
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
