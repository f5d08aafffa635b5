// Smoke test of the Windows platform under Wine: CryptoAPI through Wine's own
// advapi32, with the test CSP (platform/wine) registered under the four
// Quorvane provider names. It checks what the key storage provider relies on:
// provider lookup by name and type, key containers that stay apart per name,
// 2048-bit exchange keys, SHA-256, PKCS #1 v1.5 signatures and encryption,
// and a container that would need a prompt under CRYPT_SILENT.
//
// Results are judged by fixed values (the SHA-256 digest of "abc") and by
// the platform's BCrypt, never by the CSP that made them.
//
// Prints one line per failed check and a summary; exits 1 if any check failed.

#include <windows.h>
#include <wincrypt.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QvnWineCsp.h"

namespace
{

using Bytes = std::vector<BYTE>;

struct Provider {
    const char *pszLabel;
    const wchar_t *pszName;
    DWORD dwType;
    DWORD dwWrongType; // a type that the name is not registered with
};

const Provider g_providers[] = {
    {"Alder", L"Quorvane Alder Cryptographic Provider", PROV_RSA_FULL, PROV_RSA_AES},
    {"Birch", L"Quorvane Birch Cryptographic Provider", PROV_RSA_SCHANNEL, PROV_RSA_FULL},
    {"Cedar", L"Quorvane Cedar Cryptographic Provider", PROV_RSA_AES, PROV_RSA_FULL},
    {"Dogwood", L"Quorvane Dogwood Cryptographic Provider", PROV_RSA_FULL, PROV_RSA_SCHANNEL},
};

const BYTE g_abcSha256[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                              0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                              0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
const char g_plaintext[] = "Quorvane smoke test plaintext";
const DWORD g_keyBits = 2048;
const DWORD g_keyBytes = g_keyBits / 8;

std::string Narrow(const std::wstring &str)
{
    return std::string(str.begin(), str.end()); // the names here are ASCII
}

std::string Hex(DWORD dw)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(dw));
    return sz;
}

