// Hash objects: CryptCreateHash, CryptHashData, CryptGetHashParam and
// CryptSetHashParam, with digests judged by OpenSSL (MD2 by the RFC 1319
// test vectors, as OpenSSL 3 has no MD2).
#include "CapiTestUtil.h"

using namespace capitest;
using qvntest::PatternBytes;

namespace
{

class HashTest : public qvntest::StoreTest
{
protected:
    void SetUp() override
    {
        qvntest::StoreTest::SetUp();
        ASSERT_TRUE(Acquire(&m_prov, nullptr, CRYPT_VERIFYCONTEXT));
    }

    Bytes ValueOf(HCRYPTHASH hHash, DWORD cbHash)
    {
        Bytes value(cbHash);
        DWORD cbValue = cbHash;
        if (!CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &cbValue, 0)) {
            ADD_FAILURE() << "CryptGetHashParam failed with 0x" << std::hex << GetLastError();
        }
        EXPECT_EQ(cbHash, cbValue);
        return value;
    }

    Prov m_prov;
};

const ALG_ID kComputable[] = {CALG_MD2, CALG_MD4, CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};

TEST_F(HashTest, DigestsMatchOpenSsl)
{
    for (ALG_ID algid : kComputable) {
        if (algid == CALG_MD2) {
            continue; // below, against the published vectors
        }
        for (size_t cbData : {size_t(0), size_t(3), size_t(55), size_t(64), size_t(1000)}) {
            SCOPED_TRACE(testing::Message() << "alg " << std::hex << algid << " length " << std::dec << cbData);
            const Bytes data = PatternBytes(cbData, static_cast<unsigned>(cbData));
            const std::optional<Bytes> expected = qvntest::OpenSslDigest(algid, data);
            if (!expected) {
                GTEST_SKIP() << "OpenSSL cannot compute algorithm " << algid;
            }
            Hash hash;
            ASSERT_TRUE(CryptCreateHash(m_prov, algid, 0, 0, hash.Out()));
            // In two pieces, to cover running state.
            ASSERT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(cbData / 2), 0));
            ASSERT_TRUE(CryptHashData(hash, data.data() + cbData / 2, static_cast<DWORD>(cbData - cbData / 2), 0));
            EXPECT_EQ(qvntest::Hex(*expected), qvntest::Hex(ValueOf(hash, HashSizeOf(algid))));
        }
    }
}

TEST_F(HashTest, Md2MatchesPublishedVectors)
{
    const struct {
        const char *pszMessage;
        const char *pszDigest;
    } kVectors[] = {
        {"", "8350e5a3e24c153df2275c9f80692773"},
        {"a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {"abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {"message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {"abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "d5976f79d83d3a0dc9806c3c66f3efd8"},
    };
    for (const auto &vector : kVectors) {
        SCOPED_TRACE(vector.pszMessage);
        Hash hash;
        ASSERT_TRUE(CryptCreateHash(m_prov, CALG_MD2, 0, 0, hash.Out()));
        ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>(vector.pszMessage),
                                  static_cast<DWORD>(std::strlen(vector.pszMessage)), 0));
        EXPECT_EQ(vector.pszDigest, qvntest::Hex(ValueOf(hash, 16)));
    }
}

TEST_F(HashTest, ParametersReportAlgorithmAndSize)
{
    for (ALG_ID algid :
         std::initializer_list<ALG_ID>{CALG_MD2, CALG_MD4, CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384,
                                       CALG_SHA_512, static_cast<ALG_ID>(CALG_SSL3_SHAMD5)}) {
        SCOPED_TRACE(algid);
        Hash hash;
        ASSERT_TRUE(CryptCreateHash(m_prov, algid, 0, 0, hash.Out()));
        DWORD dwValue = 0, cbValue = sizeof(dwValue);
        ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
        EXPECT_EQ(algid, dwValue);
        EXPECT_EQ(4u, cbValue);
        cbValue = sizeof(dwValue);
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
        EXPECT_EQ(HashSizeOf(algid), dwValue);
        cbValue = 0;
        ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &cbValue, 0));
        EXPECT_EQ(HashSizeOf(algid), cbValue);
    }
}

TEST_F(HashTest, EveryProviderOffersEveryHash)
{
    for (const WCHAR *pszProvider :
         {qvntest::kAlderProvider, qvntest::kBirchProvider, qvntest::kCedarProvider, qvntest::kDogwoodProvider}) {
        Prov prov;
        ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, pszProvider));
        for (ALG_ID algid : kComputable) {
            Hash hash;
            EXPECT_TRUE(CryptCreateHash(prov, algid, 0, 0, hash.Out())) << qvntest::Narrow(pszProvider) << " " << algid;
        }
    }
}

TEST_F(HashTest, SizeParametersFollowTheBufferConvention)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA_256, 0, 0, hash.Out()));
    DWORD cbValue = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, nullptr, &cbValue, 0));
    EXPECT_EQ(4u, cbValue);

    BYTE abSmall[3] = {9, 9, 9};
    cbValue = 3;
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHSIZE, abSmall, &cbValue, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(4u, cbValue);
    EXPECT_EQ(9, abSmall[0]);
}

