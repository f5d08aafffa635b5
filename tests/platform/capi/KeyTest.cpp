// Key pairs: CryptGenKey, CryptGetUserKey, CryptGetKeyParam, CryptExportKey
// and CryptImportKey, with blobs in Microsoft's layout.
#include "CapiTestUtil.h"

using namespace capitest;

namespace
{

const WCHAR kContainer[] = u"key container";

class KeyTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(Acquire(&m_prov, kContainer, CRYPT_NEWKEYSET));
    }

    // The public blob of the container's pair of dwKeySpec, read through a new
    // context; empty (with NTE_NO_KEY checked) when there is none.
    static Bytes StoredPublicBlob(DWORD dwKeySpec)
    {
        Prov prov;
        Key key;
        if (!Acquire(&prov, kContainer) || !CryptGetUserKey(prov, dwKeySpec, key.Out())) {
            EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
            return Bytes();
        }
        return Export(key, PUBLICKEYBLOB);
    }

    Prov m_prov;
};

TEST_F(KeyTest, GeneratedPairHasTheLengthAndReplacesThePairOfItsSpec)
{
    const struct {
        ALG_ID algid;
        DWORD dwBits, dwExpectedBits;
        ALG_ID expectedAlg;
    } cases[] = {{AT_KEYEXCHANGE, 1024, 1024, CALG_RSA_KEYX}, {AT_SIGNATURE, 2048, 2048, CALG_RSA_SIGN},
                 {CALG_RSA_KEYX, 384, 384, CALG_RSA_KEYX},    {CALG_RSA_SIGN, 1023, 1023, CALG_RSA_SIGN},
                 {AT_KEYEXCHANGE, 777, 777, CALG_RSA_KEYX},   {AT_KEYEXCHANGE, 0, 1024, CALG_RSA_KEYX}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dwBits);
        Key key;
        ASSERT_TRUE(CryptGenKey(m_prov, c.algid, c.dwBits << 16, key.Out())) << std::hex << GetLastError();
        EXPECT_EQ(c.dwExpectedBits, KeyParam(key, KP_KEYLEN));
        EXPECT_EQ(Export(key, PUBLICKEYBLOB),
                  StoredPublicBlob(c.expectedAlg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE));
    }
}

TEST_F(KeyTest, GenKeyRefusalsStoreNothing)
{
    HCRYPTKEY hKey = 0x99;
    EXPECT_FAILS(NTE_BAD_FLAGS, CryptGenKey(m_prov, AT_KEYEXCHANGE, 383u << 16, &hKey));
    EXPECT_FAILS(NTE_BAD_FLAGS, CryptGenKey(m_prov, AT_KEYEXCHANGE, 16385u << 16, &hKey));
    for (ALG_ID algid : {0u, static_cast<ALG_ID>(CALG_SHA1), 0x6610u /* AES-256 */}) {
        EXPECT_FAILS(NTE_BAD_ALGID, CryptGenKey(m_prov, algid, 512u << 16, &hKey));
    }
    EXPECT_EQ(0x99u, hKey);
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, nullptr));
    EXPECT_EQ(Bytes(), StoredPublicBlob(AT_KEYEXCHANGE));
    EXPECT_EQ(Bytes(), StoredPublicBlob(AT_SIGNATURE));
}

TEST_F(KeyTest, GetUserKeyAndGetKeyParamRefusals)
{
    HCRYPTKEY hKey = 0x42;
    EXPECT_FAILS(NTE_NO_KEY, CryptGetUserKey(m_prov, AT_SIGNATURE, &hKey));
    EXPECT_EQ(0x42u, hKey);
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptGetUserKey(m_prov, AT_KEYEXCHANGE, nullptr));

    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, key.Out()));
    DWORD dwValue = 0x11111111, cbValue = 0;
    BYTE *pbValue = reinterpret_cast<BYTE *>(&dwValue);
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, nullptr, &cbValue, 0));
    EXPECT_EQ(4u, cbValue);
    cbValue = 3;
    EXPECT_FAILS(ERROR_MORE_DATA, CryptGetKeyParam(key, KP_KEYLEN, pbValue, &cbValue, 0));
    EXPECT_EQ(4u, cbValue);
    EXPECT_EQ(0x11111111u, dwValue);
    cbValue = 8;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, pbValue, &cbValue, 0));
    EXPECT_EQ(4u, cbValue);
    EXPECT_EQ(512u, dwValue);
}

