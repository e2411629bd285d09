#!/usr/bin/env bash
# cmake --install into a temporary prefix, then the installed program as a user runs it: the
# demo, started from another folder, must find the installed module and leave its files, and
# the installed manual page must document every command that --help lists.
#
#   install_test.sh CMAKE BUILD_DIR
set -euo pipefail

cmake=${1:?usage: install_test.sh CMAKE BUILD_DIR} build=${2:?usage: install_test.sh CMAKE BUILD_DIR}
prefix=$(mktemp -d) work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$work/install.log")"
for file in bin/korvalis-host bin/korvalis.so share/man/man1/korvalis-host.1 share/doc/korvalis/LICENSE; do
    [[ -f $prefix/$file ]] || fail "$file is not installed: $(cat "$work/install.log")"
done
host=$prefix/bin/korvalis-host

# From a folder of its own, so that nothing is found through the working directory.
mkdir "$work/cwd"
(cd "$work/cwd" && "$host" --quiet demo >demo.log 2>&1) || fail "the installed demo failed: $(cat "$work/cwd/demo.log")"
for file in starfield.fts starfield-preview.png starfield-roundtrip.fts; do
    [[ -s $work/cwd/korvalis-demo/$file ]] || fail "the demo left no korvalis-demo/$file"
done

# The commands --help lists, each of which must be a term of the page's command list.
commands=$("$host" --help | awk '/^Commands:$/ { on = 1; next } /^$/ { on = 0 } on && /^  [a-z]/ { print $1 }')
[[ $commands == *demo* ]] || fail "no command list in --help: $("$host" --help)"
page=$prefix/share/man/man1/korvalis-host.1
if command -v man >/dev/null; then
    MANWIDTH=100 man -l "$page" >"$work/page.txt" 2>"$work/man.err" || fail "man -l $page failed: $(cat "$work/man.err")"
    term='^ {7}%s( |$)' # a term of a tagged paragraph, at the section's indent
    grep -q "^NAME" "$work/page.txt" || fail "the page shows no NAME section: $(cat "$work/page.txt")"
else
    awk 'previous == ".TP" { print } { previous = $0 }' "$page" >"$work/page.txt" # the terms
    term='^%s( |$)'
fi
for command in $commands; do
    # shellcheck disable=SC2059
    grep -qE "$(printf "$term" "$command")" "$work/page.txt" || fail "the manual page does not document $command"
done
echo "installed in $prefix; demo ran from another folder; the manual page documents: $(echo $commands)"
