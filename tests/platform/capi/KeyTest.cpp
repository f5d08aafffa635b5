// Key pairs: CryptGenKey, CryptGetUserKey, CryptGetKeyParam, CryptExportKey,
// CryptImportKey and CryptDestroyKey, with blobs in Microsoft's layout.
#include "CapiTestUtil.h"

using namespace capitest;
using qvntest::CachedTestKey;
using qvntest::TestKey;

namespace
{

const WCHAR kContainer[] = u"key container";
constexpr DWORD kKeyParamPermissions = 6; // KP_PERMISSIONS

class KeyTest : public qvntest::StoreTest
{
protected:
    void SetUp() override
    {
        qvntest::StoreTest::SetUp();
        ASSERT_TRUE(
            CryptAcquireContextW(m_prov.Out(), kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    }

    DWORD KeyParam(HCRYPTKEY hKey, DWORD dwParam)
    {
        DWORD dwValue = 0, cbValue = sizeof(dwValue);
        if (!CryptGetKeyParam(hKey, dwParam, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0)) {
            ADD_FAILURE() << "CryptGetKeyParam failed with 0x" << std::hex << GetLastError();
        }
        EXPECT_EQ(4u, cbValue);
        return dwValue;
    }

    Bytes Export(HCRYPTKEY hKey, DWORD dwBlobType)
    {
        DWORD cbBlob = 0;
        if (!CryptExportKey(hKey, 0, dwBlobType, 0, nullptr, &cbBlob)) {
            ADD_FAILURE() << "CryptExportKey size query failed with 0x" << std::hex << GetLastError();
            return Bytes();
        }
        Bytes blob(cbBlob);
        if (!CryptExportKey(hKey, 0, dwBlobType, 0, blob.data(), &cbBlob)) {
            ADD_FAILURE() << "CryptExportKey failed with 0x" << std::hex << GetLastError();
        }
        EXPECT_EQ(blob.size(), cbBlob);
        return blob;
    }

    Prov m_prov;
};

TEST_F(KeyTest, GeneratedKeyHasRequestedLengthAndAlgorithm)
{
    const struct {
        ALG_ID algid;
        DWORD dwBits;
        ALG_ID expectedAlg;
    } kCases[] = {{AT_KEYEXCHANGE, 1024, CALG_RSA_KEYX},
                  {AT_SIGNATURE, 2048, CALG_RSA_SIGN},
                  {CALG_RSA_KEYX, 384, CALG_RSA_KEYX},
                  {CALG_RSA_SIGN, 1023, CALG_RSA_SIGN},
                  {AT_KEYEXCHANGE, 777, CALG_RSA_KEYX}};
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.dwBits);
        Key key;
        ASSERT_TRUE(CryptGenKey(m_prov, c.algid, c.dwBits << 16, key.Out())) << std::hex << GetLastError();
        EXPECT_EQ(c.dwBits, KeyParam(key, KP_KEYLEN));
        EXPECT_EQ(c.expectedAlg, KeyParam(key, KP_ALGID));
        EXPECT_EQ((c.dwBits + 7) / 8 * 8, KeyParam(key, KP_BLOCKLEN));
    }
}

TEST_F(KeyTest, ZeroLengthGivesDefault1024Bits)
{
    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 0, key.Out()));
    EXPECT_EQ(1024u, KeyParam(key, KP_KEYLEN));
}

TEST_F(KeyTest, LengthOutsideLimitsIsBadFlags)
{
    for (DWORD dwBits : std::initializer_list<DWORD>{1u, 383u, 16385u, 65535u}) {
        SCOPED_TRACE(dwBits);
        HCRYPTKEY hKey = 0x99;
        EXPECT_FALSE(CryptGenKey(m_prov, AT_KEYEXCHANGE, dwBits << 16, &hKey));
        EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
        EXPECT_EQ(0x99u, hKey);
    }
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
}

TEST_F(KeyTest, UnknownLowFlagsAreBadFlags)
{
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16 | 0x8, &hKey));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
}

TEST_F(KeyTest, OtherAlgorithmsAreBadAlgid)
{
    for (ALG_ID algid : std::initializer_list<ALG_ID>{0u, 3u, static_cast<ALG_ID>(CALG_SHA1),
                                                      0x6610u /* CALG_AES_256 */, 0x6801u /* CALG_RC4 */}) {
        SCOPED_TRACE(algid);
        HCRYPTKEY hKey = 0;
        EXPECT_FALSE(CryptGenKey(m_prov, algid, 512u << 16, &hKey));
        EXPECT_EQ(Code(NTE_BAD_ALGID), GetLastError());
    }
}

