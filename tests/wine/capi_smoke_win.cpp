// Smoke test of the Windows platform under Wine: CryptoAPI through Wine's own
// advapi32 and the test CSP (platform/wine) under the four Quorvane names. It
// checks what the key storage provider and its tests rely on: lookup by name
// and type, containers kept apart per name and key set, 2048-bit keys, SHA-256,
// PKCS #1 v1.5 signatures (with and without the algorithm identifier) and
// encryption, and prompts under CRYPT_SILENT. Results are
// judged by a fixed value (SHA-256 of "abc") and by the platform's BCrypt,
// never by the CSP that made them. Exits 1 if any check failed.
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

const struct Provider {
    const char *pszLabel;
    const wchar_t *pszName;
    DWORD dwType;
    DWORD dwWrongType; // a type that the name is not registered with
} g_providers[] = {
    {"Alder", L"Quorvane Alder Cryptographic Provider", PROV_RSA_FULL, PROV_RSA_AES},
    {"Birch", L"Quorvane Birch Cryptographic Provider", PROV_RSA_SCHANNEL, PROV_RSA_FULL},
    {"Cedar", L"Quorvane Cedar Cryptographic Provider", PROV_RSA_AES, PROV_RSA_FULL},
    {"Dogwood", L"Quorvane Dogwood Cryptographic Provider", PROV_RSA_FULL, PROV_RSA_SCHANNEL},
};
const BYTE g_abcSha256[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                              0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                              0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
const DWORD g_cbKey = 256;
int g_nChecks = 0;
int g_nFailed = 0;

std::string Hex(DWORD dw)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08lX", static_cast<unsigned long>(dw));
    return sz;
}

bool Expect(bool fOk, const std::string &strWhat)
{
    ++g_nChecks;
    if (!fOk) {
        ++g_nFailed;
        std::printf("FAILED: %s\n", strWhat.c_str());
    }
    return fOk;
}

// A call's result with the last error read right after it: R(CryptFoo(...)).
struct Result {
    BOOL f;
    DWORD dwError;
};
Result R(BOOL f)
{
    return {f, GetLastError()};
}
bool Ok(const Result &r, const std::string &strWhat)
{
    return Expect(r.f != FALSE, strWhat + " failed with " + Hex(r.dwError));
}
bool Fails(const Result &r, HRESULT hr, const std::string &strWhat)
{
    return Expect(!r.f && r.dwError == static_cast<DWORD>(hr),
                  strWhat + ": " + (r.f ? "succeeded" : Hex(r.dwError)) + ", expected " + Hex(static_cast<DWORD>(hr)));
}

// A CryptoAPI context (0), key (1) or hash (2), released on scope exit.
template <int kKind> struct Owned {
    ULONG_PTR h = 0;
    Owned() = default;
    Owned(const Owned &) = delete;
    ~Owned()
    {
        if (h != 0) {
            kKind == 0 ? CryptReleaseContext(h, 0) : kKind == 1 ? CryptDestroyKey(h) : CryptDestroyHash(h);
        }
    }
};
using Context = Owned<0>;
using Key = Owned<1>;
using Hash = Owned<2>;

Result Acquire(const Provider &p, const std::wstring &strContainer, DWORD dwFlags, DWORD dwType = 0)
{
    HCRYPTPROV h = 0;
    const Result r = R(CryptAcquireContextW(&h, strContainer.empty() ? nullptr : strContainer.c_str(), p.pszName,
                                            dwType != 0 ? dwType : p.dwType, dwFlags));
    if (r.f && (dwFlags & CRYPT_DELETEKEYSET) == 0) {
        CryptReleaseContext(h, 0);
    }
    return r;
}

bool Open(Context &context, const Provider &p, const std::wstring &strContainer, DWORD dwFlags, const std::string &w)
{
    return Ok(R(CryptAcquireContextW(&context.h, strContainer.empty() ? nullptr : strContainer.c_str(), p.pszName,
                                     p.dwType, dwFlags)),
              w + ": acquiring with flags " + Hex(dwFlags));
}

Result Export(HCRYPTKEY hKey, DWORD dwBlobType, Bytes *pBlob = nullptr)
{
    Bytes blob(4096);
    DWORD cb = 4096;
    const Result r = R(CryptExportKey(hKey, 0, dwBlobType, 0, blob.data(), &cb));
    if (pBlob != nullptr) {
        pBlob->assign(blob.begin(), blob.begin() + (r.f ? cb : 0));
    }
    return r;
}

