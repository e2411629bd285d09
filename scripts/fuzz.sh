#!/usr/bin/env bash
# Builds the libFuzzer target (fuzz preset: clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs it for a bounded time, one process, starting from the seed corpus in fuzz/corpus.
#
#   scripts/fuzz.sh [SECONDS]        default 60
#
# Environment: KORVALIS_FUZZ_BUILD (build folder, default build/fuzz), KORVALIS_FUZZ_ARGS
# (further libFuzzer options, e.g. "-jobs=2 -workers=2").
#
# Inputs that reach new code are kept in the build folder's corpus, not in fuzz/corpus, so
# that a long run does not flood the tree. A crash leaves its input under the build folder's
# artifacts/ and makes this script fail; copy that file into fuzz/corpus under a name that
# says what it is, and the replay tests (ctest -R fuzz_replay) keep it as a regression test.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KORVALIS_FUZZ_BUILD:-$root/build/fuzz}

cmake --preset fuzz -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j"${KORVALIS_JOBS:-2}" --target korvalis_fuzz >/dev/null

mkdir -p "$build/corpus" "$build/artifacts"
# Leak checking stays on; the module's session block is freed by the target itself at the
# end of every input, so no suppression is needed here.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
# shellcheck disable=SC2086
"$build/bin/korvalis_fuzz" \
    -max_total_time="$seconds" -max_len=40000 -timeout=20 -rss_limit_mb=2048 \
    -dict="$root/fuzz/fits.dict" -artifact_prefix="$build/artifacts/" -print_final_stats=1 \
    ${KORVALIS_FUZZ_ARGS:-} \
    "$build/corpus" "$root/fuzz/corpus"
