# shellcheck shell=bash
# The Wine harness' library, sourced as `. scripts/wine-common.sh WIN64_BUILD`
# by every script that runs Wine: a quiet, display-less Wine environment for
# the prefix of that win64 build (QVN_WINE_BUILD, made absolute: Wine takes
# only an absolute WINEPREFIX), the prefix with the test CSP, running a
# program, one server per stage, and the helpers the stages share.
QVN_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QVN_WINE_BUILD=$(cd "$1" && pwd)
QVN_WINE_ROOT=$QVN_WINE_BUILD/wine
export WINEPREFIX=$QVN_WINE_ROOT/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono/Gecko download prompts, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# The loaders. Debian's "wine" wrapper picks the 32-bit loader when wine32 is
# installed, so call each by its own name.
QVN_WINE64=/usr/lib/wine/wine64 QVN_WINE32=/usr/lib/wine/wine QVN_WINESERVER=wineserver

# Whether this machine runs 32-bit Wine programs at all: wine32 installed, and
# a kernel that executes i386 programs (some are built without IA-32
# emulation: "Exec format error", printed by qvn_wine32_error).
qvn_wine32_runs() { "$QVN_WINE32" --version >/dev/null 2>&1; }
qvn_wine32_error() { "$QVN_WINE32" --version 2>&1 | sed 's/.*: //' | head -1 || true; }
qvn_wine_has_32bit() { qvn_wine32_runs && [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; }
# Says that WHAT did not run for want of 32-bit Wine (qvn_not_run).
qvn_wine32_not_run() { qvn_not_run "$1" "this Wine runs no 32-bit programs ($(qvn_wine32_error))"; }

# PE machine of an .exe or .dll: prints i386, x86-64 or unknown.
qvn_pe_machine() {
    local offset
    offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ')
    case "$(od -An -t x2 -j $((${offset:-0} + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')" in
    014c) echo i386 ;;
    8664) echo x86-64 ;;
    *) echo unknown ;;
    esac
}

# A Linux path as Wine's Z: drive names it, for arguments of Windows programs;
# and as a Linux program takes it (the same recording code serves both).
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
unixpath() { realpath -m "$1"; }

# The entries of a list file: `#` starts a comment, blank lines are skipped.
qvn_list() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$1"; }

# A .reg file's keys under HKLM\Software moved to the 32-bit view of the
# registry (Wow6432Node), where a 64-bit prefix keeps what 32-bit programs see.
qvn_wow6432() { sed 's/^\[HKEY_LOCAL_MACHINE\\Software\\/[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\/' "$@"; }

# Says that a stage did not run, and why; `make test` lists these at its end.
qvn_not_run() {
    echo "NOT RUN: $1: $2"
    if [ -n "${QVN_NOT_RUN:-}" ]; then echo "$1: $2" >>"$QVN_NOT_RUN"; fi
}

# The test CSP's exports: CryptoAPI's provider interface and the test controls.
QVN_CSP_EXPORTS=(CPAcquireContext CPCreateHash CPDecrypt CPDeriveKey CPDestroyHash CPDestroyKey CPDuplicateHash
    CPDuplicateKey CPEncrypt CPExportKey CPGenKey CPGenRandom CPGetHashParam CPGetKeyParam CPGetProvParam
    CPGetUserKey CPHashData CPHashSessionKey CPImportKey CPReleaseContext CPSetHashParam CPSetKeyParam
    CPSetProvParam CPSignHash CPVerifySignature QvnWineCspFailCall QvnWineCspOpenHandles QvnWineCspTakeCalls)