Bytes PublicKey(HCRYPTKEY hKey)
{
    Bytes blob;
    Export(hKey, PUBLICKEYBLOB, &blob);
    return blob;
}

// Signs SHA-256 of "abc" with the exchange key, the hash either digesting the
// data or taking the digest as its value, as the key storage provider sets it.
Bytes SignAbc(HCRYPTPROV hProv, bool fSetValue, DWORD dwFlags, const std::string &w)
{
    Hash hash;
    Bytes signature(g_cbKey);
    DWORD cb = g_cbKey;
    const bool fOk =
        Ok(R(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hash.h)), w + ": CryptCreateHash") &&
        Ok(fSetValue ? R(CryptSetHashParam(hash.h, HP_HASHVAL, g_abcSha256, 0))
                     : R(CryptHashData(hash.h, reinterpret_cast<const BYTE *>("abc"), 3, 0)),
           w + ": setting the hash") &&
        Ok(R(CryptSignHashW(hash.h, AT_KEYEXCHANGE, nullptr, dwFlags, signature.data(), &cb)), w + ": CryptSignHashW");
    return Expect(fOk && cb == g_cbKey, w + ": a signature of 256 bytes") ? signature : Bytes(g_cbKey);
}

Result VerifyAbc(HCRYPTPROV hProv, HCRYPTKEY hKey, const Bytes &signature, DWORD dwFlags)
{
    Hash hash;
    CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hash.h);
    CryptSetHashParam(hash.h, HP_HASHVAL, g_abcSha256, 0);
    return R(
        CryptVerifySignatureW(hash.h, signature.data(), static_cast<DWORD>(signature.size()), hKey, nullptr, dwFlags));
}

// BCrypt's verdict on a signature of SHA-256("abc") under the modulus of a
// PUBLICKEYBLOB whose exponent is 65537; BCrypt's numbers are big-endian.
NTSTATUS BCryptVerifyAbc(const Bytes &blob, const Bytes &signature)
{
    const BCRYPT_RSAKEY_BLOB header = {BCRYPT_RSAPUBLIC_MAGIC, 2048, 3, g_cbKey, 0, 0};
    Bytes rsa(reinterpret_cast<const BYTE *>(&header), reinterpret_cast<const BYTE *>(&header) + sizeof(header));
    rsa.insert(rsa.end(), {0x01, 0x00, 0x01});
    rsa.insert(rsa.end(), blob.rbegin(), blob.rbegin() + g_cbKey);
    Bytes bigEndian(signature.rbegin(), signature.rend());
    BCRYPT_ALG_HANDLE hAlg = nullptr;
    BCRYPT_KEY_HANDLE hKey = nullptr;
    BCRYPT_PKCS1_PADDING_INFO sha256 = {BCRYPT_SHA256_ALGORITHM};
    NTSTATUS status = BCryptOpenAlgorithmProvider(&hAlg, BCRYPT_RSA_ALGORITHM, nullptr, 0);
    if (status == 0 && (status = BCryptImportKeyPair(hAlg, nullptr, BCRYPT_RSAPUBLIC_BLOB, &hKey, rsa.data(),
                                                     static_cast<ULONG>(rsa.size()), 0)) == 0) {
        status = BCryptVerifySignature(hKey, &sha256, const_cast<PUCHAR>(g_abcSha256), 32, bigEndian.data(), g_cbKey,
                                       BCRYPT_PAD_PKCS1);
        BCryptDestroyKey(hKey);
    }
    BCryptCloseAlgorithmProvider(hAlg, 0);
    return status;
}

