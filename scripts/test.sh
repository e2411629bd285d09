#!/usr/bin/env bash
# Builds every target and runs every test: the native suite (with the Wine end-to-end tests
# of the Windows builds), the same suite under the sanitizers, and a bounded fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
bash scripts/install-deps.sh all

step() { printf '\n==== %s\n' "$*"; }

step "Windows module and host (32-bit)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$jobs"
bash scripts/check-dll.sh build/win32/bin/korvalis.8bi

step "Windows module and host (64-bit)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$jobs"
bash scripts/check-dll.sh --x64 build/win64/bin/korvalis-x64.8bi build/win32/bin/korvalis.8bi

step "Native build and tests"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

step "Release archive"
bash scripts/release.sh

step "Sanitizers"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"

if [ -f scripts/fuzz.sh ]; then
  step "Fuzzing"
  bash scripts/fuzz.sh 60
fi
step "All tests passed"