Bytes Reversed(Bytes bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

struct CallResult {
    BOOL fResult;
    DWORD dwError;
};

// The result of a call and the last error read right after it: pass the call
// itself as the argument, Capture(CryptFoo(...)).
CallResult Capture(BOOL fResult)
{
    return {fResult, GetLastError()};
}

class Checks
{
public:
    bool Expect(bool fOk, const std::string &strWhat)
    {
        ++m_nChecks;
        if (!fOk) {
            ++m_nFailed;
            std::printf("FAILED: %s\n", strWhat.c_str());
        }
        return fOk;
    }

    // A call that must succeed.
    bool Succeeds(const CallResult &r, const std::string &strWhat)
    {
        return Expect(r.fResult != FALSE, strWhat + " failed with " + Hex(r.dwError));
    }

    // A call that must fail with exactly hrExpected.
    bool FailsWith(const CallResult &r, HRESULT hrExpected, const std::string &strWhat)
    {
        if (r.fResult) {
            return Expect(false, strWhat + " succeeded; expected " + Hex(static_cast<DWORD>(hrExpected)));
        }
        return Expect(r.dwError == static_cast<DWORD>(hrExpected),
                      strWhat + " failed with " + Hex(r.dwError) + "; expected " + Hex(static_cast<DWORD>(hrExpected)));
    }

    int Total() const { return m_nChecks; }
    int Failed() const { return m_nFailed; }

private:
    int m_nChecks = 0;
    int m_nFailed = 0;
};

Checks g_checks;

class Context
{
public:
    Context() = default;
    ~Context() { Release(); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;

    HCRYPTPROV *Out() { return &m_h; }
    HCRYPTPROV Get() const { return m_h; }
    void Release()
    {
        if (m_h != 0) {
            CryptReleaseContext(m_h, 0);
            m_h = 0;
        }
    }

private:
    HCRYPTPROV m_h = 0;
};

class Key
{
public:
    Key() = default;
    ~Key()
    {
        if (m_h != 0) {
            CryptDestroyKey(m_h);
        }
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    HCRYPTKEY *Out() { return &m_h; }
    HCRYPTKEY Get() const { return m_h; }

private:
    HCRYPTKEY m_h = 0;
};

class Hash
{
public:
    Hash() = default;
    ~Hash()
    {
        if (m_h != 0) {
            CryptDestroyHash(m_h);
        }
    }
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;

    HCRYPTHASH *Out() { return &m_h; }
    HCRYPTHASH Get() const { return m_h; }

private:
    HCRYPTHASH m_h = 0;
};

CallResult Acquire(Context &context, const Provider &provider, const std::wstring &strContainer, DWORD dwFlags,
                   DWORD dwType = 0)
{
    const BOOL f = CryptAcquireContextW(context.Out(), strContainer.empty() ? nullptr : strContainer.c_str(),
                                        provider.pszName, dwType != 0 ? dwType : provider.dwType, dwFlags);
    return {f, GetLastError()};
}

// Removes a container left over by an interrupted run; its absence is fine.
void DeleteQuietly(const Provider &provider, const std::wstring &strContainer, DWORD dwFlags = 0)
{
    HCRYPTPROV h = 0;
    CryptAcquireContextW(&h, strContainer.c_str(), provider.pszName, provider.dwType, dwFlags | CRYPT_DELETEKEYSET);
}

std::string GetProvString(HCRYPTPROV hProv, DWORD dwParam)
{
    char sz[MAX_PATH + 1] = {};
    DWORD cb = sizeof(sz);
    if (!CryptGetProvParam(hProv, dwParam, reinterpret_cast<BYTE *>(sz), &cb, 0)) {
        return "<error " + Hex(GetLastError()) + ">";
    }
    return std::string(sz);
}

std::vector<std::string> EnumContainers(HCRYPTPROV hProv)
{
    std::vector<std::string> names;
    DWORD dwFlags = CRYPT_FIRST;
    for (;;) {
        char sz[MAX_PATH + 1] = {};
        DWORD cb = sizeof(sz);
        if (!CryptGetProvParam(hProv, PP_ENUMCONTAINERS, reinterpret_cast<BYTE *>(sz), &cb, dwFlags)) {
            const DWORD dwError = GetLastError();
            g_checks.Expect(dwError == ERROR_NO_MORE_ITEMS, "PP_ENUMCONTAINERS ended with " + Hex(dwError));
            return names;
        }
        names.emplace_back(sz);
        dwFlags = 0;
    }
}

bool Contains(const std::vector<std::string> &names, const std::string &str)
{
    return std::find(names.begin(), names.end(), str) != names.end();
}

Bytes ExportPublicKey(HCRYPTKEY hKey)
{
    DWORD cb = 0;
    if (!g_checks.Succeeds(Capture(CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cb)),
                           "CryptExportKey(PUBLICKEYBLOB) size")) {
        return {};
    }
    Bytes blob(cb);
    if (!g_checks.Succeeds(Capture(CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cb)),
                           "CryptExportKey(PUBLICKEYBLOB)")) {
        return {};
    }
    blob.resize(cb);
    return blob;
}

// The CAPI public key blob as BCrypt's: the same modulus and exponent,
// big-endian. Checks the blob's layout on the way.
bool ToBCryptPublicBlob(const Bytes &capiBlob, Bytes &bcryptBlob, const std::string &strWhere)
{
    const size_t cbHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
    if (!g_checks.Expect(capiBlob.size() == cbHeader + g_keyBytes,
                         strWhere + ": public key blob is " + std::to_string(capiBlob.size()) + " bytes")) {
        return false;
    }
    BLOBHEADER header;
    RSAPUBKEY rsa;
    std::memcpy(&header, capiBlob.data(), sizeof(header));
    std::memcpy(&rsa, capiBlob.data() + sizeof(header), sizeof(rsa));
    g_checks.Expect(header.bType == PUBLICKEYBLOB && header.aiKeyAlg == CALG_RSA_KEYX,
                    strWhere + ": public key blob header");
    if (!g_checks.Expect(rsa.magic == 0x31415352 && rsa.bitlen == g_keyBits && rsa.pubexp == 65537,
                         strWhere + ": RSAPUBKEY magic/bitlen/pubexp " + Hex(rsa.magic) + "/" +
                             std::to_string(rsa.bitlen) + "/" + std::to_string(rsa.pubexp))) {
        return false;
    }
    const BYTE abExponent[3] = {0x01, 0x00, 0x01};
    const BCRYPT_RSAKEY_BLOB bcryptHeader = {BCRYPT_RSAPUBLIC_MAGIC, g_keyBits, sizeof(abExponent), g_keyBytes, 0, 0};
    bcryptBlob.assign(sizeof(bcryptHeader) + sizeof(abExponent) + g_keyBytes, 0);
    BYTE *pb = bcryptBlob.data();
    std::memcpy(pb, &bcryptHeader, sizeof(bcryptHeader));
    std::memcpy(pb + sizeof(bcryptHeader), abExponent, sizeof(abExponent));
    std::reverse_copy(capiBlob.begin() + cbHeader, capiBlob.end(), pb + sizeof(bcryptHeader) + sizeof(abExponent));
    return true;
}

// The platform's BCrypt, holding one RSA public key.
class BCryptPublicKey
{
public:
    explicit BCryptPublicKey(const Bytes &bcryptBlob)
    {
        m_status = BCryptOpenAlgorithmProvider(&m_hAlg, BCRYPT_RSA_ALGORITHM, nullptr, 0);
        if (m_status == 0) {
            m_status =
                BCryptImportKeyPair(m_hAlg, nullptr, BCRYPT_RSAPUBLIC_BLOB, &m_hKey,
                                    const_cast<PUCHAR>(bcryptBlob.data()), static_cast<ULONG>(bcryptBlob.size()), 0);
        }
    }
    ~BCryptPublicKey()
    {
        if (m_hKey != nullptr) {
            BCryptDestroyKey(m_hKey);
        }
        if (m_hAlg != nullptr) {
            BCryptCloseAlgorithmProvider(m_hAlg, 0);
        }
    }
    BCryptPublicKey(const BCryptPublicKey &) = delete;
    BCryptPublicKey &operator=(const BCryptPublicKey &) = delete;

    NTSTATUS Status() const { return m_status; }

    NTSTATUS VerifySha256(const BYTE *pbDigest, const Bytes &signatureBigEndian) const
    {
        BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
        return BCryptVerifySignature(m_hKey, &padding, const_cast<PUCHAR>(pbDigest), 32,
                                     const_cast<PUCHAR>(signatureBigEndian.data()),
                                     static_cast<ULONG>(signatureBigEndian.size()), BCRYPT_PAD_PKCS1);
    }

    NTSTATUS EncryptPkcs1(const Bytes &plaintext, Bytes &ciphertextBigEndian) const
    {
        ciphertextBigEndian.assign(g_keyBytes, 0);
        ULONG cbResult = 0;
        const NTSTATUS status =
            BCryptEncrypt(m_hKey, const_cast<PUCHAR>(plaintext.data()), static_cast<ULONG>(plaintext.size()), nullptr,
                          nullptr, 0, ciphertextBigEndian.data(), g_keyBytes, &cbResult, BCRYPT_PAD_PKCS1);
        ciphertextBigEndian.resize(cbResult);
        return status;
    }

private:
    BCRYPT_ALG_HANDLE m_hAlg = nullptr;
    BCRYPT_KEY_HANDLE m_hKey = nullptr;
    NTSTATUS m_status = 0;
};

const NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

// Signs a SHA-256 hash on hProv with the exchange key; the hash either
// digests "abc" or takes the digest as its value, as the KSP sets it.
Bytes SignSha256(HCRYPTPROV hProv, bool fSetValue, DWORD dwFlags, const std::string &strWhere)
{
    Hash hash;
    if (!g_checks.Succeeds(Capture(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, hash.Out())),
                           strWhere + ": CryptCreateHash(CALG_SHA_256)")) {
        return {};
    }
    if (fSetValue) {
        g_checks.Succeeds(Capture(CryptSetHashParam(hash.Get(), HP_HASHVAL, g_abcSha256, 0)),
                          strWhere + ": CryptSetHashParam(HP_HASHVAL)");
    } else {
        g_checks.Succeeds(Capture(CryptHashData(hash.Get(), reinterpret_cast<const BYTE *>("abc"), 3, 0)),
                          strWhere + ": CryptHashData(abc)");
    }
    DWORD cbSignature = 0;
    if (!g_checks.Succeeds(Capture(CryptSignHashW(hash.Get(), AT_KEYEXCHANGE, nullptr, dwFlags, nullptr, &cbSignature)),
                           strWhere + ": CryptSignHashW size")) {
        return {};
    }
    g_checks.Expect(cbSignature == g_keyBytes,
                    strWhere + ": signature size " + std::to_string(cbSignature) + ", expected 256");
    Bytes signature(cbSignature);
    if (!g_checks.Succeeds(
            Capture(CryptSignHashW(hash.Get(), AT_KEYEXCHANGE, nullptr, dwFlags, signature.data(), &cbSignature)),
            strWhere + ": CryptSignHashW")) {
        return {};
    }
    signature.resize(cbSignature);
    return signature;
}