// One provider: a new container of the name that every provider uses, with a
// 2048-bit exchange key, used as the key storage provider uses it.
void CheckContainer(const Provider &p, const std::wstring &strContainer)
{
    const std::string w = p.pszLabel;
    Acquire(p, strContainer, CRYPT_DELETEKEYSET);
    Fails(Acquire(p, strContainer, 0), NTE_BAD_KEYSET, w + ": before creation (other names hold one of this name)");
    Bytes publicKey;
    {
        Context context;
        Key key;
        if (!Open(context, p, strContainer, CRYPT_NEWKEYSET, w) ||
            !Ok(R(CryptGenKey(context.h, AT_KEYEXCHANGE, g_cbKey * 8 << 16, &key.h)), w + ": CryptGenKey")) {
            return;
        }
        Fails(Export(key.h, PRIVATEKEYBLOB), NTE_BAD_KEY_STATE, w + ": exporting a private half");
        Context second; // sees the key while the first context is open
        Key seen;
        Ok(R(Open(second, p, strContainer, 0, w) && CryptGetUserKey(second.h, AT_KEYEXCHANGE, &seen.h)),
           w + ": the key from a second context");
        publicKey = PublicKey(key.h);
    }
    Fails(Acquire(p, strContainer, CRYPT_MACHINE_KEYSET), NTE_BAD_KEYSET, w + ": the name in the machine key set");

    Context context;
    Key key, signatureKey; // the container has no signature key
    DWORD dwBits = 0, cb = sizeof(dwBits);
    if (!Open(context, p, strContainer, 0, w) ||
        !Ok(R(CryptGetUserKey(context.h, AT_KEYEXCHANGE, &key.h)), w + ": CryptGetUserKey")) {
        return;
    }
    Expect(PublicKey(key.h) == publicKey, w + ": the stored key differs from the new one");
    Ok(R(CryptGetKeyParam(key.h, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cb, 0)), w + ": KP_KEYLEN");
    Expect(dwBits == 2048, w + ": KP_KEYLEN is " + std::to_string(dwBits));
    Fails(R(CryptGetUserKey(context.h, AT_SIGNATURE, &signatureKey.h)), NTE_NO_KEY,
          w + ": a signature key where none was made");
    Hash hash;
    DWORD dwSize = 0;
    cb = sizeof(dwSize);
    Ok(R(CryptCreateHash(context.h, CALG_SHA_256, 0, 0, &hash.h) &&
         CryptGetHashParam(hash.h, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwSize), &cb, 0)),
       w + ": HP_HASHSIZE");
    Expect(dwSize == 32, w + ": HP_HASHSIZE is " + std::to_string(dwSize));

    // Deterministic signatures, the same for the hashed data and the set digest.
    const Bytes signature = SignAbc(context.h, false, 0, w);
    Expect(signature == SignAbc(context.h, true, 0, w), w + ": signing the set digest differs from hashing abc");
    Ok(VerifyAbc(context.h, key.h, signature, 0), w + ": verifying its own signature");
    Bytes flipped = signature;
    flipped[128] ^= 0x01;
    Fails(VerifyAbc(context.h, key.h, flipped, 0), NTE_BAD_SIGNATURE, w + ": a signature with a bit flipped");
    const Bytes noOid = SignAbc(context.h, true, CRYPT_NOHASHOID, w + " CRYPT_NOHASHOID");
    Expect(noOid != signature, w + ": CRYPT_NOHASHOID gives the same signature");
    Ok(VerifyAbc(context.h, key.h, noOid, CRYPT_NOHASHOID), w + ": verifying with CRYPT_NOHASHOID");
    Fails(VerifyAbc(context.h, key.h, signature, CRYPT_NOHASHOID), NTE_BAD_SIGNATURE,
          w + ": a signature with the identifier, verified under CRYPT_NOHASHOID");

    // BCrypt, holding the public key, judges the signatures.
    const Bytes &blob = publicKey;
    if (Expect(blob.size() == 20 + g_cbKey && blob[0] == PUBLICKEYBLOB && std::memcmp(&blob[8], "RSA1", 4) == 0 &&
                   std::memcmp(&blob[16], "\x01\x00\x01\x00", 4) == 0,
               w + ": a PUBLICKEYBLOB of RSA1, exponent 65537")) {
        Expect(BCryptVerifyAbc(blob, signature) == 0, w + ": BCrypt refuses the signature");
        Expect(BCryptVerifyAbc(blob, flipped) == static_cast<NTSTATUS>(0xC000A000L),
               w + ": BCrypt takes a flipped one");
    }
    // Encryption; zero decrypts to zero, which is no PKCS #1 block.
    const Bytes plaintext = {'Q', 'u', 'o', 'r', 'v', 'a', 'n', 'e'};
    Bytes buffer = plaintext;
    buffer.resize(g_cbKey);
    cb = 8;
    Ok(R(CryptEncrypt(key.h, 0, TRUE, 0, buffer.data(), &cb, g_cbKey) && cb == g_cbKey &&
         CryptDecrypt(key.h, 0, TRUE, 0, buffer.data(), &cb)),
       w + ": CryptEncrypt and CryptDecrypt");
    Expect(Bytes(buffer.begin(), buffer.begin() + std::min<DWORD>(cb, g_cbKey)) == plaintext, w + ": round trip");
    Bytes zero(g_cbKey, 0);
    cb = g_cbKey;
    Fails(R(CryptDecrypt(key.h, 0, TRUE, 0, zero.data(), &cb)), NTE_BAD_DATA, w + ": decrypting zero");
}

