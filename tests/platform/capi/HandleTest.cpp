// Handles: every function refuses null, unknown, stale and foreign handles
// with ERROR_INVALID_PARAMETER (as Windows' advapi32 does) and leaves its
// outputs alone; releasing a context destroys its keys and hashes; the live
// counts follow; handles work from any thread.
#include "CapiTestUtil.h"

#include <atomic>
#include <functional>
#include <thread>

using namespace capitest;
using qvntest::CachedTestKey;
using qvntest::PatternBytes;
using qvntest::Reversed;

namespace
{

const WCHAR kContainer[] = u"handle container";

class HandleTest : public qvntest::StoreTest
{
protected:
    void SetUp() override
    {
        qvntest::StoreTest::SetUp();
        ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, AT_KEYEXCHANGE,
                                                    CachedTestKey(1024), 0, CRYPT_EXPORTABLE));
    }
};

// Calls every CryptoAPI function that takes a handle of that kind, with bad as
// that handle; each must fail with ERROR_INVALID_PARAMETER and write nothing.
void ExpectAllRefuse(const char *pszKind, ULONG_PTR bad, HCRYPTPROV hGoodProv, HCRYPTKEY hGoodKey, HCRYPTHASH hGoodHash)
{
    SCOPED_TRACE(testing::Message() << pszKind << " handle 0x" << std::hex << bad);
    const std::string strKind = pszKind;
    const HCRYPTPROV hProv = strKind == "context" ? bad : hGoodProv;
    const HCRYPTKEY hKey = strKind == "key" ? bad : hGoodKey;
    const HCRYPTHASH hHash = strKind == "hash" ? bad : hGoodHash;
    BYTE abBuffer[512];
    std::memset(abBuffer, 0x5c, sizeof(abBuffer));
    DWORD cbData = 4;
    HCRYPTKEY hOutKey = 0x77;
    HCRYPTHASH hOutHash = 0x77;
    const Bytes blob = CachedTestKey(1024).PublicKeyBlob();
    const Bytes value(20, 1);

    std::vector<std::pair<const char *, std::function<BOOL()>>> calls;
    if (strKind == "context") {
        calls = {
            {"CryptGenKey", [&] { return CryptGenKey(hProv, AT_SIGNATURE, 512u << 16, &hOutKey); }},
            {"CryptGetUserKey", [&] { return CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hOutKey); }},
            {"CryptImportKey",
             [&] { return CryptImportKey(hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hOutKey); }},
            {"CryptCreateHash", [&] { return CryptCreateHash(hProv, CALG_SHA1, 0, 0, &hOutHash); }},
            {"CryptReleaseContext", [&] { return CryptReleaseContext(hProv, 0); }},
        };
    } else if (strKind == "key") {
        calls = {
            {"CryptGetKeyParam", [&] { return CryptGetKeyParam(hKey, KP_KEYLEN, abBuffer, &cbData, 0); }},
            {"CryptExportKey", [&] { return CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, abBuffer, &cbData); }},
            {"CryptVerifySignatureW", [&] { return CryptVerifySignatureW(hHash, abBuffer, 128, hKey, nullptr, 0); }},
            {"CryptEncrypt", [&] { return CryptEncrypt(hKey, 0, TRUE, 0, abBuffer, &cbData, sizeof(abBuffer)); }},
            {"CryptDecrypt", [&] { return CryptDecrypt(hKey, 0, TRUE, 0, abBuffer, &cbData); }},
            {"CryptDestroyKey", [&] { return CryptDestroyKey(hKey); }},
        };
    } else {
        calls = {
            {"CryptHashData", [&] { return CryptHashData(hHash, abBuffer, 1, 0); }},
            {"CryptGetHashParam", [&] { return CryptGetHashParam(hHash, HP_HASHVAL, abBuffer, &cbData, 0); }},
            {"CryptSetHashParam", [&] { return CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0); }},
            {"CryptSignHashW", [&] { return CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, abBuffer, &cbData); }},
            {"CryptVerifySignatureW", [&] { return CryptVerifySignatureW(hHash, abBuffer, 128, hKey, nullptr, 0); }},
            {"CryptEncrypt with hash",
             [&] { return CryptEncrypt(hKey, hHash, TRUE, 0, abBuffer, &cbData, sizeof(abBuffer)); }},
            {"CryptDestroyHash", [&] { return CryptDestroyHash(hHash); }},
        };
    }
    for (const auto &call : calls) {
        SCOPED_TRACE(call.first);
        SetLastError(0);
        cbData = 4;
        EXPECT_FALSE(call.second());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
        EXPECT_EQ(4u, cbData);
        EXPECT_EQ(0x77u, hOutKey);
        EXPECT_EQ(0x77u, hOutHash);
        EXPECT_EQ(0x5c, abBuffer[0]);
    }
}