CallResult VerifySha256(HCRYPTPROV hProv, HCRYPTKEY hKey, const Bytes &signature, DWORD dwFlags)
{
    Hash hash;
    if (!CryptCreateHash(hProv, CALG_SHA_256, 0, 0, hash.Out()) ||
        !CryptSetHashParam(hash.Get(), HP_HASHVAL, g_abcSha256, 0)) {
        return {FALSE, GetLastError()};
    }
    const BOOL f = CryptVerifySignatureW(hash.Get(), signature.data(), static_cast<DWORD>(signature.size()), hKey,
                                         nullptr, dwFlags);
    return {f, GetLastError()};
}

void CheckProviderLookup()
{
    for (const Provider &provider : g_providers) {
        const std::string strWhere = provider.pszLabel;
        Context context;
        CallResult r = Acquire(context, provider, L"", CRYPT_VERIFYCONTEXT);
        if (g_checks.Succeeds(r, strWhere + ": verification context")) {
            const std::string strName = GetProvString(context.Get(), PP_NAME);
            g_checks.Expect(strName == Narrow(provider.pszName), strWhere + ": PP_NAME is \"" + strName + "\"");
            DWORD dwType = 0;
            DWORD cb = sizeof(dwType);
            g_checks.Succeeds(
                Capture(CryptGetProvParam(context.Get(), PP_PROVTYPE, reinterpret_cast<BYTE *>(&dwType), &cb, 0)),
                strWhere + ": PP_PROVTYPE");
            g_checks.Expect(dwType == provider.dwType, strWhere + ": PP_PROVTYPE is " + std::to_string(dwType));
        }

        Context wrongType;
        r = Acquire(wrongType, provider, L"", CRYPT_VERIFYCONTEXT, provider.dwWrongType);
        g_checks.FailsWith(r, NTE_PROV_TYPE_NO_MATCH,
                           strWhere + ": acquiring with type " + std::to_string(provider.dwWrongType));
    }

    const Provider unknown = {"Elm", L"Quorvane Elm Cryptographic Provider", PROV_RSA_FULL, 0};
    Context context;
    const CallResult r = Acquire(context, unknown, L"", CRYPT_VERIFYCONTEXT);
    g_checks.FailsWith(r, NTE_KEYSET_NOT_DEF, "an unregistered provider name");
}