TEST_F(HashTest, ValueSizeQueryLeavesHashRunning)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, hash.Out()));
    DWORD cbValue = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &cbValue, 0));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    EXPECT_EQ(*qvntest::OpenSslDigest(CALG_SHA1, qvntest::BytesOf("abc")), ValueOf(hash, 20));
}

TEST_F(HashTest, ValueIntoSmallBufferGivesMoreDataAndFinishesHash)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, hash.Out()));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    Bytes small(19, 0x77);
    DWORD cbValue = 19;
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, small.data(), &cbValue, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(20u, cbValue);
    EXPECT_EQ(Bytes(19, 0x77), small);

    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE *>("d"), 1, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
    EXPECT_EQ(*qvntest::OpenSslDigest(CALG_SHA1, qvntest::BytesOf("abc")), ValueOf(hash, 20));
}

TEST_F(HashTest, FinishedHashTakesNoMoreData)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_MD5, 0, 0, hash.Out()));
    const Bytes first = ValueOf(hash, 16);
    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE *>("x"), 1, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
    EXPECT_EQ(first, ValueOf(hash, 16)); // the value stays
}

TEST_F(HashTest, SetValueReplacesTheHashReadingHashSizeBytes)
{
    for (ALG_ID algid :
         std::initializer_list<ALG_ID>{CALG_MD5, CALG_SHA_256, static_cast<ALG_ID>(CALG_SSL3_SHAMD5), CALG_SHA_512}) {
        SCOPED_TRACE(algid);
        const DWORD cbHash = HashSizeOf(algid);
        Bytes value = PatternBytes(cbHash + 8, algid); // the bytes past the hash size are not read
        Hash hash;
        ASSERT_TRUE(CryptCreateHash(m_prov, algid, 0, 0, hash.Out()));
        ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
        EXPECT_EQ(Bytes(value.begin(), value.begin() + cbHash), ValueOf(hash, cbHash));
        if (algid != CALG_SSL3_SHAMD5) {
            EXPECT_FALSE(CryptHashData(hash, value.data(), 1, 0));
            EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
        }
    }
}

TEST_F(HashTest, SetValueAfterHashingOverridesTheDigest)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, hash.Out()));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    const Bytes value = PatternBytes(20, 1);
    ASSERT_TRUE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 0));
    EXPECT_EQ(value, ValueOf(hash, 20));
}

TEST_F(HashTest, Ssl3ShaMd5CannotHashData)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SSL3_SHAMD5, 0, 0, hash.Out()));
    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    EXPECT_EQ(Code(NTE_BAD_ALGID), GetLastError());
    Bytes value(36);
    DWORD cbValue = 36;
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &cbValue, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
}

TEST_F(HashTest, CreateRefusesWhatIsNotAnOfferedHash)
{
    for (ALG_ID algid : std::initializer_list<ALG_ID>{0u, 0x8005u /* CALG_MAC */, 0x8009u /* CALG_HMAC */, 0x800fu,
                                                      static_cast<ALG_ID>(CALG_RSA_SIGN),
                                                      static_cast<ALG_ID>(CALG_RSA_KEYX), 0x6610u /* CALG_AES_256 */}) {
        SCOPED_TRACE(algid);
        HCRYPTHASH hHash = 0x1234;
        EXPECT_FALSE(CryptCreateHash(m_prov, algid, 0, 0, &hHash));
        EXPECT_EQ(Code(NTE_BAD_ALGID), GetLastError());
        EXPECT_EQ(0x1234u, hHash);
    }
}

TEST_F(HashTest, CreateRefusesFlagsAndKeys)
{
    HCRYPTHASH hHash = 0;
    EXPECT_FALSE(CryptCreateHash(m_prov, CALG_SHA1, 0, 1, &hHash));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, key.Out()));
    EXPECT_FALSE(CryptCreateHash(m_prov, CALG_SHA1, key, 0, &hHash));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    EXPECT_FALSE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0, QvnPlatformLiveHashes());
}

TEST_F(HashTest, ParameterErrors)
{
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, hash.Out()));
    DWORD dwValue = 0, cbValue = 4;
    EXPECT_FALSE(CryptGetHashParam(hash, 3, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
    EXPECT_EQ(Code(NTE_BAD_TYPE), GetLastError());
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwValue), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    const Bytes value(20, 1);
    EXPECT_FALSE(CryptSetHashParam(hash, HP_HASHSIZE, value.data(), 0));
    EXPECT_EQ(Code(NTE_BAD_TYPE), GetLastError());
    EXPECT_FALSE(CryptSetHashParam(hash, HP_HASHVAL, value.data(), 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptSetHashParam(hash, HP_HASHVAL, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptHashData(hash, value.data(), 1, 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    // None of the failures touched the running hash.
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    EXPECT_EQ(*qvntest::OpenSslDigest(CALG_SHA1, qvntest::BytesOf("abc")), ValueOf(hash, 20));
}

} // namespace
