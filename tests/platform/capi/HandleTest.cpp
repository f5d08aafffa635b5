// CryptoAPI handles: every function refuses null, unknown, stale and foreign
// handles with ERROR_INVALID_PARAMETER (as advapi32 does) and writes nothing;
// releasing a context destroys its keys and hashes; the live counts follow;
// handles made in one thread work in others.
#include "CapiTestUtil.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

using namespace capitest;

namespace
{

class HandleTest : public ContainerTest
{
protected:
    void SetUp() override
    {
        ContainerTest::SetUp();
        SetUpContainer(CachedTestKey(1024));
    }
};

TEST_F(HandleTest, NullUnknownForeignAndStaleHandlesAreInvalidParameter)
{
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, Bytes(20, 2)));
    HCRYPTPROV hStaleProv = 0;
    HCRYPTKEY hStaleKey = 0;
    HCRYPTHASH hStaleHash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hStaleProv, nullptr, kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(hStaleProv, 0));
    ASSERT_TRUE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hStaleKey));
    ASSERT_TRUE(CryptDestroyKey(hStaleKey));
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &hStaleHash));
    ASSERT_TRUE(CryptDestroyHash(hStaleHash));

    BYTE ab[512];
    DWORD cb = 4;
    HCRYPTKEY hOutKey = 0x77;
    HCRYPTHASH hOutHash = 0x77;
    ULONG_PTR hBad = 0;
    const HCRYPTPROV hProv = m_prov;
    const HCRYPTKEY hKey = m_key;
    const HCRYPTHASH hHash = hash;
    // Null, unknown, a handle of another kind, and a stale one, for each call.
    const struct {
        const char *pszCall;
        std::vector<ULONG_PTR> badHandles;
        std::function<BOOL()> fnCall;
    } calls[] = {
        {"GetUserKey", {0, hHash, hStaleProv}, [&] { return CryptGetUserKey(hBad, AT_KEYEXCHANGE, &hOutKey); }},
        {"CreateHash", {0, hKey, hStaleProv}, [&] { return CryptCreateHash(hBad, CALG_SHA1, 0, 0, &hOutHash); }},
        {"ReleaseContext", {0, 1, hKey, hStaleProv}, [&] { return CryptReleaseContext(hBad, 0); }},
        {"GetKeyParam", {0, 1, hProv, hHash, hStaleKey}, [&] { return CryptGetKeyParam(hBad, KP_KEYLEN, ab, &cb, 0); }},
        {"ExportKey", {0, hStaleKey}, [&] { return CryptExportKey(hBad, 0, PUBLICKEYBLOB, 0, ab, &cb); }},
        {"Verify key", {0, hStaleKey}, [&] { return CryptVerifySignatureW(hHash, ab, 128, hBad, nullptr, 0); }},
        {"Encrypt", {0, hStaleKey}, [&] { return CryptEncrypt(hBad, 0, TRUE, 0, ab, &cb, sizeof(ab)); }},
        {"Decrypt", {0, hStaleKey}, [&] { return CryptDecrypt(hBad, 0, TRUE, 0, ab, &cb); }},
        {"DestroyKey", {0, hHash, hStaleKey}, [&] { return CryptDestroyKey(hBad); }},
        {"GetHashParam", {0, hStaleHash}, [&] { return CryptGetHashParam(hBad, HP_HASHVAL, ab, &cb, 0); }},
        {"SetHashParam", {0, hStaleHash}, [&] { return CryptSetHashParam(hBad, HP_HASHVAL, ab, 0); }},
        {"SignHash", {0, hKey, hStaleHash}, [&] { return CryptSignHashW(hBad, AT_KEYEXCHANGE, nullptr, 0, ab, &cb); }},
        {"Verify hash", {hStaleHash}, [&] { return CryptVerifySignatureW(hBad, ab, 128, hKey, nullptr, 0); }},
        {"DestroyHash", {0, hKey, hStaleHash}, [&] { return CryptDestroyHash(hBad); }},
    };
    for (const auto &call : calls) {
        for (ULONG_PTR h : call.badHandles) {
            SCOPED_TRACE(testing::Message() << call.pszCall << " handle 0x" << std::hex << h);
            std::memset(ab, 0x5c, sizeof(ab));
            hBad = h;
            cb = 4;
            EXPECT_FAILS(ERROR_INVALID_PARAMETER, call.fnCall());
            EXPECT_EQ(4u, cb);
            EXPECT_EQ(0x77u, hOutKey);
            EXPECT_EQ(0x77u, hOutHash);
            EXPECT_EQ(0x5c, ab[0]);
        }
    }
    // The good objects are untouched by all of this.
    EXPECT_EQ(1024u, KeyParam(m_key, KP_KEYLEN));
    Bytes hashValue(20);
    DWORD cbValue = 20;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, hashValue.data(), &cbValue, 0));
    EXPECT_EQ(Bytes(20, 2), hashValue);
}