TEST_F(HandleTest, NullUnknownForeignAndStaleHandlesAreInvalidParameter)
{
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    Key key;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out()));
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, Bytes(20, 2)));

    HCRYPTPROV hStaleProv = 0;
    ASSERT_TRUE(
        CryptAcquireContextW(&hStaleProv, nullptr, qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(hStaleProv, 0));
    HCRYPTKEY hStaleKey = 0;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, &hStaleKey));
    ASSERT_TRUE(CryptDestroyKey(hStaleKey));
    HCRYPTHASH hStaleHash = 0;
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hStaleHash));
    ASSERT_TRUE(CryptDestroyHash(hStaleHash));

    for (ULONG_PTR bad : {ULONG_PTR(0), ULONG_PTR(0xdeadbeef), ULONG_PTR(static_cast<HCRYPTKEY>(key)),
                          ULONG_PTR(static_cast<HCRYPTHASH>(hash)), ULONG_PTR(hStaleProv)}) {
        ExpectAllRefuse("context", bad, prov, key, hash);
    }
    for (ULONG_PTR bad : {ULONG_PTR(0), ULONG_PTR(0xdeadbeef), ULONG_PTR(prov.Get()),
                          ULONG_PTR(static_cast<HCRYPTHASH>(hash)), ULONG_PTR(hStaleKey)}) {
        ExpectAllRefuse("key", bad, prov, key, hash);
    }
    for (ULONG_PTR bad : {ULONG_PTR(0xdeadbeef), ULONG_PTR(prov.Get()), ULONG_PTR(static_cast<HCRYPTKEY>(key)),
                          ULONG_PTR(hStaleHash)}) {
        ExpectAllRefuse("hash", bad, prov, key, hash);
    }
    // Null hashes are refused where a hash is required.
    DWORD cbData = 4;
    EXPECT_FALSE(CryptSignHashW(0, AT_KEYEXCHANGE, nullptr, 0, nullptr, &cbData));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptDestroyHash(0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // The good objects are untouched by all of this.
    DWORD dwBits = 0, cbBits = 4;
    EXPECT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cbBits, 0));
    EXPECT_EQ(1024u, dwBits);
}

TEST_F(HandleTest, LiveCountsFollowCreationAndDestruction)
{
    const LONG cContexts = QvnPlatformLiveContexts(), cKeys = QvnPlatformLiveKeys(), cHashes = QvnPlatformLiveHashes();
    {
        Prov prov;
        ASSERT_TRUE(Acquire(&prov, kContainer));
        Key key1, key2;
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key1.Out()));
        ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key2.Out()));
        EXPECT_NE(static_cast<HCRYPTKEY>(key1), static_cast<HCRYPTKEY>(key2));
        Hash hash;
        ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, hash.Out()));
        EXPECT_EQ(cContexts + 1, QvnPlatformLiveContexts());
        EXPECT_EQ(cKeys + 2, QvnPlatformLiveKeys());
        EXPECT_EQ(cHashes + 1, QvnPlatformLiveHashes());
        key1.Reset();
        EXPECT_EQ(cKeys + 1, QvnPlatformLiveKeys());
        hash.Reset();
        EXPECT_EQ(cHashes, QvnPlatformLiveHashes());
    }
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
    EXPECT_EQ(cKeys, QvnPlatformLiveKeys());
    EXPECT_EQ(cHashes, QvnPlatformLiveHashes());
}

TEST_F(HandleTest, FailedCallsLeaveNoHandles)
{
    const LONG cContexts = QvnPlatformLiveContexts(), cKeys = QvnPlatformLiveKeys();
    HCRYPTPROV hProv = 0;
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"absent", qvntest::kAlderProvider, PROV_RSA_FULL, 0));
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(prov, AT_SIGNATURE, &hKey));
    EXPECT_FALSE(CryptGenKey(prov, AT_SIGNATURE, 1u << 16, &hKey));
    EXPECT_EQ(cContexts + 1, QvnPlatformLiveContexts());
    EXPECT_EQ(cKeys, QvnPlatformLiveKeys());
}

TEST_F(HandleTest, ReleasingContextDestroysItsKeysAndHashes)
{
    const LONG cKeys = QvnPlatformLiveKeys(), cHashes = QvnPlatformLiveHashes();
    Prov other;
    ASSERT_TRUE(Acquire(&other, kContainer));
    Key otherKey;
    ASSERT_TRUE(CryptGetUserKey(other, AT_KEYEXCHANGE, otherKey.Out()));

    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, 0));
    HCRYPTKEY hKey = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA1, 0, 0, &hHash));
    ASSERT_TRUE(CryptReleaseContext(hProv, 0));

    EXPECT_EQ(cKeys + 1, QvnPlatformLiveKeys());
    EXPECT_EQ(cHashes, QvnPlatformLiveHashes());
    EXPECT_FALSE(CryptDestroyKey(hKey));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptDestroyHash(hHash));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    DWORD dwBits = 0, cb = 4;
    EXPECT_TRUE(CryptGetKeyParam(otherKey, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cb, 0));
}