// One provider: a new container with a 2048-bit exchange key, used as the
// KSP uses it. The container name is the same for every provider; the keys
// must not be. Appends this provider's public key to publicKeys.
void CheckKeyContainer(const Provider &provider, const std::wstring &strContainer, std::vector<Bytes> &publicKeys)
{
    const std::string strWhere = std::string(provider.pszLabel) + " " + Narrow(strContainer);
    DeleteQuietly(provider, strContainer);

    {
        Context context;
        const CallResult r = Acquire(context, provider, strContainer, 0);
        g_checks.FailsWith(r, NTE_BAD_KEYSET,
                           strWhere + ": opening before creation (other names hold a container of this name)");
    }

    Bytes publicKey;
    {
        Context context;
        CallResult r = Acquire(context, provider, strContainer, CRYPT_NEWKEYSET);
        if (!g_checks.Succeeds(r, strWhere + ": CRYPT_NEWKEYSET")) {
            return;
        }
        Context again;
        r = Acquire(again, provider, strContainer, CRYPT_NEWKEYSET);
        g_checks.FailsWith(r, NTE_EXISTS, strWhere + ": CRYPT_NEWKEYSET a second time");

        const std::string strName = GetProvString(context.Get(), PP_CONTAINER);
        g_checks.Expect(strName == Narrow(strContainer), strWhere + ": PP_CONTAINER is \"" + strName + "\"");

        Key key;
        if (!g_checks.Succeeds(Capture(CryptGenKey(context.Get(), AT_KEYEXCHANGE, g_keyBits << 16, key.Out())),
                               strWhere + ": CryptGenKey(AT_KEYEXCHANGE, 2048)")) {
            return;
        }
        publicKey = ExportPublicKey(key.Get());
        DWORD cbPrivate = 0;
        g_checks.FailsWith(Capture(CryptExportKey(key.Get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cbPrivate)),
                           NTE_BAD_KEY_STATE,
                           strWhere + ": exporting the private half of a key made without CRYPT_EXPORTABLE");

        // A second context sees the key while the first is still open.
        Context second;
        r = Acquire(second, provider, strContainer, 0);
        if (g_checks.Succeeds(r, strWhere + ": opening while the creating context is open")) {
            Key seen;
            g_checks.Succeeds(Capture(CryptGetUserKey(second.Get(), AT_KEYEXCHANGE, seen.Out())),
                              strWhere + ": CryptGetUserKey in a second context before the first is released");
        }
    }
    for (const Bytes &other : publicKeys) {
        g_checks.Expect(publicKey != other, strWhere + ": the key equals another provider's key");
    }
    publicKeys.push_back(publicKey);

    Context context;
    CallResult r = Acquire(context, provider, strContainer, 0);
    if (!g_checks.Succeeds(r, strWhere + ": reopening")) {
        return;
    }
    Key key;
    if (!g_checks.Succeeds(Capture(CryptGetUserKey(context.Get(), AT_KEYEXCHANGE, key.Out())),
                           strWhere + ": CryptGetUserKey(AT_KEYEXCHANGE)")) {
        return;
    }
    g_checks.Expect(ExportPublicKey(key.Get()) == publicKey, strWhere + ": the stored key differs from the new one");
    {
        Key signatureKey;
        const CallResult rNoKey = Capture(CryptGetUserKey(context.Get(), AT_SIGNATURE, signatureKey.Out()));
        g_checks.FailsWith(rNoKey, NTE_NO_KEY, strWhere + ": CryptGetUserKey(AT_SIGNATURE)");
    }
    DWORD dwKeyBits = 0;
    DWORD cb = sizeof(dwKeyBits);
    g_checks.Succeeds(Capture(CryptGetKeyParam(key.Get(), KP_KEYLEN, reinterpret_cast<BYTE *>(&dwKeyBits), &cb, 0)),
                      strWhere + ": KP_KEYLEN");
    g_checks.Expect(dwKeyBits == g_keyBits, strWhere + ": KP_KEYLEN is " + std::to_string(dwKeyBits));

    // SHA-256 of "abc", and its size as the KSP asks for it.
    {
        Hash hash;
        g_checks.Succeeds(Capture(CryptCreateHash(context.Get(), CALG_SHA_256, 0, 0, hash.Out())),
                          strWhere + ": CryptCreateHash(CALG_SHA_256)");
        DWORD dwHashSize = 0;
        cb = sizeof(dwHashSize);
        g_checks.Succeeds(
            Capture(CryptGetHashParam(hash.Get(), HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwHashSize), &cb, 0)),
            strWhere + ": HP_HASHSIZE");
        g_checks.Expect(dwHashSize == 32, strWhere + ": HP_HASHSIZE is " + std::to_string(dwHashSize));
        g_checks.Succeeds(Capture(CryptHashData(hash.Get(), reinterpret_cast<const BYTE *>("abc"), 3, 0)),
                          strWhere + ": CryptHashData");
        BYTE abDigest[32] = {};
        cb = sizeof(abDigest);
        g_checks.Succeeds(Capture(CryptGetHashParam(hash.Get(), HP_HASHVAL, abDigest, &cb, 0)),
                          strWhere + ": HP_HASHVAL");
        g_checks.Expect(cb == 32 && std::memcmp(abDigest, g_abcSha256, 32) == 0,
                        strWhere + ": SHA-256(\"abc\") is not ba7816bf...f20015ad");
    }

    // Signatures: deterministic, the same whether the hash digested the data
    // or was given the digest, and accepted by BCrypt.
    const Bytes signature = SignSha256(context.Get(), false, 0, strWhere);
    const Bytes signatureFromValue = SignSha256(context.Get(), true, 0, strWhere);
    g_checks.Expect(!signature.empty() && signature == signatureFromValue,
                    strWhere + ": signing a set hash value differs from signing the hashed data");
    r = VerifySha256(context.Get(), key.Get(), signature, 0);
    g_checks.Succeeds(r, strWhere + ": CryptVerifySignatureW of its own signature");

    Bytes flipped = signature;
    if (!flipped.empty()) {
        flipped[flipped.size() / 2] ^= 0x01;
    }
    r = VerifySha256(context.Get(), key.Get(), flipped, 0);
    g_checks.FailsWith(r, NTE_BAD_SIGNATURE, strWhere + ": verifying a signature with a bit flipped");

    const Bytes noOid = SignSha256(context.Get(), true, CRYPT_NOHASHOID, strWhere + " CRYPT_NOHASHOID");
    g_checks.Expect(!noOid.empty() && noOid != signature, strWhere + ": CRYPT_NOHASHOID gives the same signature");
    r = VerifySha256(context.Get(), key.Get(), noOid, CRYPT_NOHASHOID);
    g_checks.Succeeds(r, strWhere + ": verifying with CRYPT_NOHASHOID");
    r = VerifySha256(context.Get(), key.Get(), signature, CRYPT_NOHASHOID);
    g_checks.FailsWith(r, NTE_BAD_SIGNATURE, strWhere + ": verifying a signature with the OID under CRYPT_NOHASHOID");

    Bytes bcryptBlob;
    if (ToBCryptPublicBlob(publicKey, bcryptBlob, strWhere)) {
        const BCryptPublicKey judge(bcryptBlob);
        if (g_checks.Expect(judge.Status() == 0,
                            strWhere + ": BCrypt imports the public key: " + Hex(static_cast<DWORD>(judge.Status())))) {
            NTSTATUS status = judge.VerifySha256(g_abcSha256, Reversed(signature));
            g_checks.Expect(status == 0,
                            strWhere + ": BCrypt verifies the signature: " + Hex(static_cast<DWORD>(status)));
            status = judge.VerifySha256(g_abcSha256, Reversed(flipped));
            g_checks.Expect(status == kStatusInvalidSignature,
                            strWhere + ": BCrypt on the flipped signature: " + Hex(static_cast<DWORD>(status)));

            // BCrypt encrypts, the CSP decrypts.
            const Bytes plaintext(g_plaintext, g_plaintext + sizeof(g_plaintext) - 1);
            Bytes ciphertext;
            status = judge.EncryptPkcs1(plaintext, ciphertext);
            if (g_checks.Expect(status == 0 && ciphertext.size() == g_keyBytes,
                                strWhere + ": BCryptEncrypt: " + Hex(static_cast<DWORD>(status)))) {
                Bytes buffer = Reversed(ciphertext);
                DWORD cbData = static_cast<DWORD>(buffer.size());
                g_checks.Succeeds(Capture(CryptDecrypt(key.Get(), 0, TRUE, 0, buffer.data(), &cbData)),
                                  strWhere + ": CryptDecrypt of BCrypt's ciphertext");
                buffer.resize(std::min<size_t>(cbData, buffer.size()));
                g_checks.Expect(buffer == plaintext, strWhere + ": CryptDecrypt of BCrypt's ciphertext: wrong bytes");
            }
        }
    }

    // Encryption round trip through the CSP alone.
    {
        Bytes buffer(g_keyBytes, 0);
        std::memcpy(buffer.data(), g_plaintext, sizeof(g_plaintext) - 1);
        DWORD cbData = sizeof(g_plaintext) - 1;
        g_checks.Succeeds(Capture(CryptEncrypt(key.Get(), 0, TRUE, 0, buffer.data(), &cbData, g_keyBytes)),
                          strWhere + ": CryptEncrypt");
        g_checks.Expect(cbData == g_keyBytes, strWhere + ": ciphertext length " + std::to_string(cbData));
        g_checks.Expect(std::memcmp(buffer.data(), g_plaintext, sizeof(g_plaintext) - 1) != 0,
                        strWhere + ": the ciphertext starts with the plaintext");
        g_checks.Succeeds(Capture(CryptDecrypt(key.Get(), 0, TRUE, 0, buffer.data(), &cbData)),
                          strWhere + ": CryptDecrypt");
        g_checks.Expect(cbData == sizeof(g_plaintext) - 1 &&
                            std::memcmp(buffer.data(), g_plaintext, sizeof(g_plaintext) - 1) == 0,
                        strWhere + ": CryptDecrypt gives back other bytes");

        // Zero decrypts to zero, which is no PKCS #1 block.
        Bytes zero(g_keyBytes, 0);
        cbData = g_keyBytes;
        const CallResult rBad = Capture(CryptDecrypt(key.Get(), 0, TRUE, 0, zero.data(), &cbData));
        g_checks.FailsWith(rBad, NTE_BAD_DATA, strWhere + ": CryptDecrypt of a block that is not PKCS #1");
    }

    // The machine key set is another store.
    {
        Context machine;
        r = Acquire(machine, provider, strContainer, CRYPT_MACHINE_KEYSET);
        g_checks.FailsWith(r, NTE_BAD_KEYSET, strWhere + ": the same name in the machine key set");
    }
}

