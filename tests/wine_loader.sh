# Sourced by the Wine end-to-end scripts: which Wine loader runs a Windows program.
#
# Wine's own launcher takes its 32-bit loader whenever that is installed, even on a kernel that
# cannot run 32-bit programs, where it then fails with "Exec format error". 64-bit programs are
# therefore handed to the 64-bit loader directly, and 32-bit ones run only where the 32-bit
# loader can start at all.

wine64_loader=/usr/lib/wine/wine64

# wine_run EXE ARGS...: runs the Windows program EXE under the loader of its width.
wine_run() {
    if [[ -x $wine64_loader ]] && file -b "$1" | grep -q '^PE32+'; then
        "$wine64_loader" "$@"
    else
        wine "$@"
    fi
}

# True when this machine can run 32-bit Windows programs: the 32-bit loader starts.
wine32_runs() { command -v wine >/dev/null && wine --version >/dev/null 2>&1; }