TEST_F(KeyTest, GenKeyNeedsOutput)
{
    EXPECT_FALSE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(KeyTest, GeneratedPairReplacesThePairOfItsSpecAndPersists)
{
    Key first, second;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, first.Out()));
    ASSERT_TRUE(CryptGenKey(m_prov, CALG_RSA_KEYX, 520u << 16, second.Out()));
    Key user;
    ASSERT_TRUE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, user.Out()));
    EXPECT_EQ(Export(second, PUBLICKEYBLOB), Export(user, PUBLICKEYBLOB));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_SIGNATURE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());

    Prov reopened;
    ASSERT_TRUE(Acquire(&reopened, kContainer));
    Key stored;
    ASSERT_TRUE(CryptGetUserKey(reopened, AT_KEYEXCHANGE, stored.Out()));
    EXPECT_EQ(Export(second, PUBLICKEYBLOB), Export(stored, PUBLICKEYBLOB));
    EXPECT_EQ(520u, KeyParam(stored, KP_KEYLEN));
}

TEST_F(KeyTest, UserProtectedKeyInSilentContextNeedsPrompt)
{
    Prov silent;
    ASSERT_TRUE(Acquire(&silent, kContainer, CRYPT_SILENT));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGenKey(silent, AT_KEYEXCHANGE, 512u << 16 | CRYPT_USER_PROTECTED, &hKey));
    EXPECT_EQ(Code(NTE_SILENT_CONTEXT), GetLastError());
    Key key;
    EXPECT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16 | CRYPT_USER_PROTECTED, key.Out()));
}

TEST_F(KeyTest, GetUserKeyErrors)
{
    HCRYPTKEY hKey = 0x42;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_SIGNATURE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    EXPECT_EQ(0x42u, hKey);
    for (DWORD dwKeySpec : std::initializer_list<DWORD>{0u, 3u, static_cast<DWORD>(CALG_RSA_KEYX)}) {
        EXPECT_FALSE(CryptGetUserKey(m_prov, dwKeySpec, &hKey));
        EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    }
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(KeyTest, KeyParameterConventions)
{
    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16 | CRYPT_EXPORTABLE, key.Out()));
    DWORD dwValue = 0x11111111, cbValue = 0;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, nullptr, &cbValue, 0));
    EXPECT_EQ(4u, cbValue);
    cbValue = 3;
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(4u, cbValue);
    EXPECT_EQ(0x11111111u, dwValue);
    cbValue = 8;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
    EXPECT_EQ(4u, cbValue);
    EXPECT_EQ(512u, dwValue);
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 1));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    EXPECT_FALSE(CryptGetKeyParam(key, 0x1234, reinterpret_cast<BYTE *>(&dwValue), &cbValue, 0));
    EXPECT_EQ(Code(NTE_BAD_TYPE), GetLastError());
    EXPECT_FALSE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE *>(&dwValue), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_EQ(0x3fu, KeyParam(key, kKeyParamPermissions)); // with CRYPT_EXPORT
}

TEST_F(KeyTest, ExportedBlobsHaveMicrosoftLayout)
{
    const TestKey &judge = CachedTestKey(1024);
    Key key(qvntest::ImportTestKey(m_prov, judge, AT_KEYEXCHANGE, CRYPT_EXPORTABLE));
    ASSERT_NE(0u, static_cast<HCRYPTKEY>(key));

    const Bytes publicBlob = Export(key, PUBLICKEYBLOB);
    const Bytes expectedHeader = {0x06, 0x02, 0x00, 0x00, 0x00, 0xa4, 0x00, 0x00, 'R',  'S',
                                  'A',  '1',  0x00, 0x04, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};
    ASSERT_EQ(20u + 128u, publicBlob.size());
    EXPECT_EQ(expectedHeader, Bytes(publicBlob.begin(), publicBlob.begin() + 20));
    EXPECT_EQ(qvntest::Reversed(judge.Modulus()), Bytes(publicBlob.begin() + 20, publicBlob.end()));

    const Bytes privateBlob = Export(key, PRIVATEKEYBLOB);
    EXPECT_EQ(20u + 2 * 128u + 5 * 64u, privateBlob.size());
    EXPECT_EQ(judge.PrivateKeyBlob(CALG_RSA_KEYX), privateBlob);
    EXPECT_EQ('2', privateBlob[11]);
}

TEST_F(KeyTest, OddLengthBlobsUseRoundedFieldSizes)
{
    const TestKey &judge = CachedTestKey(1023);
    Key key(qvntest::ImportTestKey(m_prov, judge, AT_SIGNATURE, CRYPT_EXPORTABLE));
    const Bytes privateBlob = Export(key, PRIVATEKEYBLOB);
    EXPECT_EQ(20u + 2 * 128u + 5 * 64u, privateBlob.size());
    EXPECT_EQ(judge.PrivateKeyBlob(CALG_RSA_SIGN), privateBlob);
    EXPECT_EQ(1023u, KeyParam(key, KP_KEYLEN));
}