TEST_F(HandleTest, LiveCountsFollowCreationReleaseAndFailures)
{
    const LONG cContexts = QvnPlatformLiveContexts(), cKeys = QvnPlatformLiveKeys(), cHashes = QvnPlatformLiveHashes();
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey1 = 0, hKey2 = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"container", kAlderProvider, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey1));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey2));
    EXPECT_NE(hKey1, hKey2);
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash));
    EXPECT_EQ(cContexts + 1, QvnPlatformLiveContexts());
    EXPECT_EQ(cKeys + 2, QvnPlatformLiveKeys());
    EXPECT_EQ(cHashes + 1, QvnPlatformLiveHashes());

    // Failed calls leave no handles behind.
    HCRYPTPROV hFailed = 0;
    HCRYPTKEY hFailedKey = 0;
    EXPECT_FALSE(CryptAcquireContextW(&hFailed, u"absent", kAlderProvider, PROV_RSA_FULL, 0));
    EXPECT_FALSE(CryptGetUserKey(hProv, AT_SIGNATURE, &hFailedKey));
    EXPECT_FALSE(CryptGenKey(hProv, AT_SIGNATURE, 1u << 16, &hFailedKey));
    EXPECT_FALSE(CryptCreateHash(hProv, CALG_SHA1, 0, 1, &hHash));
    EXPECT_EQ(cContexts + 1, QvnPlatformLiveContexts());
    EXPECT_EQ(cKeys + 2, QvnPlatformLiveKeys());
    EXPECT_EQ(cHashes + 1, QvnPlatformLiveHashes());

    EXPECT_TRUE(CryptDestroyKey(hKey1));
    EXPECT_EQ(cKeys + 1, QvnPlatformLiveKeys());
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptDestroyKey(hKey1));

    // Releasing the context destroys its keys and hashes, even when it reports bad flags.
    EXPECT_FAILS(NTE_BAD_FLAGS, CryptReleaseContext(hProv, 1));
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
    EXPECT_EQ(cKeys, QvnPlatformLiveKeys());
    EXPECT_EQ(cHashes, QvnPlatformLiveHashes());
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptDestroyKey(hKey2));
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptDestroyHash(hHash));
    EXPECT_EQ(1024u, KeyParam(m_key, KP_KEYLEN)); // another context's key lives on
}

TEST_F(HandleTest, ManyThreadsSignEncryptAndReplacePairsAtOnce)
{
    constexpr int kThreads = 6, kRounds = 10;
    std::atomic<int> cFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                // The shared context and key: sign (judged by OpenSSL), encrypt and decrypt.
                const Bytes value = PatternBytes(32, static_cast<unsigned>(t * 100 + round));
                HCRYPTHASH hHash = 0;
                Bytes signature(128), buffer(128);
                DWORD cbSignature = 128, cbData = 32;
                std::copy(value.begin(), value.end(), buffer.begin());
                bool fOk = CryptCreateHash(m_prov, CALG_SHA_256, 0, 0, &hHash) &&
                           CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0) &&
                           CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature) &&
                           OpenSslVerify(CachedTestKey(1024), CALG_SHA_256, value, Reversed(signature)) &&
                           CryptEncrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData, 128) &&
                           CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData) && cbData == 32 &&
                           Bytes(buffer.begin(), buffer.begin() + 32) == value;
                CryptDestroyHash(hHash);
                // A context of its own on the same container, replacing its signature pair.
                HCRYPTPROV hProv = 0;
                fOk = fOk && CryptAcquireContextW(&hProv, u"container", kAlderProvider, PROV_RSA_FULL, 0) &&
                      ImportTestKey(hProv, CachedTestKey(1024, 1 + t % 2), AT_SIGNATURE) != 0;
                CryptReleaseContext(hProv, 0);
                cFailures += fOk ? 0 : 1;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, cFailures.load());
    // The container holds one whole pair of those written, and its exchange pair.
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, u"container"));
    Key exchange, signature;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, exchange.Out()));
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, signature.Out()));
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(), Export(exchange, PUBLICKEYBLOB));
    const Bytes blob = Export(signature, PUBLICKEYBLOB);
    EXPECT_TRUE(blob == CachedTestKey(1024, 1).PublicKeyBlob(CALG_RSA_SIGN) ||
                blob == CachedTestKey(1024, 2).PublicKeyBlob(CALG_RSA_SIGN));
}

} // namespace