void DeleteContainer(const Provider &provider, const std::wstring &strContainer);

// An exportable signature key pair: it lands in the signature slot, is seen
// from a second context at once, and exports.
void CheckExportableSignatureKey(const Provider &provider, const std::wstring &strContainer)
{
    const std::string strWhere = std::string(provider.pszLabel) + " " + Narrow(strContainer);
    DeleteQuietly(provider, strContainer);
    {
        Context context;
        const CallResult r = Acquire(context, provider, strContainer, CRYPT_NEWKEYSET);
        if (!g_checks.Succeeds(r, strWhere + ": CRYPT_NEWKEYSET")) {
            return;
        }
        Key key;
        if (!g_checks.Succeeds(
                Capture(CryptGenKey(context.Get(), AT_SIGNATURE, (1024 << 16) | CRYPT_EXPORTABLE, key.Out())),
                strWhere + ": CryptGenKey(AT_SIGNATURE, 1024, CRYPT_EXPORTABLE)")) {
            return;
        }
        DWORD cbPrivate = 0;
        g_checks.Succeeds(Capture(CryptExportKey(key.Get(), 0, PRIVATEKEYBLOB, 0, nullptr, &cbPrivate)),
                          strWhere + ": exporting the private half of an exportable key");

        Context second;
        if (g_checks.Succeeds(Acquire(second, provider, strContainer, 0), strWhere + ": a second context")) {
            Key seen;
            g_checks.Succeeds(Capture(CryptGetUserKey(second.Get(), AT_SIGNATURE, seen.Out())),
                              strWhere + ": CryptGetUserKey(AT_SIGNATURE) in a second context");
            g_checks.Expect(ExportPublicKey(seen.Get()) == ExportPublicKey(key.Get()),
                            strWhere + ": the second context sees another key");
            Key none;
            g_checks.FailsWith(Capture(CryptGetUserKey(second.Get(), AT_KEYEXCHANGE, none.Out())), NTE_NO_KEY,
                               strWhere + ": CryptGetUserKey(AT_KEYEXCHANGE) where only a signature key was made");
        }
    }
    DeleteContainer(provider, strContainer);
}