TEST_F(KeyTest, ExportSizeQueryAndSmallBuffer)
{
    Key key(qvntest::ImportTestKey(m_prov, CachedTestKey(2048), AT_KEYEXCHANGE, CRYPT_EXPORTABLE));
    DWORD cbBlob = 0;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(20u + 256u, cbBlob);
    ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(20u + 512u + 5 * 128u, cbBlob);
    Bytes small(100, 0xab);
    cbBlob = 100;
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, small.data(), &cbBlob));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(276u, cbBlob);
    EXPECT_EQ(Bytes(100, 0xab), small);
}

TEST_F(KeyTest, PrivateExportNeedsExportableKey)
{
    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, key.Out()));
    DWORD cbBlob = 0;
    EXPECT_FALSE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), GetLastError());
    EXPECT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(0x3bu, KeyParam(key, kKeyParamPermissions)); // no CRYPT_EXPORT

    Key imported(qvntest::ImportTestKey(m_prov, CachedTestKey(1024), AT_SIGNATURE, 0));
    EXPECT_FALSE(CryptExportKey(imported, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), GetLastError());
}

TEST_F(KeyTest, ExportabilityIsStoredWithThePair)
{
    Key exportable;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16 | CRYPT_EXPORTABLE, exportable.Out()));
    Key locked;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_SIGNATURE, 512u << 16, locked.Out()));
    Prov reopened;
    ASSERT_TRUE(Acquire(&reopened, kContainer));
    Key exchange, signature;
    ASSERT_TRUE(CryptGetUserKey(reopened, AT_KEYEXCHANGE, exchange.Out()));
    ASSERT_TRUE(CryptGetUserKey(reopened, AT_SIGNATURE, signature.Out()));
    DWORD cbBlob = 0;
    EXPECT_TRUE(CryptExportKey(exchange, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_FALSE(CryptExportKey(signature, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), GetLastError());
}

TEST_F(KeyTest, ExportErrors)
{
    Key key;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16 | CRYPT_EXPORTABLE, key.Out()));
    Key other;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_SIGNATURE, 512u << 16, other.Out()));
    DWORD cbBlob = 0;
    EXPECT_FALSE(CryptExportKey(key, 0, SIMPLEBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_TYPE), GetLastError());
    EXPECT_FALSE(CryptExportKey(key, other, PUBLICKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    EXPECT_FALSE(CryptExportKey(key, 0xdeadbeef, PUBLICKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0x40, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
}

TEST_F(KeyTest, ImportOfPrivateBlobInstallsPairOfTheBlobsSpec)
{
    const Bytes signBlob = CachedTestKey(1024, 0).PrivateKeyBlob(CALG_RSA_SIGN);
    Key imported;
    ASSERT_TRUE(CryptImportKey(m_prov, signBlob.data(), static_cast<DWORD>(signBlob.size()), 0, 0, imported.Out()));
    EXPECT_EQ(static_cast<DWORD>(CALG_RSA_SIGN), KeyParam(imported, KP_ALGID));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());

    Prov reopened;
    ASSERT_TRUE(Acquire(&reopened, kContainer));
    Key stored;
    ASSERT_TRUE(CryptGetUserKey(reopened, AT_SIGNATURE, stored.Out()));
    EXPECT_EQ(CachedTestKey(1024, 0).PublicKeyBlob(CALG_RSA_SIGN), Export(stored, PUBLICKEYBLOB));
}

TEST_F(KeyTest, ImportOfPublicBlobIsNotStored)
{
    const Bytes blob = CachedTestKey(1024).PublicKeyBlob(CALG_RSA_KEYX);
    Key imported;
    ASSERT_TRUE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, imported.Out()));
    EXPECT_EQ(blob, Export(imported, PUBLICKEYBLOB));
    EXPECT_EQ(1024u, KeyParam(imported, KP_KEYLEN));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    DWORD cbBlob = 0;
    EXPECT_FALSE(CryptExportKey(imported, 0, PRIVATEKEYBLOB, 0, nullptr, &cbBlob));
    EXPECT_EQ(Code(NTE_BAD_KEY_STATE), GetLastError());
}

