// Helpers of the CryptoAPI tests: owning handles and common set-ups.
#ifndef QVN_TESTS_PLATFORM_CAPI_CAPITESTUTIL_H
#define QVN_TESTS_PLATFORM_CAPI_CAPITESTUTIL_H

#include <TestSupport.h>

#include <qvnplatform.h>

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace capitest
{

using namespace qvntest;

// An error value as GetLastError() returns it.
constexpr DWORD Code(HRESULT hr)
{
    return static_cast<DWORD>(hr);
}

// A call that must fail with hr (an HRESULT or a Win32 error) as the last error.
#define EXPECT_FAILS(hr, call)                                                                                         \
    do {                                                                                                               \
        const BOOL fOk_ = (call);                                                                                      \
        const DWORD dwError_ = GetLastError();                                                                         \
        EXPECT_FALSE(fOk_) << #call;                                                                                   \
        EXPECT_EQ(::capitest::Code(hr), dwError_) << #call;                                                            \
    } while (0)

// Owns a context, key or hash handle and gives it back at scope end.
template <typename T, BOOL (*Free)(T)> class Owned
{
public:
    Owned() = default;
    explicit Owned(T h) : m_h(h) {}
    ~Owned() { Reset(); }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    T *Out()
    {
        Reset();
        return &m_h;
    }
    operator T() const { return m_h; }
    void Reset()
    {
        if (m_h != 0) {
            Free(m_h);
            m_h = 0;
        }
    }

private:
    T m_h = 0;
};
inline BOOL ReleaseContext(HCRYPTPROV hProv)
{
    return CryptReleaseContext(hProv, 0);
}
using Prov = Owned<HCRYPTPROV, ReleaseContext>;
using Key = Owned<HCRYPTKEY, CryptDestroyKey>;
using Hash = Owned<HCRYPTHASH, CryptDestroyHash>;

// Acquires a context of the provider (its own type); a test failure if that fails.
inline bool Acquire(Prov *pProv, const WCHAR *pszContainer, DWORD dwFlags = 0,
                    const WCHAR *pszProvider = kAlderProvider)
{
    const BOOL fOk =
        CryptAcquireContextW(pProv->Out(), pszContainer, pszProvider, ProviderTypeOf(pszProvider), dwFlags);
    EXPECT_TRUE(fOk) << "CryptAcquireContextW failed with 0x" << std::hex << GetLastError();
    return fOk;
}

// A hash object of the algorithm whose value is set to value.
inline bool HashWithValue(Hash *pHash, HCRYPTPROV hProv, ALG_ID algid, const Bytes &value)
{
    const BOOL fOk =
        CryptCreateHash(hProv, algid, 0, 0, pHash->Out()) && CryptSetHashParam(*pHash, HP_HASHVAL, value.data(), 0);
    EXPECT_TRUE(fOk) << "hash set-up failed with 0x" << std::hex << GetLastError();
    return fOk;
}

// CryptSignHashW into a buffer of the key length; empty on failure.
inline Bytes SignWith(HCRYPTHASH hHash, DWORD dwKeySpec, DWORD dwFlags, DWORD cbKey)
{
    Bytes signature(cbKey);
    DWORD cbSignature = cbKey;
    if (!CryptSignHashW(hHash, dwKeySpec, nullptr, dwFlags, signature.data(), &cbSignature)) {
        ADD_FAILURE() << "CryptSignHashW failed with 0x" << std::hex << GetLastError();
        return Bytes();
    }
    EXPECT_EQ(cbKey, cbSignature);
    return signature;
}

// CryptExportKey of a blob type, size query first; empty on failure.
inline Bytes Export(HCRYPTKEY hKey, DWORD dwBlobType)
{
    DWORD cbBlob = 0;
    Bytes blob;
    if (CryptExportKey(hKey, 0, dwBlobType, 0, nullptr, &cbBlob)) {
        blob.resize(cbBlob);
        if (CryptExportKey(hKey, 0, dwBlobType, 0, blob.data(), &cbBlob) && cbBlob == blob.size()) {
            return blob;
        }
    }
    ADD_FAILURE() << "CryptExportKey failed with 0x" << std::hex << GetLastError();
    return Bytes();
}

// A DWORD key parameter; 0xFFFFFFFF with a test failure if the call fails.
inline DWORD KeyParam(HCRYPTKEY hKey, DWORD dwParam)
{
    DWORD dwValue = 0, cbValue = sizeof(dwValue);
    const BOOL fOk = CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0);
    EXPECT_TRUE(fOk && cbValue == 4) << "CryptGetKeyParam failed with 0x" << std::hex << GetLastError();
    return fOk ? dwValue : 0xFFFFFFFF;
}

// The hash sizes of the algorithms the CSPs offer.
inline DWORD HashSizeOf(ALG_ID algid)
{
    const std::pair<ALG_ID, DWORD> sizes[] = {
        {CALG_SHA1, 20}, {CALG_SHA_256, 32}, {CALG_SSL3_SHAMD5, 36}, {CALG_SHA_384, 48}, {CALG_SHA_512, 64}};
    for (const auto &size : sizes) {
        if (size.first == algid) {
            return size.second;
        }
    }
    return 16; // MD2, MD4, MD5
}

// Each test's own store, with a container of the given name holding key as
// its pair of dwKeySpec, acquired into m_prov with that pair in m_key.
class ContainerTest : public StoreTest
{
protected:
    void SetUpContainer(const TestKey &key, DWORD dwKeySpec = AT_KEYEXCHANGE, const WCHAR *pszName = u"container")
    {
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, pszName, dwKeySpec, key));
        ASSERT_TRUE(Acquire(&m_prov, pszName));
        ASSERT_TRUE(CryptGetUserKey(m_prov, dwKeySpec, m_key.Out()));
    }

    Prov m_prov;
    Key m_key;
};

} // namespace capitest

#endif