void CheckEnumeration(const std::wstring &strContainer, size_t nCreated, bool fPresent)
{
    for (size_t i = 0; i < sizeof(g_providers) / sizeof(g_providers[0]); ++i) {
        const Provider &provider = g_providers[i];
        const std::string strWhere = provider.pszLabel;
        Context context;
        const CallResult r = Acquire(context, provider, L"", CRYPT_VERIFYCONTEXT);
        if (!g_checks.Succeeds(r, strWhere + ": verification context")) {
            continue;
        }
        const std::vector<std::string> names = EnumContainers(context.Get());
        const bool fExpected = fPresent && i < nCreated;
        g_checks.Expect(Contains(names, Narrow(strContainer)) == fExpected,
                        strWhere + ": PP_ENUMCONTAINERS " + (fExpected ? "lacks " : "lists ") + Narrow(strContainer));
        for (const std::string &name : names) {
            for (const Provider &any : g_providers) {
                const std::string strStored = std::string(QVN_WINE_CSP_STORE_PREFIX) + any.pszLabel + ".";
                g_checks.Expect(name.compare(0, strStored.size(), strStored) != 0,
                                strWhere + ": PP_ENUMCONTAINERS shows the stored name " + name);
            }
        }
    }
}

// A container that needs a prompt: refused under CRYPT_SILENT only.
void CheckPrompt(const Provider &provider, const std::wstring &strContainer)
{
    const std::string strWhere = std::string(provider.pszLabel) + " " + Narrow(strContainer);
    DeleteQuietly(provider, strContainer);

    Context context;
    CallResult r = Acquire(context, provider, strContainer, CRYPT_NEWKEYSET | CRYPT_SILENT);
    g_checks.FailsWith(r, NTE_SILENT_CONTEXT, strWhere + ": CRYPT_NEWKEYSET | CRYPT_SILENT");
    r = Acquire(context, provider, strContainer, CRYPT_SILENT);
    g_checks.FailsWith(r, NTE_BAD_KEYSET, strWhere + ": CRYPT_SILENT before it exists");
    r = Acquire(context, provider, strContainer, CRYPT_NEWKEYSET);
    if (!g_checks.Succeeds(r, strWhere + ": CRYPT_NEWKEYSET")) {
        return;
    }
    context.Release();

    r = Acquire(context, provider, strContainer, CRYPT_SILENT);
    g_checks.FailsWith(r, NTE_SILENT_CONTEXT, strWhere + ": CRYPT_SILENT");
    r = Acquire(context, provider, strContainer, 0);
    g_checks.Succeeds(r, strWhere + ": opening without CRYPT_SILENT");
    context.Release();

    HCRYPTPROV h = 0;
    g_checks.Succeeds(Capture(CryptAcquireContextW(&h, strContainer.c_str(), provider.pszName, provider.dwType,
                                                   CRYPT_DELETEKEYSET | CRYPT_SILENT)),
                      strWhere + ": CRYPT_DELETEKEYSET | CRYPT_SILENT");
    r = Acquire(context, provider, strContainer, 0);
    g_checks.FailsWith(r, NTE_BAD_KEYSET, strWhere + ": opening after deletion");
}