TEST_F(HandleTest, KeyFromOneContextServesHashOfAnotherOfTheSameCsp)
{
    Prov signer, verifier;
    ASSERT_TRUE(Acquire(&signer, kContainer));
    ASSERT_TRUE(Acquire(&verifier, nullptr, CRYPT_VERIFYCONTEXT));
    const Bytes value = PatternBytes(20, 1);
    Hash signHash, verifyHash;
    ASSERT_TRUE(HashWithValue(&signHash, signer, CALG_SHA1, value));
    ASSERT_TRUE(HashWithValue(&verifyHash, verifier, CALG_SHA1, value));
    const Bytes signature = SignWith(signHash, AT_KEYEXCHANGE, 0, 128);
    Key key;
    ASSERT_TRUE(CryptGetUserKey(signer, AT_KEYEXCHANGE, key.Out()));
    EXPECT_TRUE(CryptVerifySignatureW(verifyHash, signature.data(), 128, key, nullptr, 0));
}

TEST_F(HandleTest, HandlesWorkFromAnotherThread)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    std::thread([&] {
        ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, 0));
        ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    }).join();
    const Bytes value = PatternBytes(20, 3);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, hProv, CALG_SHA1, value));
    EXPECT_EQ(qvntest::OpenSslSign(CachedTestKey(1024), CALG_SHA1, value),
              Reversed(SignWith(hash, AT_KEYEXCHANGE, 0, 128)));
    hash.Reset();
    std::thread([&] {
        EXPECT_TRUE(CryptDestroyKey(hKey));
        EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    }).join();
}

TEST_F(HandleTest, LastErrorIsPerThread)
{
    SetLastError(0x1234);
    std::thread([] {
        HCRYPTPROV hProv = 0;
        EXPECT_FALSE(CryptAcquireContextW(&hProv, u"absent", qvntest::kAlderProvider, PROV_RSA_FULL, 0));
        EXPECT_EQ(Code(NTE_BAD_KEYSET), GetLastError());
    }).join();
    EXPECT_EQ(0x1234u, GetLastError());
}

TEST_F(HandleTest, ManyThreadsSignVerifyEncryptAndDecryptAtOnce)
{
    const qvntest::TestKey &judge = CachedTestKey(1024);
    Prov shared;
    ASSERT_TRUE(Acquire(&shared, kContainer));
    Key sharedKey;
    ASSERT_TRUE(CryptGetUserKey(shared, AT_KEYEXCHANGE, sharedKey.Out()));
    constexpr int kThreads = 6;
    constexpr int kRounds = 12;
    std::atomic<int> cFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const Bytes value = PatternBytes(32, static_cast<unsigned>(t * 100 + round));
                HCRYPTHASH hHash = 0;
                Bytes signature(128);
                DWORD cbSignature = 128;
                bool fOk = CryptCreateHash(shared, CALG_SHA_256, 0, 0, &hHash) &&
                           CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0) &&
                           CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature) &&
                           CryptVerifySignatureW(hHash, signature.data(), cbSignature, sharedKey, nullptr, 0);
                fOk = fOk && qvntest::OpenSslVerify(judge, CALG_SHA_256, value, Reversed(signature));
                CryptDestroyHash(hHash);
                Bytes buffer(128);
                std::copy(value.begin(), value.end(), buffer.begin());
                DWORD cbData = 32;
                fOk = fOk && CryptEncrypt(sharedKey, 0, TRUE, 0, buffer.data(), &cbData, 128) &&
                      CryptDecrypt(sharedKey, 0, TRUE, 0, buffer.data(), &cbData) && cbData == 32 &&
                      Bytes(buffer.begin(), buffer.begin() + 32) == value;
                // A context and key of its own, too.
                HCRYPTPROV hProv = 0;
                HCRYPTKEY hKey = 0;
                fOk = fOk && CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, 0) &&
                      CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey);
                CryptDestroyKey(hKey);
                CryptReleaseContext(hProv, 0);
                if (!fOk) {
                    ++cFailures;
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, cFailures.load());
}

TEST_F(HandleTest, ThreadsReplacingOneContainersPairLeaveOneWholePair)
{
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    std::atomic<int> cFailures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                HCRYPTPROV hProv = 0;
                HCRYPTKEY hKey = 0;
                if (!CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, 0) ||
                    !qvntest::ImportTestKey(hProv, CachedTestKey(1024, t % 2), AT_SIGNATURE) ||
                    !CryptGenKey(hProv, AT_KEYEXCHANGE, 512u << 16, &hKey)) {
                    ++cFailures;
                }
                CryptDestroyKey(hKey);
                CryptReleaseContext(hProv, 0);
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, cFailures.load());
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    Key exchange, signature;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, exchange.Out()));
    ASSERT_TRUE(CryptGetUserKey(prov, AT_SIGNATURE, signature.Out()));
    DWORD dwBits = 0, cb = 4;
    ASSERT_TRUE(CryptGetKeyParam(exchange, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwBits), &cb, 0));
    EXPECT_EQ(512u, dwBits);
    Bytes blob(200);
    DWORD cbBlob = 200;
    ASSERT_TRUE(CryptExportKey(signature, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
    blob.resize(cbBlob);
    EXPECT_TRUE(blob == CachedTestKey(1024, 0).PublicKeyBlob(CALG_RSA_SIGN) ||
                blob == CachedTestKey(1024, 1).PublicKeyBlob(CALG_RSA_SIGN));
}

} // namespace