TEST_F(KeyTest, MalformedBlobsAreRefusedWithoutChangingTheContainer)
{
    const Bytes good = CachedTestKey(1024).PrivateKeyBlob(CALG_RSA_KEYX);
    auto modified = [&](size_t i, BYTE b) {
        Bytes blob = good;
        blob[i] = b;
        return blob;
    };
    const struct {
        const char *pszName;
        Bytes blob;
        HRESULT hr;
    } kCases[] = {
        {"too short for a header", Bytes(good.begin(), good.begin() + 7), NTE_BAD_DATA},
        {"version 1", modified(1, 1), NTE_BAD_DATA},
        {"reserved set", modified(2, 1), NTE_BAD_DATA},
        {"simple blob", modified(0, SIMPLEBLOB), NTE_BAD_TYPE},
        {"unknown type", modified(0, 0x42), NTE_BAD_TYPE},
        {"session key algorithm", modified(5, 0x66), NTE_BAD_ALGID},
        {"public magic in private blob", modified(11, '1'), NTE_BAD_DATA},
        {"truncated numbers", Bytes(good.begin(), good.end() - 1), NTE_BAD_DATA},
        {"bit length 256", modified(13, 0x01), NTE_BAD_DATA},
        {"exponent 0",
         [&] {
             Bytes blob = good;
             std::fill(blob.begin() + 16, blob.begin() + 20, 0);
             return blob;
         }(),
         NTE_BAD_DATA},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.pszName);
        HCRYPTKEY hKey = 0x31;
        EXPECT_FALSE(CryptImportKey(m_prov, c.blob.data(), static_cast<DWORD>(c.blob.size()), 0, 0, &hKey));
        EXPECT_EQ(Code(c.hr), GetLastError());
        EXPECT_EQ(0x31u, hKey);
    }
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    EXPECT_EQ(0, QvnPlatformLiveKeys());
}

TEST_F(KeyTest, ImportParameterErrors)
{
    const Bytes blob = CachedTestKey(1024).PrivateKeyBlob();
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptImportKey(m_prov, nullptr, static_cast<DWORD>(blob.size()), 0, 0, &hKey));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptImportKey(m_prov, blob.data(), 0, 0, 0, &hKey));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0xdeadbeef, 0, &hKey));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0x10, &hKey));
    EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
}

TEST_F(KeyTest, ImportIntoVerificationContextStaysInTheContext)
{
    Prov verify;
    ASSERT_TRUE(Acquire(&verify, nullptr, CRYPT_VERIFYCONTEXT));
    Key imported(qvntest::ImportTestKey(verify, CachedTestKey(1024), AT_KEYEXCHANGE));
    Key user;
    EXPECT_TRUE(CryptGetUserKey(verify, AT_KEYEXCHANGE, user.Out()));
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, &hKey));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
}

TEST_F(KeyTest, DestroyKeyOnceOnly)
{
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptGenKey(m_prov, AT_KEYEXCHANGE, 512u << 16, &hKey));
    const LONG cKeys = QvnPlatformLiveKeys();
    EXPECT_TRUE(CryptDestroyKey(hKey));
    EXPECT_EQ(cKeys - 1, QvnPlatformLiveKeys());
    EXPECT_FALSE(CryptDestroyKey(hKey));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // Destroying the handle leaves the container's pair alone.
    Key user;
    EXPECT_TRUE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, user.Out()));
}

TEST_F(KeyTest, LargestKeyLengthIsAccepted)
{
    // Generating a 16384-bit key takes far too long for a unit test; a public
    // key of that length shows the upper limit is supported end to end.
    Bytes modulus = qvntest::PatternBytes(2048, 16384); // little-endian, as in the blob
    modulus.back() |= 0x80;
    modulus.front() |= 0x01;
    Bytes blob = {PUBLICKEYBLOB,
                  CUR_BLOB_VERSION,
                  0,
                  0,
                  0x00,
                  0xa4,
                  0,
                  0,
                  'R',
                  'S',
                  'A',
                  '1',
                  0x00,
                  0x40,
                  0x00,
                  0x00,
                  0x01,
                  0x00,
                  0x01,
                  0x00};
    blob.insert(blob.end(), modulus.begin(), modulus.end());
    Key key;
    ASSERT_TRUE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, key.Out()))
        << std::hex << GetLastError();
    EXPECT_EQ(16384u, KeyParam(key, KP_KEYLEN));
    EXPECT_EQ(blob, Export(key, PUBLICKEYBLOB));
    Bytes buffer(2048);
    DWORD cbData = 2048 - 11;
    EXPECT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &cbData, 2048));
    EXPECT_EQ(2048u, cbData);

    blob[13] = 0x40;
    blob[14] = 0x40; // 16448 bits: beyond the limit
    blob.insert(blob.end(), 8, 0xff);
    HCRYPTKEY hKey = 0;
    EXPECT_FALSE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hKey));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
}

} // namespace
