// See WineFaults.h.
#include "WineFaults.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace
{

// CryptoAPI gives and takes PKCS #1 values least significant byte first.
qvntest::Bytes Reversed(qvntest::Bytes bytes)
{
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// The key imported into an rsaenh verification context.
struct Judge {
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    explicit Judge(const qvntest::TestKey &key)
    {
        EXPECT_TRUE(CryptAcquireContextW(&hProv, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
                    CryptImportKey(hProv, key.blob.data(), DWORD(key.blob.size()), 0, 0, &hKey))
            << GetLastError();
    }
    ~Judge()
    {
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
    }
};

} // namespace

namespace qvntest
{

const WCHAR *const kAlderProvider = L"Quorvane Alder Cryptographic Provider";
const WCHAR *const kCedarProvider = L"Quorvane Cedar Cryptographic Provider";

ScopedStore::ScopedStore()
{
    QvnPlatformClearFailures();
    QvnPlatformClearCallLog();
    QvnPlatformFailModuleMalloc(0);
}

std::string Hex(const Bytes &bytes)
{
    std::string str;
    for (BYTE b : bytes) {
        str += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return str;
}

Bytes PatternBytes(size_t cb, unsigned seed)
{
    Bytes bytes(cb);
    std::generate(bytes.begin(), bytes.end(), [&] { return BYTE((seed = seed * 1103515245u + 12345u) >> 16); });
    return bytes;
}

const TestKey &CachedTestKey(DWORD dwBits, int iVariant)
{
    static std::map<std::pair<DWORD, int>, TestKey> s_keys;
    TestKey &key = s_keys[{dwBits, iVariant}];
    if (key.blob.empty()) {
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        DWORD cb = 4096;
        key.blob.resize(cb);
        EXPECT_TRUE(CryptAcquireContextW(&hProv, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
                    CryptGenKey(hProv, AT_KEYEXCHANGE, dwBits << 16 | CRYPT_EXPORTABLE, &hKey) &&
                    CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, key.blob.data(), &cb));
        key.blob.resize(cb);
        CryptDestroyKey(hKey);
        CryptReleaseContext(hProv, 0);
    }
    return key;
}

bool CreateContainerWithKey(const WCHAR *pszProvider, const WCHAR *pszContainer, DWORD dwKeySpec, const TestKey &key)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    CryptAcquireContextW(&hProv, pszContainer, pszProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    Bytes blob = key.blob;
    const ALG_ID aiKeyAlg = dwKeySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX;
    std::memcpy(&blob[offsetof(BLOBHEADER, aiKeyAlg)], &aiKeyAlg, sizeof(aiKeyAlg));
    const bool fMade = CryptAcquireContextW(&hProv, pszContainer, pszProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET) &&
                       CryptImportKey(hProv, blob.data(), DWORD(blob.size()), 0, 0, &hKey) && CryptDestroyKey(hKey);
    EXPECT_TRUE(fMade) << "a container with its key: " << GetLastError();
    CryptReleaseContext(hProv, 0);
    return fMade;
}

Bytes JudgeSign(const TestKey &key, ALG_ID aiHash, const Bytes &hash)
{
    Judge judge(key);
    HCRYPTHASH hHash = 0;
    Bytes signature(key.blob.size());
    DWORD cb = DWORD(signature.size());
    EXPECT_TRUE(CryptCreateHash(judge.hProv, aiHash, 0, 0, &hHash) &&
                CryptSetHashParam(hHash, HP_HASHVAL, hash.data(), 0) &&
                CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cb));
    CryptDestroyHash(hHash);
    signature.resize(cb);
    return Reversed(signature);
}

Bytes JudgeEncrypt(const TestKey &key, const Bytes &plaintext)
{
    Judge judge(key);
    Bytes buffer = plaintext;
    buffer.resize(key.blob.size());
    DWORD cb = DWORD(plaintext.size());
    EXPECT_TRUE(CryptEncrypt(judge.hKey, 0, TRUE, 0, buffer.data(), &cb, DWORD(buffer.size())));
    buffer.resize(cb);
    return Reversed(buffer);
}

std::optional<Bytes> JudgeDecrypt(const TestKey &key, const Bytes &ciphertext)
{
    Judge judge(key);
    Bytes buffer = Reversed(ciphertext);
    DWORD cb = DWORD(buffer.size());
    if (!CryptDecrypt(judge.hKey, 0, TRUE, 0, buffer.data(), &cb)) {
        return std::nullopt;
    }
    buffer.resize(cb);
    return buffer;
}

} // namespace qvntest
