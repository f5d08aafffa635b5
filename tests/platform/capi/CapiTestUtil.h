// Small helpers for the CryptoAPI tests: owning handle wrappers and shortcuts
// for common setups.
#ifndef QVN_TESTS_PLATFORM_CAPI_CAPITESTUTIL_H
#define QVN_TESTS_PLATFORM_CAPI_CAPITESTUTIL_H

#include <TestSupport.h>

#include <qvnplatform.h>

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

namespace capitest
{

using qvntest::Bytes;
using qvntest::WString;

// An error value as GetLastError() returns it.
constexpr DWORD Code(HRESULT hr)
{
    return static_cast<DWORD>(hr);
}

// Owns a context, a key or a hash and releases it at scope end.
class Prov
{
public:
    Prov() = default;
    explicit Prov(HCRYPTPROV h) : m_h(h) {}
    ~Prov() { Reset(); }
    Prov(const Prov &) = delete;
    Prov &operator=(const Prov &) = delete;
    HCRYPTPROV *Out()
    {
        Reset();
        return &m_h;
    }
    HCRYPTPROV Get() const { return m_h; }
    operator HCRYPTPROV() const { return m_h; }
    HCRYPTPROV Release()
    {
        HCRYPTPROV h = m_h;
        m_h = 0;
        return h;
    }
    void Reset()
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
    explicit Key(HCRYPTKEY h) : m_h(h) {}
    ~Key() { Reset(); }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    HCRYPTKEY *Out()
    {
        Reset();
        return &m_h;
    }
    operator HCRYPTKEY() const { return m_h; }
    HCRYPTKEY Release()
    {
        HCRYPTKEY h = m_h;
        m_h = 0;
        return h;
    }
    void Reset()
    {
        if (m_h != 0) {
            CryptDestroyKey(m_h);
            m_h = 0;
        }
    }

private:
    HCRYPTKEY m_h = 0;
};

class Hash
{
public:
    Hash() = default;
    explicit Hash(HCRYPTHASH h) : m_h(h) {}
    ~Hash() { Reset(); }
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;
    HCRYPTHASH *Out()
    {
        Reset();
        return &m_h;
    }
    operator HCRYPTHASH() const { return m_h; }
    HCRYPTHASH Release()
    {
        HCRYPTHASH h = m_h;
        m_h = 0;
        return h;
    }
    void Reset()
    {
        if (m_h != 0) {
            CryptDestroyHash(m_h);
            m_h = 0;
        }
    }

private:
    HCRYPTHASH m_h = 0;
};

// Acquires an existing container (or a verification context when pszContainer
// is null and dwFlags has CRYPT_VERIFYCONTEXT); a test failure if that fails.
inline bool Acquire(Prov *pProv, const WCHAR *pszContainer, DWORD dwFlags = 0,
                    const WCHAR *pszProvider = qvntest::kAlderProvider)
{
    if (!CryptAcquireContextW(pProv->Out(), pszContainer, pszProvider, qvntest::ProviderTypeOf(pszProvider), dwFlags)) {
        ADD_FAILURE() << "CryptAcquireContextW failed with 0x" << std::hex << GetLastError();
        return false;
    }
    return true;
}

// A hash object of the algorithm whose finished value is set to value.
inline bool HashWithValue(Hash *pHash, HCRYPTPROV hProv, ALG_ID algid, const Bytes &value)
{
    if (!CryptCreateHash(hProv, algid, 0, 0, pHash->Out())) {
        ADD_FAILURE() << "CryptCreateHash failed with 0x" << std::hex << GetLastError();
        return false;
    }
    if (!CryptSetHashParam(*pHash, HP_HASHVAL, value.data(), 0)) {
        ADD_FAILURE() << "CryptSetHashParam failed with 0x" << std::hex << GetLastError();
        return false;
    }
    return true;
}

// Signs with CryptSignHashW into a buffer of the key length; empty on failure.
inline Bytes SignWith(HCRYPTHASH hHash, DWORD dwKeySpec, DWORD dwFlags, DWORD cbKey)
{
    Bytes signature(cbKey);
    DWORD cbSignature = cbKey;
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, dwFlags, signature.data(), &cbSignature)) {
        ADD_FAILURE() << "CryptSignHashW failed with 0x" << std::hex << GetLastError();
        return Bytes();
    }
    EXPECT_EQ(cbKey, cbSignature);
    signature.resize(cbSignature);
    return signature;
}

// The hash sizes of the algorithms the CSPs offer.
inline DWORD HashSizeOf(ALG_ID algid)
{
    switch (algid) {
    case CALG_MD2:
    case CALG_MD4:
    case CALG_MD5:
        return 16;
    case CALG_SHA1:
        return 20;
    case CALG_SHA_256:
        return 32;
    case CALG_SSL3_SHAMD5:
        return 36;
    case CALG_SHA_384:
        return 48;
    case CALG_SHA_512:
        return 64;
    default:
        return 0;
    }
}

} // namespace capitest

#endif