# qvn_wine_prefix [BUILD_WIN32]: creates, or brings up to date, the prefix,
# with the test CSP (QVN_WINE_BUILD's bin/QvnWineCsp.dll) registered under the
# four Quorvane names in its 64-bit half and, when this Wine runs 32-bit
# programs, BUILD_WIN32's i686 CSP in its 32-bit half. Each CSP passes
# scripts/pe-check first (machine, hardening, exactly those exports; its lines
# go to stderr), also where it cannot run. Does nothing more while the DLLs
# and the registration are unchanged; waits for its own server to end.
qvn_wine_prefix() {
    local csp64=$QVN_WINE_BUILD/bin/QvnWineCsp.dll csp32="" reg=$QVN_REPO/platform/wine/QvnWineCsp.reg
    local have32=no ready=$WINEPREFIX/.qvn-initialised stamp
    [ -n "${1:-}" ] && csp32=$1/bin/QvnWineCsp.dll
    [ -f "$reg" ] || { echo "wine-prefix: missing $reg" >&2; return 1; }
    "$QVN_REPO/scripts/pe-check" "$csp64" x86-64 "${QVN_CSP_EXPORTS[@]}" >&2 || return 1
    [ -z "$csp32" ] || "$QVN_REPO/scripts/pe-check" "$csp32" i386 "${QVN_CSP_EXPORTS[@]}" >&2 || return 1
    qvn_wine32_runs && have32=yes
    stamp=$( (sha256sum "$csp64" ${csp32:+"$csp32"} "$reg" "${BASH_SOURCE[0]}" | cut -d' ' -f1
        echo "wine32=$have32") | sha256sum | cut -d' ' -f1)
    mkdir -p "$QVN_WINE_ROOT"
    (
        flock 9
        # A prefix made before 32-bit Wine ran has no 32-bit half: made again.
        [ $have32 = yes ] && [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] && rm -f "$ready"
        [ -f "$ready" ] && [ "$(cat "$QVN_WINE_ROOT/prefix.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
        start=$SECONDS
        if [ ! -f "$ready" ]; then
            # A prefix that never finished initialising is not worth repairing.
            rm -rf "$WINEPREFIX" "$QVN_WINE_ROOT/prefix.stamp"
            mkdir -p "$WINEPREFIX"
            if ! timeout -k 10 "${QVN_WINEBOOT_TIMEOUT:-300}" "$QVN_WINE64" wineboot -i >"$QVN_WINE_ROOT/wineboot.log" 2>&1; then
                echo "wine-prefix: wineboot failed or timed out; see $QVN_WINE_ROOT/wineboot.log" >&2
                timeout 10 "$QVN_WINESERVER" -k >/dev/null 2>&1
                exit 1
            fi
            timeout 60 "$QVN_WINESERVER" -w
            touch "$ready"
        fi
        cp "$csp64" "$WINEPREFIX/drive_c/windows/system32/QvnWineCsp.dll"
        cp "$reg" "$WINEPREFIX/drive_c/qvn-providers.reg"
        if [ -n "$csp32" ] && qvn_wine_has_32bit; then
            cp "$csp32" "$WINEPREFIX/drive_c/windows/syswow64/QvnWineCsp.dll"
            # %SystemRoot%\system32 reads as syswow64 for a 32-bit process.
            qvn_wow6432 "$reg" | sed 1d >>"$WINEPREFIX/drive_c/qvn-providers.reg"
        fi
        timeout 120 "$QVN_WINE64" regedit /S 'C:\qvn-providers.reg' >"$QVN_WINE_ROOT/regedit.log" 2>&1 ||
            { echo "wine-prefix: registering the providers failed; see $QVN_WINE_ROOT/regedit.log" >&2; exit 1; }
        # The registry on disk before the prefix counts as ready.
        timeout 60 "$QVN_WINESERVER" -w
        echo "$stamp" >"$QVN_WINE_ROOT/prefix.stamp"
        echo "wine-prefix: $WINEPREFIX ready in $((SECONDS - start)) s" >&2
    ) 9>"$QVN_WINE_ROOT/.lock"
}

# qvn_wine_run PROGRAM [ARGS...]: an x86-64 program under wine64, an i386 one
# under the 32-bit loader, bounded by QVN_WINE_TIMEOUT (seconds, default 600;
# a run that hits it gives 124); returns the program's exit code.
qvn_wine_run() {
    local loader=$QVN_WINE64
    [ -f "$WINEPREFIX/.qvn-initialised" ] || { echo "wine-run: no prefix in $QVN_WINE_ROOT (scripts/wine-prefix)" >&2; return 2; }
    [ -f "$1" ] || { echo "wine-run: no such program: $1" >&2; return 2; }
    case "$(qvn_pe_machine "$1")" in
    x86-64) ;;
    i386)
        qvn_wine_has_32bit || { echo "wine-run: $1 is a 32-bit program and this Wine runs none" >&2; return 2; }
        loader=$QVN_WINE32 ;;
    *) echo "wine-run: $1 is not a Windows x86 or x86-64 program" >&2; return 2 ;;
    esac
    timeout -k 10 "${QVN_WINE_TIMEOUT:-600}" "$loader" "$@"
}

# qvn_wine_demo TOOL DLL: the product's main job, `qvnksp.exe demo` with that
# module; prints its last line ("qvnksp demo: OK ..."), or, when it fails or
# does not end OK, its whole output to stderr and returns 1.
qvn_wine_demo() {
    local out
    if ! out=$(qvn_wine_run "$1" demo --module "$(winpath "$2")" | tr -d '\r') || ! grep -q '^qvnksp demo: OK' <<<"$out"; then
        echo "$out" >&2
        return 1
    fi
    tail -1 <<<"$out"
}

# One server for a whole stage of several programs: Debian's wineserver quits
# with its last program, so whether the next one joins that session or meets
# a server on its way out ("recvmsg: Connection reset by peer") would be a
# matter of timing. Started once the prefix is ready; ended, and waited for,
# when the shell that started it exits.
qvn_wine_session() {
    timeout 60 "$QVN_WINESERVER" -w
    "$QVN_WINESERVER" -p
    trap '"$QVN_WINESERVER" -k 2>/dev/null; timeout 60 "$QVN_WINESERVER" -w' EXIT
}
