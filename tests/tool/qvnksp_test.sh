#!/usr/bin/env bash
# Runs qvnksp as a user would, on a throw-away key store, and judges what it
# printed and wrote with openssl and python3.
#
#   qvnksp_test.sh QVNKSP GROUP     GROUP: demo | keys | usage | json | registration
#
# Exits 0 when every check of the group passed, 1 otherwise, 77 (skipped) when
# a judge is missing.
set -uo pipefail

[ $# -eq 2 ] || { echo "usage: $0 QVNKSP GROUP" >&2; exit 2; }
QVNKSP=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
GROUP=$2

for tool in openssl python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed" >&2; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qvnksp-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
export QVNPLATFORM_STORE="$work/store"
mkdir -p "$QVNPLATFORM_STORE"
cd "$work" || exit 1

checks=0
failures=0

fail() {
    echo "FAIL [$GROUP]: $*" >&2
    failures=$((failures + 1))
}

check() { # check DESCRIPTION COMMAND...: the command must succeed
    local what=$1
    shift
    checks=$((checks + 1))
    "$@" || fail "$what"
}

# run EXIT ARGS...: runs qvnksp with ARGS; stdout goes to out.txt, stderr to
# err.txt; the exit code must be EXIT.
run() {
    local want=$1
    shift
    checks=$((checks + 1))
    "$QVNKSP" "$@" >out.txt 2>err.txt
    local got=$?
    if [ "$got" != "$want" ]; then
        fail "qvnksp $* exited $got, expected $want"
        sed 's/^/    | /' out.txt err.txt >&2
    fi
}

# step CALL STATUS [FILE]: FILE (out.txt) has the step line of CALL, whose
# outcome starts with STATUS ("0x00000000 ERROR_SUCCESS").
step() {
    local file=${3:-out.txt}
    checks=$((checks + 1))
    if ! awk -v call="  $1 " -v status="$2" '
        index($0, call) == 1 {
            rest = substr($0, length(call) + 1)
            sub(/^\.* */, "", rest)
            if (index(rest, status) == 1) found = 1
        }
        END { exit !found }' "$file"; then
        fail "no step line \"$1 ... $2\" in $file"
        sed 's/^/    | /' "$file" >&2
    fi
}

# has FIXED-TEXT [FILE]
has() {
    checks=$((checks + 1))
    grep -qF -- "$1" "${2:-out.txt}" || fail "\"$1\" not in ${2:-out.txt}"
}

# matches EXTENDED-REGEX [FILE]: some line matches
matches() {
    checks=$((checks + 1))
    grep -qE -- "$1" "${2:-out.txt}" || fail "no line matching /$1/ in ${2:-out.txt}"
}

# lacks FIXED-TEXT [FILE]
lacks() {
    checks=$((checks + 1))
    ! grep -qF -- "$1" "${2:-out.txt}" || fail "\"$1\" unexpectedly in ${2:-out.txt}"
}

# json FILE PYTHON-CODE: the file is one JSON object `doc`; the code asserts on it.
json() {
    checks=$((checks + 1))
    python3 - "$1" "$2" <<'PY' || fail "JSON check failed on $1: $2"
import json, sys
with open(sys.argv[1], encoding="utf-8") as f:
    doc = json.load(f)
def step(call):
    found = [s for s in doc["steps"] if s.get("call") == call]
    assert len(found) == 1, "%d steps called %r" % (len(found), call)
    return found[0]
exec(sys.argv[2])
PY
}

store_is_empty() { [ -z "$(ls -A "$QVNPLATFORM_STORE")" ]; }

OK='0x00000000 ERROR_SUCCESS'
ALDER='Quorvane Alder Cryptographic Provider'
KSP='Quorvane TPM Key Storage Provider'

group_demo() {
    run 0 demo
    step 'CryptAcquireContextW("qvnksp-demo", CRYPT_NEWKEYSET)' "$OK"
    step 'CryptGenKey(AT_KEYEXCHANGE, 2048 bits, CRYPT_EXPORTABLE)' "$OK"
    step 'LoadLibraryW("QvnTpmKsp.so")' "$OK"
    step "GetKeyStorageInterface(\"$ALDER\")" '0x00000000 STATUS_SUCCESS'
    step "OpenProvider(\"$ALDER\")" "$OK"
    step 'OpenKey("qvnksp-demo", AT_KEYEXCHANGE)' "$OK"
    step 'SignHash(size query)' "$OK"
    step 'SignHash(SHA256, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    step 'VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    step 'VerifySignature(one bit of the signature flipped)' '0x80090006 NTE_BAD_SIGNATURE'
    step "OpenSSL verifies the signature with K's public key" 'valid'
    step 'Encrypt(70 bytes, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    step 'Decrypt(256 bytes, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    step "Decrypt(OpenSSL's ciphertext, NCRYPT_PAD_PKCS1_FLAG)" "$OK"
    step 'Decrypted text equals the message' 'equal'
    step 'Decrypted text equals the secret' 'equal'
    step 'FreeKey' "$OK"
    step "GetKeyStorageInterface(\"$KSP\")" '0x00000000 STATUS_SUCCESS'
    step "OpenProvider(\"$KSP\")" "$OK"
    step 'GetProviderProperty("Impl Type")' "$OK"
    step 'GetProviderProperty("Version")' "$OK"
    step 'GetProviderProperty("Max Name Length")' "$OK"
    step 'FreeLibrary("QvnTpmKsp.so")' "$OK"
    step 'CryptAcquireContextW("qvnksp-demo", CRYPT_DELETEKEYSET)' "$OK"
    step 'Remove the key store' 'removed'
    has '      signature size    256 bytes'
    has '      Impl Type         0x00000000 (no implementation flag set)'
    has '      Version           0x00010000 (1.0)'
    has '      Max Name Length   260 characters'
    has '      algorithms        none (an empty list)'
    lacks 'FAILED'
    check 'the verdict is the last line' [ "$(tail -n 1 out.txt)" = "qvnksp demo: OK (37 of 37 steps gave what they should)" ]
    check 'two FreeProvider lines (Alder, then the key storage provider)' [ "$(grep -c '^  FreeProvider \.' out.txt)" = 2 ]

    # The demo's key store is its own: made fresh, removed at the end, and the
    # store of $QVNPLATFORM_STORE never touched.
    local demo_store
    demo_store=$(sed -n 's/^      key store         \(.*\) (fresh, removed at the end)$/\1/p' out.txt)
    check 'the demo names its key store' [ -n "$demo_store" ]
    check 'the demo key store is not the default one' [ "$demo_store" != "$QVNPLATFORM_STORE" ]
    check 'the demo key store is removed' [ ! -e "$demo_store" ]
    check 'the default store is untouched' store_is_empty

    # Each run gets a fresh store: a second run does not find the first key.
    run 0 demo
    step 'CryptAcquireContextW("qvnksp-demo", CRYPT_NEWKEYSET)' "$OK"

    # The signature in the JSON output verifies by plain RSA arithmetic over the
    # modulus and exponent that CryptoAPI exported, with SHA-256's DigestInfo.
    run 0 demo --json
    json out.txt '
import hashlib
r = doc["results"]
assert doc["ok"] is True and doc["errors"] == []
assert all(s["ok"] for s in doc["steps"])
assert r["key_bits"] == 2048 and r["exponent"] == 65537
assert r["signature_length"] == 256 and r["signature_size"] == 256
assert (r["impl_type"], r["version"], r["max_name_length"], r["algorithms"]) == (0, 0x10000, 260, [])
message = r["message"].encode()
assert r["digest"] == hashlib.sha256(message).hexdigest()
n = int(r["modulus"], 16)
em = pow(int(r["signature"], 16), r["exponent"], n).to_bytes(256, "big")
digest_info = bytes.fromhex("3031300d060960864801650304020105000420") + hashlib.sha256(message).digest()
assert em == b"\x00\x01" + b"\xff" * (256 - 3 - len(digest_info)) + b"\x00" + digest_info, em.hex()
bad = step("VerifySignature(one bit of the signature flipped)")
assert (bad["status"], bad["status_name"], bad["ok"]) == ("0x80090006", "NTE_BAD_SIGNATURE", True)
'

    # A module that cannot be loaded: the demo fails, names the loader error,
    # and still deletes its container and removes its store.
    run 1 --module "$work/missing/QvnTpmKsp.so" demo
    step 'LoadLibraryW("QvnTpmKsp.so")' '0x0000007e ERROR_MOD_NOT_FOUND'
    step 'CryptAcquireContextW("qvnksp-demo", CRYPT_DELETEKEYSET)' "$OK"
    step 'Remove the key store' 'removed'
    lacks 'OpenProvider('
    has 'qvnksp demo: FAILED (1 of '
}

group_keys() {
    printf 'The quick brown fox jumps over the lazy dog.\n' >data.txt

    run 0 container create --name k1
    step 'CryptAcquireContextW("k1", CRYPT_NEWKEYSET)' "$OK"
    step 'CryptGenKey(AT_KEYEXCHANGE, 2048 bits, CRYPT_EXPORTABLE)' "$OK"
    has '      public key        2048-bit RSA, exponent 65537'
    run 0 export-public --name k1 --out pub.pem
    check 'openssl reads the exported PEM as a 2048-bit RSA key' \
        bash -c 'openssl pkey -pubin -in pub.pem -noout -text | grep -qF "Public-Key: (2048 bit)"'
    # The fingerprint that qvnksp prints is the SHA-256 of the DER openssl reads.
    local fingerprint
    fingerprint=$(openssl pkey -pubin -in pub.pem -outform DER | openssl dgst -sha256 -r | cut -d' ' -f1)
    has "      SHA-256 of SPKI   $fingerprint"

    # Signatures through the module verify with openssl, for every hash.
    local hash lower
    for hash in SHA1 SHA256 SHA384 SHA512 MD5; do
        lower=$(tr 'A-Z' 'a-z' <<<"$hash")
        run 0 sign --name k1 --hash "$hash" --in data.txt --out "sig.$hash"
        step "SignHash($hash, NCRYPT_PAD_PKCS1_FLAG)" "$OK"
        matches "^      $hash of input +$(openssl dgst "-$lower" -r data.txt | cut -d' ' -f1)\$"
        check "openssl verifies the $hash signature" \
            bash -c "openssl dgst -$lower -verify pub.pem -signature sig.$hash data.txt | grep -qx 'Verified OK'"
        run 0 verify --name k1 --hash "$hash" --in data.txt --sig "sig.$hash"
        step "VerifySignature($hash, NCRYPT_PAD_PKCS1_FLAG)" "$OK"
        has '      signature         valid'
    done

    # A signature over other data is refused by both.
    printf 'The quick brown fox jumps over the lazy cat.\n' >other.txt
    run 1 verify --name k1 --in other.txt --sig sig.SHA256
    step 'VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)' '0x80090006 NTE_BAD_SIGNATURE'
    has 'qvnksp verify: FAILED (1 of 9 steps'
    check 'openssl refuses the signature over other data' \
        bash -c '! openssl dgst -sha256 -verify pub.pem -signature sig.SHA256 other.txt >/dev/null 2>&1'
    # A signature one byte short is an invalid parameter, not a bad signature.
    head -c 255 sig.SHA256 >short.sig
    run 1 verify --name k1 --in data.txt --sig short.sig
    step 'VerifySignature(SHA256, NCRYPT_PAD_PKCS1_FLAG)' '0x80090027 NTE_INVALID_PARAMETER'

    # --hash none: no padding information, the bare digest is signed.
    local digest
    digest=$(openssl dgst -sha256 -r data.txt | cut -d' ' -f1)
    openssl dgst -sha256 -binary data.txt >digest.bin
    run 0 sign --name k1 --hash none --digest "$digest" --out sig.none
    step 'SignHash(no padding information, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    check 'openssl verifies the bare-digest signature without a digest algorithm' \
        bash -c 'openssl pkeyutl -verify -pubin -inkey pub.pem -in digest.bin -sigfile sig.none | grep -q "Verified Successfully"'
    check 'the bare-digest signature differs from the SHA256 one' bash -c '! cmp -s sig.none sig.SHA256'
    # The same digest given in hex with --hash SHA256 gives the file's signature
    # (PKCS #1 v1.5 signing is deterministic).
    run 0 sign --name k1 --hash sha256 --digest "$digest" --out sig.hex
    check 'signing the digest equals signing the file' cmp -s sig.hex sig.SHA256
    # A digest whose length matches no algorithm, without a name.
    run 1 sign --name k1 --hash none --digest "$(head -c 28 /dev/zero | od -An -tx1 | tr -d ' \n')" --out sig.28
    step 'SignHash(no padding information, NCRYPT_PAD_PKCS1_FLAG)' '0x80090027 NTE_INVALID_PARAMETER'
    check 'a failed sign writes no file' [ ! -e sig.28 ]

    # openssl encrypts to the exported key, the module decrypts.
    printf 'attack at dawn' >plain.txt
    openssl pkeyutl -encrypt -pubin -inkey pub.pem -in plain.txt -out cipher.bin
    run 0 decrypt --name k1 --in cipher.bin --out decrypted.txt
    step 'Decrypt(256 bytes, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    check 'the module decrypts what openssl encrypted' cmp -s plain.txt decrypted.txt
    # The module encrypts, the module decrypts: 256 bytes of ciphertext.
    run 0 encrypt --name k1 --in plain.txt --out cipher2.bin
    step 'Encrypt(14 bytes, NCRYPT_PAD_PKCS1_FLAG)' "$OK"
    check 'the ciphertext is 256 bytes' [ "$(wc -c <cipher2.bin)" -eq 256 ]
    run 0 decrypt --name k1 --in cipher2.bin --out decrypted2.txt
    check 'the module decrypts its own ciphertext' cmp -s plain.txt decrypted2.txt
    # A ciphertext of the wrong length, and a damaged one.
    head -c 255 cipher.bin >short.bin
    run 1 decrypt --name k1 --in short.bin --out never.txt
    step 'Decrypt(size query)' '0x80090027 NTE_INVALID_PARAMETER'
    check 'a failed decrypt writes no file' [ ! -e never.txt ]
    python3 -c 'import sys; d = bytearray(open("cipher.bin", "rb").read()); d[-1] ^= 0x01; open("damaged.bin", "wb").write(d)'
    run 1 decrypt --name k1 --in damaged.bin --out never.txt
    step 'Decrypt(256 bytes, NCRYPT_PAD_PKCS1_FLAG)' '0x8009002c NTE_DECRYPTION_FAILURE'
    # 246 bytes are too many for PKCS #1 v1.5 with a 2048-bit key.
    head -c 246 /dev/zero >big.bin
    run 1 encrypt --name k1 --in big.bin --out never.bin
    step 'Encrypt(size query)' '0x80090027 NTE_INVALID_PARAMETER'

    # A container exists once; --add adds the other key spec, never replaces.
    run 1 container create --name k1
    step 'CryptAcquireContextW("k1", CRYPT_NEWKEYSET)' '0x8009000f NTE_EXISTS'
    run 1 sign --name k1 --spec signature --in data.txt --out never.sig
    step 'OpenKey("k1", AT_SIGNATURE)' '0x80090016 NTE_BAD_KEYSET'
    run 0 container create --name k1 --add --spec signature --bits 1024
    step 'CryptGetUserKey(AT_SIGNATURE)' '0x8009000d NTE_NO_KEY'
    step 'CryptGenKey(AT_SIGNATURE, 1024 bits, CRYPT_EXPORTABLE)' "$OK"
    run 1 container create --name k1 --add --spec exchange
    has 'CryptGetUserKey(AT_KEYEXCHANGE) ' out.txt
    has '0x00000000 ERROR_SUCCESS  << FAILED, should be 0x8009000d NTE_NO_KEY'
    lacks 'CryptGenKey('
    run 0 export-public --name k1 --out pub-again.pem
    check 'the exchange key is unchanged' cmp -s pub.pem pub-again.pem

    # The signature key signs (128 bytes) but neither encrypts nor decrypts.
    run 0 export-public --name k1 --spec signature --out sigkey.pem
    run 0 sign --name k1 --spec signature --in data.txt --out sig.sigkey
    has '      signature size    128 bytes'
    check 'openssl verifies the signature key'"'"'s signature' \
        bash -c "openssl dgst -sha256 -verify sigkey.pem -signature sig.sigkey data.txt | grep -qx 'Verified OK'"
    run 1 encrypt --name k1 --spec signature --in plain.txt --out never.bin
    step 'Encrypt(size query)' '0x80090010 NTE_PERM'
    run 1 decrypt --name k1 --spec signature --in cipher.bin --out never.txt
    step 'Decrypt(size query)' '0x80090010 NTE_PERM'

    # The other CSPs, by short name.
    local csp
    for csp in birch cedar dogwood; do
        run 0 container create --csp "$csp" --name "c-$csp"
        run 0 export-public --csp "$csp" --name "c-$csp" --out "$csp.pem"
        run 0 sign --csp "$csp" --name "c-$csp" --in data.txt --out "sig.$csp"
        has "Signing with key \"c-$csp\" of \"Quorvane ${csp^} Cryptographic Provider\""
        check "openssl verifies the $csp signature" \
            bash -c "openssl dgst -sha256 -verify $csp.pem -signature sig.$csp data.txt | grep -qx 'Verified OK'"
    done
    # Machine key sets are apart from the user's: --machine reaches them.
    run 0 container create --name m1 --machine
    step 'CryptAcquireContextW("m1", CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET)' "$OK"
    run 0 sign --name m1 --machine --in data.txt --out sig.m1
    step 'OpenKey("m1", AT_KEYEXCHANGE, NCRYPT_MACHINE_KEY_FLAG)' "$OK"
    run 1 sign --name m1 --in data.txt --out never.sig
    step 'OpenKey("m1", AT_KEYEXCHANGE)' '0x80090016 NTE_BAD_KEYSET'
    run 0 container delete --name m1 --machine
    step 'CryptAcquireContextW("m1", CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET)' "$OK"

    # A key of one CSP is not found through another.
    run 1 sign --csp dogwood --name k1 --in data.txt --out never.sig
    step 'OpenKey("k1", AT_KEYEXCHANGE)' '0x80090016 NTE_BAD_KEYSET'
    # The key storage provider itself opens no keys.
    run 1 sign --csp ksp --name k1 --in data.txt --out never.sig
    step 'OpenKey("k1", AT_KEYEXCHANGE)' '0x80090029 NTE_NOT_SUPPORTED'
    # An unknown provider name is refused by the module's entry.
    run 1 sign --csp "Quorvane Alder cryptographic provider" --name k1 --in data.txt --out never.sig
    step 'GetKeyStorageInterface("Quorvane Alder cryptographic provider")' '0xc000000d STATUS_INVALID_PARAMETER'

    # Deleting: the key is gone for CryptoAPI and for the module.
    run 0 container delete --name k1
    step 'CryptAcquireContextW("k1", CRYPT_DELETEKEYSET)' "$OK"
    run 1 sign --name k1 --in data.txt --out never.sig
    step 'OpenKey("k1", AT_KEYEXCHANGE)' '0x80090016 NTE_BAD_KEYSET'
    run 1 container delete --name k1
    step 'CryptAcquireContextW("k1", CRYPT_DELETEKEYSET)' '0x80090016 NTE_BAD_KEYSET'
    run 1 export-public --name k1 --out never.pem
    step 'CryptAcquireContextW("k1", 0)' '0x80090016 NTE_BAD_KEYSET'
    check 'no output file was written by a failed command' bash -c '! ls never.* >/dev/null 2>&1'

    # The platform has no container enumeration: list says so and fails.
    run 1 container list
    has 'container list is not available on Linux' err.txt
}

group_usage() {
    # Each line: expected exit, expected text on stderr, arguments.
    local cases=(
        '2|which command?|'
        '2|unknown command "frobnicate"|frobnicate'
        '2|unknown option --verbose|--verbose demo'
        '2|option --module needs a value|demo --module'
        '2|unknown option --bogus|demo --bogus'
        '2|missing --name|sign --in data.txt --out s'
        '2|missing --out|sign --name k --in data.txt'
        '2|give either --in FILE or --digest HEX|sign --name k --in data.txt --digest 00 --out s'
        '2|give either --in FILE or --digest HEX|sign --name k --out s'
        '2|--hash must be SHA1, SHA256, SHA384, SHA512, MD5, MD4, MD2 or none, not "SHA-256"|sign --name k --hash SHA-256 --in data.txt --out s'
        '2|--hash none signs a digest as it is|sign --name k --hash none --in data.txt --out s'
        '2|--digest must be hexadecimal digits|sign --name k --digest zz --out s'
        '2|--digest has an odd number of hexadecimal digits|sign --name k --digest abc --out s'
        '2|--spec must be exchange or signature, not "both"|verify --name k --spec both --in data.txt --sig s'
        '2|missing --sig|verify --name k --in data.txt'
        '2|option --name needs a value|encrypt --in data.txt --out c --name'
        '2|option --machine takes no value|decrypt --name k --in c --out p --machine=yes'
        '2|which container command?|container'
        '2|unknown container command "rename"|container rename --name k'
        '2|--bits needs a number, not "2k"|container create --name k --bits 2k'
        '2|--bits must be between 1 and 65535|container create --name k --bits 0'
        '2|--bits needs a number, not "-1"|container create --name k --bits=-1'
        '2|missing --name|container delete'
        '2|missing --out|export-public --name k'
        '2|unknown option --name|providers --name k'
        '2|which status value?|error'
        '2|"NTE_NOPE" is neither a number nor a known status name|error NTE_NOPE'
    )
    printf 'data' >data.txt
    local entry want text args
    for entry in "${cases[@]}"; do
        IFS='|' read -r want text args <<<"$entry"
        # shellcheck disable=SC2086 # the arguments are words
        run "$want" $args
        has "$text" err.txt
        check "qvnksp $args prints nothing on stdout" [ ! -s out.txt ]
        checks=$((checks + 1))
        grep -q '^usage: qvnksp' err.txt || fail "qvnksp $args gives no usage line"
    done
    check 'usage errors touch no key store' store_is_empty

    # --help on every level: exit 0, the usage of that level on stdout.
    local helps=(
        '|usage: qvnksp [--module PATH] [--json] COMMAND [OPTIONS]'
        'demo|usage: qvnksp demo'
        'providers|usage: qvnksp providers'
        'properties|usage: qvnksp properties'
        'container|usage: qvnksp container create'
        'container create|usage: qvnksp container create'
        'container delete|usage: qvnksp container delete'
        'container list|usage: qvnksp container list'
        'export-public|usage: qvnksp export-public'
        'sign|usage: qvnksp sign'
        'verify|usage: qvnksp verify'
        'encrypt|usage: qvnksp encrypt'
        'decrypt|usage: qvnksp decrypt'
        'register|usage: qvnksp register'
        'unregister|usage: qvnksp unregister'
        'error|usage: qvnksp error'
    )
    local command first
    for entry in "${helps[@]}"; do
        IFS='|' read -r command text <<<"$entry"
        # shellcheck disable=SC2086
        run 0 $command --help
        first=$(head -n 1 out.txt)
        check "qvnksp $command --help starts with its usage" [ "${first#"$text"}" != "$first" ]
        check "qvnksp $command --help writes nothing to stderr" [ ! -s err.txt ]
    done
    # --help wins over missing options, and -h is the same.
    run 0 sign -h
    has 'usage: qvnksp sign'
    check '--help does not run the command' store_is_empty

    # Status names, like certutil -error.
    local codes=(
        '0x80090016|0x80090016  -2146893802  NTE_BAD_KEYSET'
        '-2146893802|0x80090016  -2146893802  NTE_BAD_KEYSET'
        '2148073494|0x80090016  -2146893802  NTE_BAD_KEYSET'
        'NTE_UI_REQUIRED|0x8009002e  -2146893778  NTE_UI_REQUIRED'
        '0x80090026|0x80090026  -2146893786  NTE_INVALID_HANDLE'
        '0x80090029|0x80090029  -2146893783  NTE_NOT_SUPPORTED'
        '0xc00000bb|0xc00000bb  -1073741637  STATUS_NOT_SUPPORTED'
        '0xc0000001|0xc0000001  -1073741823  STATUS_UNSUCCESSFUL'
        '0xd0000225|0xd0000225  -805305819  HRESULT_FROM_NT(STATUS_NOT_FOUND)'
        '0x80070057|0x80070057  -2147024809  E_INVALIDARG'
        '0x80070002|0x80070002  -2147024894  HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)'
        '126|0x0000007e  126  ERROR_MOD_NOT_FOUND'
        '0|0x00000000  0  ERROR_SUCCESS / STATUS_SUCCESS / S_OK'
        'S_FALSE|0x00000001  1  ERROR_INVALID_FUNCTION / S_FALSE'
    )
    local code line
    for entry in "${codes[@]}"; do
        IFS='|' read -r code line <<<"$entry"
        run 0 error "$code"
        check "qvnksp error $code prints \"$line\"" [ "$(cat out.txt)" = "$line" ]
    done
    run 1 error 0x80090016 0x12345678
    check 'an unknown value reads (unknown) after the known one' \
        [ "$(cat out.txt)" = $'0x80090016  -2146893802  NTE_BAD_KEYSET\n0x12345678  305419896  (unknown)' ]
}

group_json() {
    run 0 providers --json
    json out.txt '
names = [p["name"] for p in doc["results"]["providers"]]
assert names == ["Quorvane TPM Key Storage Provider"] + ["Quorvane %s Cryptographic Provider" % n
                 for n in ("Alder", "Birch", "Cedar", "Dogwood")], names
assert all(p["interface"] and p["opens"] for p in doc["results"]["providers"])
assert [p["kind"] for p in doc["results"]["providers"]] == ["the key storage provider", "CSP, PROV_RSA_FULL",
        "CSP, PROV_RSA_SCHANNEL", "CSP, PROV_RSA_AES", "CSP, PROV_RSA_FULL"]
assert doc["ok"] is True and len(doc["steps"]) == 2 + 5 * 3 + 1
assert step("GetKeyStorageInterface(\"Quorvane Cedar Cryptographic Provider\")")["status_name"] == "STATUS_SUCCESS"
'
    run 0 properties --json
    json out.txt '
r = doc["results"]
assert (r["impl_type"], r["version"], r["max_name_length"], r["algorithms"]) == (0, 65536, 260, [])
assert [s["call"] for s in doc["steps"]][2:] == [
    "GetKeyStorageInterface(\"Quorvane TPM Key Storage Provider\")",
    "OpenProvider(\"Quorvane TPM Key Storage Provider\")",
    "GetProviderProperty(\"Impl Type\")", "GetProviderProperty(\"Version\")",
    "GetProviderProperty(\"Max Name Length\")", "EnumAlgorithms(every operation class)",
    "FreeProvider", "FreeLibrary(\"QvnTpmKsp.so\")"]
'
    printf 'json data' >data.txt
    run 0 container create --name j1 --bits 1024 --json
    json out.txt 'assert doc["results"]["bits"] == 1024 and doc["results"]["exponent"] == 65537'
    run 0 sign --name j1 --in data.txt --out sig.bin --json
    json out.txt '
import hashlib
r = doc["results"]
assert r["signature_size"] == 128 and r["out"] == "sig.bin"
assert bytes.fromhex(r["signature"]) == open("sig.bin", "rb").read()
assert r["digest"] == hashlib.sha256(b"json data").hexdigest()
'
    # A failing command is ok: false, with the failing step and its status.
    run 1 verify --name j1 --hash SHA1 --in data.txt --sig sig.bin --json
    json out.txt '
assert doc["ok"] is False and doc["results"]["valid"] is False
s = step("VerifySignature(SHA1, NCRYPT_PAD_PKCS1_FLAG)")
assert (s["status"], s["status_name"], s["expected"], s["ok"]) == ("0x80090006", "NTE_BAD_SIGNATURE", "0x00000000", False)
assert [x["call"] for x in doc["steps"]][-3:] == ["FreeKey", "FreeProvider", "FreeLibrary(\"QvnTpmKsp.so\")"]
'
    # An error outside any call lands in "errors".
    run 1 verify --name j1 --in missing.txt --sig sig.bin --json
    json out.txt 'assert doc["ok"] is False and doc["steps"] == [] and doc["errors"][0].startswith("cannot open missing.txt")'
    # With --out -, the data goes to stdout and the report to stderr.
    run 0 sign --name j1 --in data.txt --out - --json
    check 'sign --out - writes the signature alone on stdout' cmp -s out.txt sig.bin
    json err.txt 'assert doc["ok"] is True'
    # Container names travel as UTF-16 to CryptoAPI and the module, and back as
    # UTF-8 in the JSON text, quotes escaped.
    local name='q"uo'"'"'te ✓ 日本 𝄞'
    run 0 container create --name "$name" --bits 1024 --json
    json out.txt '
assert step("CryptAcquireContextW(\"q\"uo'"'"'te ✓ 日本 𝄞\", CRYPT_NEWKEYSET)")["ok"]
'
    run 0 export-public --name "$name" --out uni.pem
    run 0 --module="$(dirname "$QVNKSP")/QvnTpmKsp.so" sign --name "$name" --in - --out uni.sig --json <data.txt
    json out.txt 'assert step("OpenKey(\"q\"uo'"'"'te ✓ 日本 𝄞\", AT_KEYEXCHANGE)")["status"] == "0x00000000"'
    check 'openssl verifies the signature of the key with a Unicode name' \
        bash -c "openssl dgst -sha256 -verify uni.pem -signature uni.sig data.txt | grep -qx 'Verified OK'"
    # A digest in hex may be grouped with colons and blanks.
    local grouped
    grouped=$(openssl dgst -sha256 -c data.txt | sed 's/^.*= //')
    run 0 sign --name "$name" --digest "${grouped//:/: }" --out grouped.sig
    check 'a grouped hex digest signs like the file' cmp -s grouped.sig uni.sig

    run 0 error --json NTE_BAD_KEYSET 0xc000000d
    json out.txt '
assert doc == {"command": "error", "ok": True, "codes": [
    {"input": "NTE_BAD_KEYSET", "value": "0x80090016", "names": ["NTE_BAD_KEYSET"]},
    {"input": "0xc000000d", "value": "0xc000000d", "names": ["STATUS_INVALID_PARAMETER"]}]}, doc
'
}

group_registration() {
    run 0 unregister
    step 'DllUnregisterServer()' '0x00000001 S_FALSE'
    step 'BCryptQueryProviderRegistration(KEY_STORAGE)' '0xc0000225 STATUS_NOT_FOUND'
    run 0 register --json
    json out.txt '
s = step("DllRegisterServer()")
assert (s["status"], s["status_name"]) == ("0x00000000", "S_OK")
assert doc["results"]["aliases"] == ["Quorvane %s Cryptographic Provider" % n for n in ("Alder", "Birch", "Cedar", "Dogwood")]
assert doc["results"]["image"] == "QvnTpmKsp.dll"
'
    run 0 register
    step 'DllRegisterServer()' '0x00000000 S_OK'
    step 'BCryptQueryProviderRegistration(KEY_STORAGE)' '0x00000000 STATUS_SUCCESS'
    run 0 unregister
    step 'DllUnregisterServer()' '0x00000000 S_OK'
    step 'BCryptQueryProviderRegistration(KEY_STORAGE)' '0xc0000225 STATUS_NOT_FOUND'
    run 0 unregister
    step 'DllUnregisterServer()' '0x00000001 S_FALSE'
    has '      note              the provider was not registered'
    # A module without the export (the platform library itself) is a failure.
    run 1 --module "$(dirname "$QVNKSP")/libqvnplatform.so" register
    step 'GetProcAddress("GetKeyStorageInterface")' '0x0000007f ERROR_PROC_NOT_FOUND'
}

case "$GROUP" in
demo | keys | usage | json | registration) "group_$GROUP" ;;
*)
    echo "unknown group $GROUP" >&2
    exit 2
    ;;
esac

echo "$GROUP: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
