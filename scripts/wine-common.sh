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

# The 32-bit loader installed is not enough: a kernel without 32-bit support
# (IA32 emulation) cannot start it.
qvn_wine_has_32bit() {
    [ -x "$QVN_WINE32" ] && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && "$QVN_WINE32" --version >/dev/null 2>&1
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
