// Smoke test of the Windows platform under Wine: CryptoAPI through Wine's own
// advapi32 and the test CSP (platform/wine) under the four Quorvane names. It
// checks the CSP itself, where the end-to-end suite sees it only through the
// module: lookup by name and type, containers kept apart per name and key set,
// PKCS #1 v1.5 signatures of SHA-256 (with and without the algorithm
// identifier), and prompts under CRYPT_SILENT. The digest is judged by a fixed
// value (SHA-256 of "abc"); the end-to-end suite has BCrypt judge the
// signatures. Built for x86-64 and i386; exits 1 if any check failed.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "QvnWineCsp.h"

namespace
{

using Bytes = std::vector<BYTE>;

struct Provider {
    const char *pszLabel;
    const wchar_t *pszName;
    DWORD dwType, dwWrongType; // the registered type, and one the name is not registered with
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
const DWORD g_cbKey = 256;
int g_nChecks = 0, g_nFailed = 0;

bool Expect(bool fOk, const std::string &strWhat)
{
    ++g_nChecks;
    g_nFailed += fOk ? 0 : 1;
    if (!fOk) {
        std::printf("FAILED: %s\n", strWhat.c_str());
    }
    return fOk;
}

// A call's outcome, the last error read right after it: R(CryptFoo(...)).
// Check(r, 0, ...) wants success; Check(r, NTE_..., ...) wants that error.
DWORD R(BOOL f)
{
    return f ? 0 : GetLastError();
}
bool Check(DWORD dwError, HRESULT hrWanted, const std::string &strWhat)
{
    char sz[64];
    std::snprintf(sz, sizeof(sz), ": 0x%08lX, expected 0x%08lX", static_cast<unsigned long>(dwError),
                  static_cast<unsigned long>(hrWanted));
    return Expect(dwError == static_cast<DWORD>(hrWanted), strWhat + sz);
}

// A CryptoAPI context (0), key (1) or hash (2), released on scope exit.
template <int kKind> struct Owned {
    ULONG_PTR h = 0;
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

// Acquires into pContext (kept) or only to see the outcome (released).
DWORD Acquire(const Provider &p, const std::wstring &strContainer, DWORD dwFlags, Context *pContext = nullptr,
              DWORD dwType = 0)
{
    HCRYPTPROV h = 0;
    const DWORD dwError = R(CryptAcquireContextW(&h, strContainer.empty() ? nullptr : strContainer.c_str(), p.pszName,
                                                 dwType != 0 ? dwType : p.dwType, dwFlags));
    if (pContext != nullptr) {
        pContext->h = h;
    } else if (dwError == 0 && (dwFlags & CRYPT_DELETEKEYSET) == 0) {
        CryptReleaseContext(h, 0);
    }
    return dwError;
}

Bytes PublicKey(HCRYPTKEY hKey)
{
    Bytes blob(4096);
    DWORD cb = 4096;
    blob.resize(CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cb) ? cb : 0);
    return blob;
}

// A hash of "abc" under SHA-256: digesting the data, or taking the digest as
// its value, as the key storage provider sets it.
void HashAbc(HCRYPTPROV hProv, bool fSetValue, Hash &hash)
{
    CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hash.h);
    fSetValue ? CryptSetHashParam(hash.h, HP_HASHVAL, g_abcSha256, 0)
              : CryptHashData(hash.h, reinterpret_cast<const BYTE *>("abc"), 3, 0);
}

Bytes SignAbc(HCRYPTPROV hProv, bool fSetValue, DWORD dwFlags, const std::string &w)
{
    Hash hash;
    HashAbc(hProv, fSetValue, hash);
    Bytes signature(g_cbKey);
    DWORD cb = g_cbKey;
    Check(R(CryptSignHashW(hash.h, AT_KEYEXCHANGE, nullptr, dwFlags, signature.data(), &cb)), 0, w + ": signing");
    Expect(cb == g_cbKey, w + ": a signature of 256 bytes");
    return signature;
}

DWORD VerifyAbc(HCRYPTPROV hProv, HCRYPTKEY hKey, const Bytes &signature, DWORD dwFlags)
{
    Hash hash;
    HashAbc(hProv, true, hash);
    return R(CryptVerifySignatureW(hash.h, signature.data(), g_cbKey, hKey, nullptr, dwFlags));
}

// One provider: a new container of the name that every provider uses, with a
// 2048-bit exchange key, used as the key storage provider uses it.
void CheckContainer(const Provider &p, const std::wstring &strContainer)
{
    const std::string w = p.pszLabel;
    Acquire(p, strContainer, CRYPT_DELETEKEYSET);
    Check(Acquire(p, strContainer, 0), NTE_BAD_KEYSET, w + ": before creation (other names hold one of this name)");
    Bytes publicKey;
    {
        Context context;
        Key key;
        if (!Check(Acquire(p, strContainer, CRYPT_NEWKEYSET, &context), 0, w + ": CRYPT_NEWKEYSET") ||
            !Check(R(CryptGenKey(context.h, AT_KEYEXCHANGE, g_cbKey * 8 << 16, &key.h)), 0, w + ": CryptGenKey")) {
            return;
        }
        DWORD cb = 0;
        Check(R(CryptExportKey(key.h, 0, PRIVATEKEYBLOB, 0, nullptr, &cb)), NTE_BAD_KEY_STATE,
              w + ": exporting a private half");
        publicKey = PublicKey(key.h);
    }
    Check(Acquire(p, strContainer, CRYPT_MACHINE_KEYSET), NTE_BAD_KEYSET, w + ": the name in the machine key set");

    Context context;
    Key key;
    if (!Check(Acquire(p, strContainer, 0, &context), 0, w + ": reopening the container") ||
        !Check(R(CryptGetUserKey(context.h, AT_KEYEXCHANGE, &key.h)), 0, w + ": CryptGetUserKey")) {
        return;
    }
    Expect(PublicKey(key.h) == publicKey, w + ": the stored key is the new one");
    // Deterministic signatures, the same for the hashed data and the set digest.
    const Bytes signature = SignAbc(context.h, false, 0, w);
    Expect(signature == SignAbc(context.h, true, 0, w), w + ": signing the set digest is signing hashed abc");
    Check(VerifyAbc(context.h, key.h, signature, 0), 0, w + ": verifying its own signature");
    Bytes flipped = signature;
    flipped[128] ^= 0x01;
    Check(VerifyAbc(context.h, key.h, flipped, 0), NTE_BAD_SIGNATURE, w + ": a signature with a bit flipped");
    const Bytes noOid = SignAbc(context.h, true, CRYPT_NOHASHOID, w + " CRYPT_NOHASHOID");
    Expect(noOid != signature, w + ": CRYPT_NOHASHOID gives another signature");
    Check(VerifyAbc(context.h, key.h, noOid, CRYPT_NOHASHOID), 0, w + ": verifying with CRYPT_NOHASHOID");
    Check(VerifyAbc(context.h, key.h, signature, CRYPT_NOHASHOID), NTE_BAD_SIGNATURE,
          w + ": a signature with the identifier, verified under CRYPT_NOHASHOID");

    Check(Acquire(p, strContainer, CRYPT_DELETEKEYSET), 0, w + ": CRYPT_DELETEKEYSET");
    Check(Acquire(p, strContainer, 0), NTE_BAD_KEYSET, w + ": opening after deletion");
}

// A container that needs a prompt: refused under CRYPT_SILENT only.
void CheckPrompt(const Provider &p, const std::wstring &strContainer)
{
    const std::string w = std::string(p.pszLabel) + " prompt";
    const struct {
        DWORD dwFlags;
        HRESULT hrWanted;
        const char *pszWhat;
    } steps[] = {
        {CRYPT_NEWKEYSET | CRYPT_SILENT, NTE_SILENT_CONTEXT, "creating silently"},
        {CRYPT_NEWKEYSET, 0, "CRYPT_NEWKEYSET"},
        {CRYPT_SILENT, NTE_SILENT_CONTEXT, "CRYPT_SILENT"},
        {0, 0, "opening without CRYPT_SILENT"},
        {CRYPT_DELETEKEYSET | CRYPT_SILENT, 0, "CRYPT_DELETEKEYSET | CRYPT_SILENT"},
        {0, NTE_BAD_KEYSET, "opening after deletion"},
    };
    Acquire(p, strContainer, CRYPT_DELETEKEYSET);
    for (const auto &step : steps) {
        Check(Acquire(p, strContainer, step.dwFlags), step.hrWanted, w + ": " + step.pszWhat);
    }
}

} // namespace

int main()
{
    const std::wstring strSuffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring strContainer = L"QvnSmoke-" + strSuffix;
    for (const Provider &p : g_providers) {
        Check(Acquire(p, L"", CRYPT_VERIFYCONTEXT), 0, std::string(p.pszLabel) + ": acquiring by name and type");
        Check(Acquire(p, L"", CRYPT_VERIFYCONTEXT, nullptr, p.dwWrongType), NTE_PROV_TYPE_NO_MATCH,
              std::string(p.pszLabel) + ": acquiring with another type");
    }
    const Provider elm = {"Elm", L"Quorvane Elm Cryptographic Provider", PROV_RSA_FULL, 0};
    Check(Acquire(elm, L"", CRYPT_VERIFYCONTEXT), NTE_KEYSET_NOT_DEF, "an unregistered provider name");

    for (const Provider &p : g_providers) {
        CheckContainer(p, strContainer);
        CheckPrompt(p, std::wstring(QVN_WINE_CSP_PROMPT_PREFIX_W) + L"Smoke-" + strSuffix);
    }
    std::printf("capi_smoke: %d checks, %d failed, %u providers\n", g_nChecks, g_nFailed, 4u);
    return g_nFailed == 0 ? 0 : 1;
}