void DeleteContainer(const Provider &provider, const std::wstring &strContainer)
{
    const std::string strWhere = std::string(provider.pszLabel) + " " + Narrow(strContainer);
    HCRYPTPROV h = 0;
    g_checks.Succeeds(
        Capture(CryptAcquireContextW(&h, strContainer.c_str(), provider.pszName, provider.dwType, CRYPT_DELETEKEYSET)),
        strWhere + ": CRYPT_DELETEKEYSET");
    Context context;
    const CallResult r = Acquire(context, provider, strContainer, 0);
    g_checks.FailsWith(r, NTE_BAD_KEYSET, strWhere + ": opening after deletion");
}

} // namespace

int main()
{
    const std::wstring strSuffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring strContainer = L"QvnSmoke-" + strSuffix;
    const std::wstring strPromptContainer = std::wstring(QVN_WINE_CSP_PROMPT_PREFIX_W) + L"Smoke-" + strSuffix;
    const size_t nProviders = sizeof(g_providers) / sizeof(g_providers[0]);

    CheckProviderLookup();

    std::vector<Bytes> publicKeys;
    for (size_t i = 0; i < nProviders; ++i) {
        CheckKeyContainer(g_providers[i], strContainer, publicKeys);
        CheckEnumeration(strContainer, i + 1, true);
    }
    for (const Provider &provider : g_providers) {
        CheckExportableSignatureKey(provider, L"QvnSmokeSig-" + strSuffix);
        CheckPrompt(provider, strPromptContainer);
        DeleteContainer(provider, strContainer);
    }
    CheckEnumeration(strContainer, nProviders, false);

    std::printf("capi_smoke: %d checks, %d failed, %u providers\n", g_checks.Total(), g_checks.Failed(),
                static_cast<unsigned>(nProviders));
    return g_checks.Failed() == 0 ? 0 : 1;
}