// A container that needs a prompt: refused under CRYPT_SILENT only.
void CheckPrompt(const Provider &p, const std::wstring &strContainer)
{
    const std::string w = std::string(p.pszLabel) + " prompt";
    Acquire(p, strContainer, CRYPT_DELETEKEYSET);
    Fails(Acquire(p, strContainer, CRYPT_NEWKEYSET | CRYPT_SILENT), NTE_SILENT_CONTEXT, w + ": creating silently");
    Fails(Acquire(p, strContainer, CRYPT_SILENT), NTE_BAD_KEYSET, w + ": CRYPT_SILENT before it exists");
    Ok(Acquire(p, strContainer, CRYPT_NEWKEYSET), w + ": CRYPT_NEWKEYSET");
    Fails(Acquire(p, strContainer, CRYPT_SILENT), NTE_SILENT_CONTEXT, w + ": CRYPT_SILENT");
    Ok(Acquire(p, strContainer, 0), w + ": opening without CRYPT_SILENT");
    Ok(Acquire(p, strContainer, CRYPT_DELETEKEYSET | CRYPT_SILENT), w + ": CRYPT_DELETEKEYSET | CRYPT_SILENT");
    Fails(Acquire(p, strContainer, 0), NTE_BAD_KEYSET, w + ": opening after deletion");
}

} // namespace

int main()
{
    const std::wstring strSuffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring strContainer = L"QvnSmoke-" + strSuffix;
    for (const Provider &p : g_providers) {
        Context context;
        char szName[MAX_PATH + 1] = {};
        DWORD dwType = 0, cbName = sizeof(szName), cbType = sizeof(dwType);
        Ok(R(Open(context, p, L"", CRYPT_VERIFYCONTEXT, p.pszLabel) &&
             CryptGetProvParam(context.h, PP_NAME, reinterpret_cast<BYTE *>(szName), &cbName, 0) &&
             CryptGetProvParam(context.h, PP_PROVTYPE, reinterpret_cast<BYTE *>(&dwType), &cbType, 0)),
           std::string(p.pszLabel) + ": PP_NAME and PP_PROVTYPE");
        Expect(std::wstring(p.pszName) == std::wstring(szName, szName + std::strlen(szName)) && dwType == p.dwType,
               std::string(p.pszLabel) + ": PP_NAME " + szName + ", PP_PROVTYPE " + std::to_string(dwType));
        Fails(Acquire(p, L"", CRYPT_VERIFYCONTEXT, p.dwWrongType), NTE_PROV_TYPE_NO_MATCH,
              std::string(p.pszLabel) + ": acquiring with another type");
    }
    const Provider elm = {"Elm", L"Quorvane Elm Cryptographic Provider", PROV_RSA_FULL, 0};
    Fails(Acquire(elm, L"", CRYPT_VERIFYCONTEXT), NTE_KEYSET_NOT_DEF, "an unregistered provider name");

    for (size_t i = 0; i < 4; ++i) {
        CheckContainer(g_providers[i], strContainer);
        CheckPrompt(g_providers[i], std::wstring(QVN_WINE_CSP_PROMPT_PREFIX_W) + L"Smoke-" + strSuffix);
    }
    for (const Provider &p : g_providers) {
        Ok(Acquire(p, strContainer, CRYPT_DELETEKEYSET), std::string(p.pszLabel) + ": CRYPT_DELETEKEYSET");
        Fails(Acquire(p, strContainer, 0), NTE_BAD_KEYSET, std::string(p.pszLabel) + ": opening after deletion");
    }
    std::printf("capi_smoke: %d checks, %d failed, %u providers\n", g_nChecks, g_nFailed, 4u);
    return g_nFailed == 0 ? 0 : 1;
}
