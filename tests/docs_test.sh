#!/usr/bin/env bash
# docs/what-it-does.txt is the one text of what opens and what a save writes: README.md quotes
# it between its markers, and scripts/release.sh puts it into the release's INSTALL.txt. Fails
# when either differs from it.
#
#   tests/docs_test.sh            check
#   tests/docs_test.sh --update   copy docs/what-it-does.txt into README.md's block
set -euo pipefail
cd "$(dirname "$0")/.."

shared=docs/what-it-does.txt
begin="<!-- begin $shared: edit that file, not this block -->"
end="<!-- end $shared -->"

fail() { echo "FAIL: $*" >&2; exit 1; }

[[ $(grep -cxF "$begin" README.md) == 1 && $(grep -cxF "$end" README.md) == 1 ]] ||
    fail "README.md must hold each of these lines once: $begin / $end"

if [[ ${1:-} == --update ]]; then
    awk -v begin="$begin" -v end="$end" -v shared="$shared" '
        $0 == end { inside = 0 }
        !inside { print }
        $0 == begin { inside = 1; while ((getline line < shared) > 0) print line }
    ' README.md >README.md.new
    mv README.md.new README.md
    echo "README.md now quotes $shared"
    exit 0
fi

quoted=$(awk -v begin="$begin" -v end="$end" '$0 == end { inside = 0 } inside { print } $0 == begin { inside = 1 }' README.md)
[[ $quoted == "$(cat "$shared")" ]] ||
    fail "README.md's block differs from $shared (run tests/docs_test.sh --update):
$(diff <(printf '%s\n' "$quoted") "$shared" || true)"

work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
bash scripts/release.sh --install-text "$work/INSTALL.txt"
install=$(tr -d '\r' <"$work/INSTALL.txt")
[[ $install == *"$(cat "$shared")"* ]] || fail "the release's INSTALL.txt does not hold $shared"
! grep -q '@[^@ ]*@' <<<"$install" || fail "the release's INSTALL.txt keeps a placeholder: $(grep '@[^@ ]*@' <<<"$install")"
echo "README.md and the release's INSTALL.txt hold $shared as it is"
