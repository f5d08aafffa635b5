# shellcheck shell=bash
# Shared by scripts/wine-prefix and scripts/wine-run (sourced, not run).
# Sets up a quiet, display-less Wine environment for the prefix of a build
# directory: QVN_WINE_BUILD must be set before sourcing.

QVN_WINE_ROOT="$QVN_WINE_BUILD/wine"
export WINEPREFIX="$QVN_WINE_ROOT/prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono/Gecko download prompts, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# The loaders. Debian's "wine" wrapper picks the 32-bit loader when wine32 is
# installed, so call the 64-bit one by its own name.
QVN_WINE64=$(command -v wine64 || true)
[ -n "$QVN_WINE64" ] || QVN_WINE64=/usr/lib/wine/wine64
QVN_WINE32=/usr/lib/wine/wine
QVN_WINESERVER=$(command -v wineserver || true)
[ -n "$QVN_WINESERVER" ] || QVN_WINESERVER=/usr/lib/wine/wineserver

# Whether this machine runs 32-bit Wine programs at all: the wine32 package
# installed, and a kernel that executes i386 programs (some build theirs
# without IA-32 emulation: "Exec format error").
qvn_wine32_runs() { "$QVN_WINE32" --version >/dev/null 2>&1; }
qvn_wine_has_32bit() {
    qvn_wine32_runs && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]
}

# PE machine of an .exe or .dll: prints i386, x86-64 or unknown.
qvn_pe_machine() {
    local offset machine
    offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    [ -n "$offset" ] || { echo unknown; return; }
    machine=$(od -An -t x2 -j $((offset + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')
    case "$machine" in
    014c) echo i386 ;;
    8664) echo x86-64 ;;
    *) echo unknown ;;
    esac
}

# A Linux path as Wine's Z: drive names it, for arguments of Windows programs.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }

# One server for a whole stage of several programs: Debian's wineserver quits
# with its last program, so whether the next one joins that session or meets
# a server on its way out ("recvmsg: Connection reset by peer") would be a
# matter of timing. Started after the prefix is ready (scripts/wine-prefix
# waits for its own server to end); ended, and waited for, when the shell
# that started it exits. A stage inside another's session joins it.
qvn_wine_session() {
    [ "${QVN_WINE_SESSION:-}" = "$WINEPREFIX" ] && return 0
    timeout 60 "$QVN_WINESERVER" -w
    "$QVN_WINESERVER" -p
    export QVN_WINE_SESSION=$WINEPREFIX
    trap 'qvn_wine_session_end' EXIT
}
qvn_wine_session_end() {
    "$QVN_WINESERVER" -k 2>/dev/null || true
    timeout 60 "$QVN_WINESERVER" -w || true
}

# Says that a stage did not run, and why; `make test` lists these at its end.
qvn_not_run() {
    echo "NOT RUN: $1: $2"
    if [ -n "${QVN_NOT_RUN:-}" ]; then echo "$1: $2" >>"$QVN_NOT_RUN"; fi
}
