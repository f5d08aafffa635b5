// Hash objects: the algorithms, sizes and digests (judged by OpenSSL; MD2 by
// an RFC 1319 vector, as OpenSSL 3 has no MD2) that every CSP offers.
#include "CapiTestUtil.h"

using namespace capitest;

namespace
{

class HashTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(Acquire(&m_prov, nullptr, CRYPT_VERIFYCONTEXT));
    }

    static Bytes ValueOf(HCRYPTHASH hHash, DWORD cbHash)
    {
        Bytes value(cbHash);
        DWORD cbValue = cbHash;
        EXPECT_TRUE(CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &cbValue, 0)) << std::hex << GetLastError();
        EXPECT_EQ(cbHash, cbValue);
        return value;
    }

    Prov m_prov;
};

const ALG_ID kHashes[] = {CALG_MD2,     CALG_MD4,     CALG_MD5,     CALG_SHA1,
                          CALG_SHA_256, CALG_SHA_384, CALG_SHA_512, CALG_SSL3_SHAMD5};

TEST_F(HashTest, EveryProviderOffersEveryHashWithTheDigestOfOpenSsl)
{
    const Bytes data = PatternBytes(1000, 1);
    for (const WCHAR *pszProvider : {kAlderProvider, kBirchProvider, kCedarProvider, kDogwoodProvider}) {
        Prov prov;
        ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT, pszProvider));
        for (ALG_ID algid : kHashes) {
            SCOPED_TRACE(testing::Message() << Narrow(pszProvider) << " alg " << std::hex << algid);
            Hash hash;
            ASSERT_TRUE(CryptCreateHash(prov, algid, 0, 0, hash.Out()));
            DWORD dwSize = 0, cbSize = sizeof(dwSize), cbValue = 0;
            ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE *>(&dwSize), &cbSize, 0));
            EXPECT_EQ(HashSizeOf(algid), dwSize);
            EXPECT_EQ(4u, cbSize);
            ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &cbValue, 0)); // a size query leaves it running
            EXPECT_EQ(HashSizeOf(algid), cbValue);
            const std::optional<Bytes> expected = OpenSslDigest(algid, data);
            if (expected) { // in two pieces
                ASSERT_TRUE(CryptHashData(hash, data.data(), 300, 0));
                ASSERT_TRUE(CryptHashData(hash, data.data() + 300, 700, 0));
                EXPECT_EQ(Hex(*expected), Hex(ValueOf(hash, HashSizeOf(algid))));
            }
        }
    }
    Hash md2;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_MD2, 0, 0, md2.Out()));
    ASSERT_TRUE(CryptHashData(md2, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    EXPECT_EQ("da853b0d3f88d99b30283a69e6ded6bb", Hex(ValueOf(md2, 16)));
}

TEST_F(HashTest, CreateRefusesWhatIsNotAnOfferedHash)
{
    for (ALG_ID algid : {0u, 0x8005u /* MAC */, 0x8009u /* HMAC */, 0x800fu, static_cast<ALG_ID>(CALG_RSA_SIGN),
                         0x6610u /* AES-256 */}) {
        HCRYPTHASH hHash = 0x1234;
        EXPECT_FAILS(NTE_BAD_ALGID, CryptCreateHash(m_prov, algid, 0, 0, &hHash));
        EXPECT_EQ(0x1234u, hHash);
    }
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptCreateHash(m_prov, CALG_SHA1, 0, 0, nullptr));
    EXPECT_EQ(0, QvnPlatformLiveHashes());
}

} // namespace