TEST_F(KeyTest, ImportedPairExportsAsTheSameMicrosoftBlobs)
{
    for (DWORD dwBits : {1024u, 1023u, 2048u}) {
        SCOPED_TRACE(dwBits);
        const TestKey &judge = CachedTestKey(dwBits);
        const DWORD cbModulus = judge.ByteLength();
        Key key(ImportTestKey(m_prov, judge, AT_KEYEXCHANGE, CRYPT_EXPORTABLE));
        const Bytes publicBlob = Export(key, PUBLICKEYBLOB);
        ASSERT_EQ(20u + cbModulus, publicBlob.size());
        Bytes header = {0x06, 0x02, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00, 'R', 'S', 'A', '1'};
        header.insert(header.end(), {BYTE(dwBits), BYTE(dwBits >> 8), 0, 0, 0x01, 0x00, 0x01, 0x00}); // bits, e
        EXPECT_EQ(header, Bytes(publicBlob.begin(), publicBlob.begin() + 20));
        EXPECT_EQ(Reversed(judge.Modulus()), Bytes(publicBlob.begin() + 20, publicBlob.end()));
        const Bytes privateBlob = Export(key, PRIVATEKEYBLOB);
        EXPECT_EQ(20u + 2 * cbModulus + 5 * (cbModulus / 2), privateBlob.size());
        EXPECT_EQ(judge.PrivateKeyBlob(CALG_RSA_KEYX), privateBlob);
        EXPECT_EQ(judge.PublicKeyBlob(), StoredPublicBlob(AT_KEYEXCHANGE));
    }
    // Buffers one byte short: ERROR_MORE_DATA with the size, the buffer untouched.
    Key key(ImportTestKey(m_prov, CachedTestKey(2048), AT_SIGNATURE, CRYPT_EXPORTABLE));
    for (DWORD dwBlobType : {PUBLICKEYBLOB, PRIVATEKEYBLOB}) {
        const DWORD cbExpected = dwBlobType == PUBLICKEYBLOB ? 20u + 256u : 20u + 512u + 5 * 128u;
        Bytes small(cbExpected - 1, 0xab);
        DWORD cbBlob = cbExpected - 1;
        EXPECT_FAILS(ERROR_MORE_DATA, CryptExportKey(key, 0, dwBlobType, 0, small.data(), &cbBlob));
        EXPECT_EQ(cbExpected, cbBlob);
        EXPECT_EQ(Bytes(cbExpected - 1, 0xab), small);
    }
    // An imported public key is no pair of the container; a pair imported without
    // CRYPT_EXPORTABLE only shows its public key.
    const Bytes publicBlob = CachedTestKey(1024).PublicKeyBlob();
    Key publicKey;
    ASSERT_TRUE(
        CryptImportKey(m_prov, publicBlob.data(), static_cast<DWORD>(publicBlob.size()), 0, 0, publicKey.Out()));
    EXPECT_EQ(publicBlob, Export(publicKey, PUBLICKEYBLOB));
    EXPECT_EQ(CachedTestKey(2048).PublicKeyBlob(), StoredPublicBlob(AT_KEYEXCHANGE));
    Key locked(ImportTestKey(m_prov, CachedTestKey(1024), AT_SIGNATURE));
    DWORD cbBlob = 0;
    EXPECT_FAILS(NTE_BAD_KEY_STATE, CryptExportKey(locked, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(CALG_RSA_SIGN), StoredPublicBlob(AT_SIGNATURE));
}

TEST_F(KeyTest, MalformedBlobsAreRefusedWithoutChangingTheContainer)
{
    const Bytes good = CachedTestKey(1024).PrivateKeyBlob(CALG_RSA_KEYX);
    auto modified = [&](size_t i, BYTE b, size_t cb = 1) {
        Bytes blob = good;
        std::fill(blob.begin() + i, blob.begin() + i + cb, b);
        return blob;
    };
    const struct {
        const char *pszName;
        Bytes blob;
        HRESULT hr;
    } cases[] = {
        {"too short for a header", Bytes(good.begin(), good.begin() + 7), NTE_BAD_DATA},
        {"simple blob", modified(0, SIMPLEBLOB), NTE_BAD_TYPE},
        {"session key algorithm", modified(5, 0x66), NTE_BAD_ALGID},
        {"exponent 0", modified(16, 0, 4), NTE_BAD_DATA},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        HCRYPTKEY hKey = 0x31;
        EXPECT_FAILS(c.hr, CryptImportKey(m_prov, c.blob.data(), static_cast<DWORD>(c.blob.size()), 0, 0, &hKey));
        EXPECT_EQ(0x31u, hKey);
    }
    HCRYPTKEY hKey = 0;
    const DWORD cbGood = static_cast<DWORD>(good.size());
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptImportKey(m_prov, nullptr, cbGood, 0, 0, &hKey));
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptImportKey(m_prov, good.data(), 0, 0, 0, &hKey));
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptImportKey(m_prov, good.data(), cbGood, 0, 0, nullptr));
    EXPECT_EQ(Bytes(), StoredPublicBlob(AT_KEYEXCHANGE));
    EXPECT_EQ(0, QvnPlatformLiveKeys());
}

} // namespace
