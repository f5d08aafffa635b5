#!/usr/bin/env bash
# qvnksp_test.sh QVNKSP SESSION: a session a person runs with qvnksp, on a throw-away key store, judged
# by openssl and python3. Exits 0 when every check passed, 1 otherwise, 77 (skipped) without a judge.
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 QVNKSP SESSION" >&2; exit 2; }
Q=$(cd "$(dirname "$1")" && pwd)/$(basename "$1") SESSION=$2 failures=0
for judge in openssl python3; do command -v "$judge" >/dev/null || { echo "SKIP: no $judge" >&2; exit 77; }; done
work=$(mktemp -d "${TMPDIR:-/tmp}/qvnksp-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
export QVNPLATFORM_STORE="$work/store"
mkdir -p "$QVNPLATFORM_STORE" && cd "$work" || exit 1
fail() { echo "FAIL [$SESSION]: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" || fail "$what"; }
# run EXIT ARGS...: qvnksp ARGS, stdout to out.txt and stderr to err.txt, must exit EXIT.
run() {
    local want=$1 got; shift
    "$Q" "$@" >out.txt 2>err.txt; got=$?
    [ "$got" = "$want" ] || { fail "qvnksp $* exited $got, not $want"; sed 's/^/    | /' out.txt err.txt >&2; }
}
has() { grep -qF -- "$1" "${2:-out.txt}" || fail "\"$1\" not in ${2:-out.txt}"; }
# step CALL STATUS: out.txt has the line of CALL with that outcome.
step() {
    awk -v c="  $1 " -v s="$2" 'index($0, c) == 1 { r = substr($0, length(c) + 1); sub(/^\.* */, "", r); f = f || index(r, s) == 1 }
        END { exit !f }' out.txt || fail "no step \"$1 ... $2\""
}
# py CODE: asserts on `doc`, the JSON object in out.txt.
py() { python3 -c 'import json,sys,hashlib; doc=json.load(open("out.txt")); exec(sys.argv[1])' "$1" || fail "JSON: $1"; }
NAMES='["provider name \"Quorvane %s\"" % n for n in ["TPM Key Storage Provider"] + [c + " Cryptographic Provider" for c in ("Alder", "Birch", "Cedar", "Dogwood")]]'
ossl_verifies() { openssl dgst "-$1" -verify "$2" -signature "$3" "$4" | grep -qx 'Verified OK'; }
OK='0x00000000 ERROR_SUCCESS' ALDER='Quorvane Alder Cryptographic Provider'

session_demo() {
    run 0 demo
    step 'VerifySignature(one bit of the signature flipped)' '0x80090006 NTE_BAD_SIGNATURE'
    step "OpenSSL verifies the signature with K's public key" 'valid'
    step "Decrypt(OpenSSL's ciphertext, NCRYPT_PAD_PKCS1_FLAG)" "$OK"
    step 'Decrypted text equals the secret' 'equal'
    check 'every step as it should' [ "$(tail -n 1 out.txt)" = "qvnksp demo: OK (37 of 37 steps gave what they should)" ]
    check 'the demo leaves the default key store alone' [ -z "$(ls -A "$QVNPLATFORM_STORE")" ]
    # The signature is PKCS #1 v1.5 by RSA arithmetic over the exported modulus.
    run 0 demo --json
    py 'r = doc["results"]; n = int(r["modulus"], 16); m = r["message"].encode()
assert doc["ok"] and (r["key_bits"], r["exponent"], r["impl_type"], r["version"], r["max_name_length"], r["algorithms"]) == (2048, 65537, 0, 0x10000, 260, [])
di = bytes.fromhex("3031300d060960864801650304020105000420") + hashlib.sha256(m).digest()
assert pow(int(r["signature"], 16), 65537, n).to_bytes(256, "big") == b"\0\1" + b"\xff" * (253 - len(di)) + b"\0" + di'
    # The tool, the platform library and the module moved together to another folder still run.
    check 'the tool finds its libraries beside itself' [ "$(readelf -d "$Q" | grep -c 'RUNPATH.*\[\$ORIGIN\]$')" = 1 ]
    mkdir moved && cp "$Q" "$(dirname "$Q")"/{libqvnplatform.so,QvnTpmKsp.so} moved/
    Q=$work/moved/qvnksp run 0 providers
    run 1 --module "$work/missing/QvnTpmKsp.so" demo
    step 'LoadLibraryW("QvnTpmKsp.so")' '0x0000007e ERROR_MOD_NOT_FOUND'
    step 'CryptAcquireContextW("qvnksp-demo", CRYPT_DELETEKEYSET)' "$OK"
}

session_keys() {
    printf 'The quick brown fox jumps over the lazy dog.\n' >data.txt
    run 0 container create --name k1
    check 'key generation writes nothing on a standard error that is no terminal' [ ! -s err.txt ]
    if command -v script >/dev/null; then # on a terminal it shows its elapsed time
        script -qec "'$Q' container create --name on-tty --bits 1024" /dev/null >tty.txt
        has 'generating a 1024-bit RSA key: 0 s' tty.txt
    fi
    run 0 export-public --name k1 --out pub.pem
    has "      SHA-256 of SPKI   $(openssl pkey -pubin -in pub.pem -outform DER | openssl dgst -sha256 -r | cut -d' ' -f1)"
    local hash
    for hash in sha1 sha256 sha384 sha512 md5; do
        run 0 sign --name k1 --hash "$hash" --in data.txt --out "sig.$hash"
        check "openssl verifies the $hash signature" ossl_verifies "$hash" pub.pem "sig.$hash" data.txt
        run 0 verify --name k1 --hash "$hash" --in data.txt --sig "sig.$hash"
    done
    printf 'other\n' >other.txt
    run 1 verify --name k1 --in other.txt --sig sig.sha256
    step 'VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)' '0x80090006 NTE_BAD_SIGNATURE'
    # A bare digest (no algorithm named) and the same digest named SHA256.
    openssl dgst -sha256 -binary data.txt >digest.bin
    run 0 sign --name k1 --hash none --digest "$(od -An -tx1 digest.bin)" --out sig.none
    check 'openssl verifies the bare-digest signature' \
        bash -c 'openssl pkeyutl -verify -pubin -inkey pub.pem -in digest.bin -sigfile sig.none | grep -q Successfully'
    run 0 sign --name k1 --digest "$(od -An -tx1 digest.bin)" --out sig.hex
    check 'signing the digest equals signing the file' cmp -s sig.hex sig.sha256
    # openssl encrypts, the module decrypts; the module encrypts and decrypts.
    printf 'attack at dawn' >plain.txt
    openssl pkeyutl -encrypt -pubin -inkey pub.pem -in plain.txt -out cipher.bin
    run 0 decrypt --name k1 --in cipher.bin --out plain2.txt
    check 'the module decrypts what openssl encrypted' cmp -s plain.txt plain2.txt
    run 0 encrypt --name k1 --in plain.txt --out cipher2.bin
    run 0 decrypt --name k1 --in cipher2.bin --out plain3.txt
    check 'the module decrypts its own 256-byte ciphertext' cmp -s plain.txt plain3.txt
    # A signature key beside the exchange key: it signs, it does not encrypt.
    run 0 container create --name k1 --add --spec signature --bits 1024
    step 'CryptGetUserKey(AT_SIGNATURE)' '0x8009000d NTE_NO_KEY'
    run 0 export-public --name k1 --spec signature --out sigkey.pem
    run 0 sign --name k1 --spec signature --in data.txt --out sig.sigkey
    check 'openssl verifies the signature key' ossl_verifies sha256 sigkey.pem sig.sigkey data.txt
    run 1 encrypt --name k1 --spec signature --in plain.txt --out never.bin
    step "Encrypt(size query: the key's length)" '0x80090010 NTE_PERM'
    local csp
    for csp in birch cedar dogwood; do
        run 0 container create --csp "$csp" --name "c-$csp" --machine
        run 0 export-public --csp "$csp" --name "c-$csp" --out "$csp.pem" --machine
        run 0 sign --csp "$csp" --name "c-$csp" --in data.txt --out "sig.$csp" --machine
        check "openssl verifies the $csp signature" ossl_verifies sha256 "$csp.pem" "sig.$csp" data.txt
    done
}

session_refusals() {
    printf 'data' >data.txt
    local entry want text args words
    for entry in '2|which command?|' '2|unknown command "frobnicate"|frobnicate' \
        '2|missing --name|sign --in data.txt --out s' '2|--bits must be between 1 and 65535|container create --name k --bits 0' \
        '2|--hash must be SHA1, SHA256, SHA384, SHA512, MD5, MD4, MD2 or none, not "SHA-256"|sign --name k --hash SHA-256 --in data.txt --out s' \
        '2|unknown option --bogus|doctor --bogus' '2|which status value?|error' '2|option --out given twice|sign --name k --in data.txt --out a --out b' \
        '2|"Quorvane TPM Key Storage Provider" is the key storage provider itself: keys open only under the four CSP names|sign --csp ksp --name k --in data.txt --out s' \
        '2|--csp must be Alder, Birch, Cedar or Dogwood|container list --csp Elm'; do
        IFS='|' read -r want text args <<<"$entry"
        read -ra words <<<"$args" && run "$want" "${words[@]}"
        has "$text" err.txt
        check "qvnksp $args writes nothing on stdout" [ ! -s out.txt ]
    done
    run 0 container create --name k1 --bits 1024
    run 0 sign --name k1 --in data.txt --out sig.bin
    head -c 127 sig.bin >short.sig
    run 1 verify --name k1 --in data.txt --sig short.sig
    step 'VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)' '0x80090027 NTE_INVALID_PARAMETER'
    run 1 sign --name k1 --spec signature --in data.txt --out never.sig # the container holds no signature key
    step 'OpenKey("k1", AT_SIGNATURE)' '0x80090016 NTE_BAD_KEYSET'
    has 'hint              container "k1" holds no signature key (AT_SIGNATURE): use --spec exchange, or add one with `qvnksp container create --csp Alder --name "k1" --add --spec signature`'
    run 1 sign --name k2 --in data.txt --out never.sig
    has '"Quorvane Alder Cryptographic Provider" has no container "k2" in the user'"'"'s key set (add --machine'
    # Sizes the provider would refuse are named before it sees them; --out is tried before signing.
    : >empty.txt && head -c 100 /dev/zero >short.bin && truncate -s 300M huge.bin
    local cmd file
    for entry in 'encrypt|empty.txt|the plaintext in empty.txt is empty: the provider encrypts 1 to (key length - 11) bytes' \
        'decrypt|short.bin|the ciphertext is 100 bytes; the key is 1024 bits: its ciphertexts are 128 bytes' \
        'decrypt|huge.bin|huge.bin holds more than 8192 bytes' 'encrypt|huge.bin|huge.bin holds more than 8192 bytes'; do
        IFS='|' read -r cmd file text <<<"$entry"
        run 1 "$cmd" --name k1 --in "$file" --out never.bin
        has "$text" err.txt
        check "$cmd of $file: the provider is given none of it" bash -c '! grep -qE "(En|De)crypt\((size query\)|[0-9]+ bytes)" out.txt'
    done
    run 1 sign --name k1 --in data.txt --out "$work/none/x.sig"
    has "cannot create $work/none/x.sig: No such file or directory" err.txt
    check 'nothing is signed for an output that cannot be written' bash -c '! grep -q "LoadLibraryW" out.txt'
    run 0 encrypt --name k1 --in data.txt --out cipher.bin
    python3 -c 'd = bytearray(open("cipher.bin", "rb").read()); d[-1] ^= 1; open("bad.bin", "wb").write(d)'
    run 1 decrypt --name k1 --in bad.bin --out never.txt
    step 'Decrypt(128 bytes, NCRYPT_PAD_PKCS1_FLAG)' '0x8009002c NTE_DECRYPTION_FAILURE'
    check 'no failed command wrote a file' bash -c '! ls never.* 2>/dev/null'
    # A CSP's full name in any letter case is that CSP.
    run 0 sign --csp "quorvane ALDER cryptographic provider" --name k1 --in data.txt --out sig2.bin
    step 'GetKeyStorageInterface("Quorvane Alder Cryptographic Provider")' '0x00000000 STATUS_SUCCESS'
    run 0 error 0x80090016 2148073494 nte_bad_keyset 5
    check 'status names and what they mean' [ "$(cat out.txt)" = "$(printf '%s\n' '0x80090016  -2146893802  NTE_BAD_KEYSET' \
        '    Keyset does not exist.' '0x80090016  -2146893802  NTE_BAD_KEYSET' '    Keyset does not exist.' \
        '0x80090016  -2146893802  NTE_BAD_KEYSET' '    Keyset does not exist.' '0x00000005  5  ERROR_ACCESS_DENIED' '    Access is denied.')" ]
    run 1 --json error 0x80090016 0x12345678 NTE_NOPE # an unknown number or name: exit 1, as the help says
    py 'assert [(c["value"], c["names"], c["descriptions"]) for c in doc["codes"]] == [("0x80090016", ["NTE_BAD_KEYSET"], ["Keyset does not exist."]), ("0x12345678", [], []), (None, [], [])] and not doc["ok"]'
    run 0 error --help
    has 'Exit status: 0 when every CODE is known, 1 when one is not'
    # With --json standard output is one JSON object, usage errors and help included.
    local args
    for args in 'frobnicate' 'sign --name k1 --in data.txt --out -' 'export-public --name k1 --out -' 'container list --csp ksp'; do
        read -ra words <<<"$args" && run 2 --json "${words[@]}"
        py 'assert doc["ok"] is False and doc["usage_error"]'
        check "qvnksp --json $args writes nothing on stderr" [ ! -s err.txt ]
    done
    has '"usage_error": "--csp names the CSP whose container holds the key'
    run 0 --json sign --help
    py 'assert doc["help"].startswith("usage: qvnksp sign ")'
    run 0 container list --help
    check 'container list takes no --name' bash -c '! grep -q -- --name out.txt'
}

session_containers() {
    run 1 container create --name b --bits 1 # the CSP refuses the key: the container goes again
    step 'CryptGenKey(AT_KEYEXCHANGE, 1 bits, CRYPT_EXPORTABLE)' '0x80090009 NTE_BAD_FLAGS'
    step 'CryptAcquireContextW("b", CRYPT_DELETEKEYSET)' "$OK"
    run 0 container list --json
    py 'assert doc["ok"] and doc["results"]["containers"] == []'
    local name
    for name in b a 'q"uo ✓ 日本 𝄞'; do run 0 container create --name "$name" --bits 1024; done
    run 0 container create --name m --machine --bits 1024
    run 0 container create --csp cedar --name c --bits 1024
    run 0 container list
    step 'CryptGetProvParam(PP_ENUMCONTAINERS, size query)' "$OK"
    step 'CryptGetProvParam(PP_ENUMCONTAINERS)' '0x00000103 ERROR_NO_MORE_ITEMS'
    has '      container         q"uo ✓ 日本 𝄞'
    run 0 container list --json
    py 'assert doc["results"]["containers"] == ["a", "b", "q\"uo ✓ 日本 𝄞"], doc'
    run 0 container list --machine --json
    py 'assert doc["results"]["containers"] == ["m"], doc'
    run 0 container list --csp cedar --json
    py 'assert doc["results"]["containers"] == ["c"], doc'
    run 0 container delete --name b
    run 0 container list --json
    py 'assert doc["results"]["containers"] == ["a", "q\"uo ✓ 日本 𝄞"], doc'
}

# doctor_names EXIT FAILED SKIPPED [ARGS]: doctor --json exits EXIT, and the
# checks that failed and were skipped are exactly those (Python lists).
doctor_names() {
    local want=$1 failed=$2 skipped=$3; shift 3
    run "$want" doctor --json "$@"
    py "of = lambda r: [f['check'] for f in doc['findings'] if f['result'] == r]
assert (of('fail'), of('skip')) == ($failed, $skipped), (of('fail'), of('skip'))
assert doc['ok'] == ($want == 0) and all(f['fix'] for f in doc['findings'] if f['result'] == 'fail')"
}

session_doctor() {
    doctor_names 1 '["provider registration"]' '[]'
    has 'is not registered (BCryptQueryProviderRegistration: 0xc0000225 STATUS_NOT_FOUND)'
    run 0 unregister
    step 'DllUnregisterServer()' '0x00000001 S_FALSE'
    run 0 register
    run 0 container create --csp birch --name k --bits 1024
    run 0 doctor --name k --csp birch
    check 'a good installation passes 13 checks' [ "$(grep -c '^pass  ' out.txt)" = 13 ]
    has 'pass  provider registration: "Quorvane TPM Key Storage Provider": image QvnTpmKsp.dll, key storage interface with KEY_STORAGE, the four CSP names as aliases'
    has 'pass  key "k" of "Quorvane Birch Cryptographic Provider": OpenKey, SignHash (SHA256, PKCS #1: 128 bytes) and VerifySignature succeed, a damaged signature is refused'
    check 'the verdict is the last line' [ "$(tail -n 1 out.txt)" = 'qvnksp doctor: OK' ]
    doctor_names 1 '["key \"nope\" of \"Quorvane Alder Cryptographic Provider\""]' '[]' --name nope
    # Break one link at a time: the CSP registry says which CSPs exist.
    printf '1 %s\n24 %s\n24 %s\n1 %s\n' "$ALDER" 'Quorvane Birch Cryptographic Provider' \
        'Quorvane Cedar Cryptographic Provider' 'Quorvane Dogwood Cryptographic Provider' >"$QVNPLATFORM_STORE/csp-providers"
    doctor_names 1 '["CSP \"Quorvane Birch Cryptographic Provider\""]' "['provider name \"Quorvane Birch Cryptographic Provider\"', 'key \"k\" of \"Quorvane Birch Cryptographic Provider\"']" --name k --csp birch
    has 'registered with type 24 (PROV_RSA_AES), the module asks for PROV_RSA_SCHANNEL'
    grep -v Dogwood "$QVNPLATFORM_STORE/csp-providers" >registry && mv registry "$QVNPLATFORM_STORE/csp-providers"
    sed -i 's/^24 \(.*Birch\)/12 \1/' "$QVNPLATFORM_STORE/csp-providers"
    doctor_names 1 '["CSP \"Quorvane Dogwood Cryptographic Provider\""]' '["provider name \"Quorvane Dogwood Cryptographic Provider\""]'
    run 1 container create --csp dogwood --name x # CryptoAPI finds no CSP that is not registered
    step 'CryptAcquireContextW("x", CRYPT_NEWKEYSET)' '0x80090019 NTE_KEYSET_NOT_DEF'
    rm "$QVNPLATFORM_STORE/csp-providers"
    doctor_names 1 '["module file"]' "$NAMES" --module "$work/gone/QvnTpmKsp.so"
    run 0 unregister
    step 'DllUnregisterServer()' '0x00000000 S_OK'
    doctor_names 1 '["provider registration"]' '[]'
}

case "$SESSION" in
demo | keys | refusals | containers | doctor) "session_$SESSION" ;;
*) echo "unknown session $SESSION" >&2; exit 2 ;;
esac
echo "$SESSION: $failures failed"
[ "$failures" -eq 0 ]
