#!/usr/bin/env bash
# sign_verify_test.sh EXAMPLE QVNKSP: the application developer's example, run through the stand-in's ncrypt
# router on a throw-away key store, as the README shows it; openssl judges its signature. Exits 0 when every
# check passed, 1 otherwise, 77 (skipped) without openssl.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 EXAMPLE QVNKSP" >&2; exit 2; }
command -v openssl >/dev/null || { echo "SKIP: no openssl" >&2; exit 77; }
EXAMPLE=$(realpath "$1") Q=$(realpath "$2") failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/sign-verify-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
export QVNPLATFORM_STORE="$work/store"
mkdir -p "$QVNPLATFORM_STORE" && cd "$work" || exit 1
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# example EXIT ARGS...: runs the example into out.txt; it must exit EXIT.
example() {
    local want=$1 got; shift
    "$EXAMPLE" "$@" >out.txt 2>&1; got=$?
    [ "$got" = "$want" ] || fail "sign_verify $* exited $got, not $want"
}
# expect LINE...: out.txt, but for the signature, is exactly these lines.
expect() {
    local line lines=()
    for line in "$@"; do # a call's line: the call, padded, then its status
        case "$line" in NCrypt*) line=$(printf '%-52s %s' "${line% *}" "${line##* }") ;; esac
        lines+=("$line")
    done
    diff <(printf '%s\n' "${lines[@]}") <(grep -v '^signature ' out.txt) >&2 || fail "the output above differs"
}
ALDER='provider Quorvane Alder Cryptographic Provider, container'
OK=0x00000000

"$Q" container create --name report-signing --bits 1024 >/dev/null || fail "container create"
"$Q" export-public --name report-signing --out report-signing.pem >/dev/null || fail "export-public"

# Before the module is registered no provider has that name.
example 1 report-signing
expect "$ALDER report-signing" "NCryptOpenStorageProvider 0x8009001E"
"$Q" register >/dev/null || fail "register"

example 0 report-signing
expect "$ALDER report-signing" "NCryptOpenStorageProvider $OK" "NCryptOpenKey(AT_KEYEXCHANGE) $OK" \
    "NCryptSignHash(size) $OK" "NCryptSignHash(SHA256, NCRYPT_PAD_PKCS1_FLAG) $OK" \
    "NCryptVerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG) $OK" 'the signature verifies' \
    "NCryptFreeObject(key) $OK" "NCryptFreeObject(provider) $OK"
hex=$(sed -n 's/^signature (128 bytes, most significant first): \([0-9a-f]\{256\}\)$/\1/p' out.txt)
[ -n "$hex" ] || fail "no 128-byte signature in the output"
printf '%b' "$(sed 's/../\\x&/g' <<<"$hex")" >report.sig
printf 'The quick brown fox jumps over the lazy dog' >message.txt
openssl dgst -sha256 -verify report-signing.pem -signature report.sig message.txt | grep -qx 'Verified OK' ||
    fail "openssl does not verify the example's signature of the message"

# A key name that no container has: the module's NTE_BAD_KEYSET; the provider is freed all the same.
example 1 no-such-container
expect "$ALDER no-such-container" "NCryptOpenStorageProvider $OK" "NCryptOpenKey(AT_KEYEXCHANGE) 0x80090016" \
    "NCryptFreeObject(provider) $OK"
# Under the provider's own name the module opens no key.
example 1 report-signing 'Quorvane TPM Key Storage Provider'
expect 'provider Quorvane TPM Key Storage Provider, container report-signing' "NCryptOpenStorageProvider $OK" \
    "NCryptOpenKey(AT_KEYEXCHANGE) 0x80090029" "NCryptFreeObject(provider) $OK"
# The other CSPs keep containers of their own.
example 1 report-signing 'Quorvane Cedar Cryptographic Provider'
expect 'provider Quorvane Cedar Cryptographic Provider, container report-signing' \
    "NCryptOpenStorageProvider $OK" "NCryptOpenKey(AT_KEYEXCHANGE) 0x80090016" "NCryptFreeObject(provider) $OK"

echo "sign_verify: $failures failed"
[ "$failures" -eq 0 ]
