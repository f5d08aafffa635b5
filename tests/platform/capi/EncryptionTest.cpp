// CryptEncrypt and CryptDecrypt with RSA keys against OpenSSL: PKCS #1 v1.5
// ciphertexts least significant byte first, one block per call.
#include "CapiTestUtil.h"

using namespace capitest;
using qvntest::CachedTestKey;
using qvntest::PatternBytes;
using qvntest::Reversed;
using qvntest::TestKey;

namespace
{

const WCHAR kContainer[] = u"encryption container";
constexpr DWORD kCryptOaep = 0x00000040; // CRYPT_OAEP

class EncryptionTest : public qvntest::StoreTest
{
protected:
    void SetUpContainer(const TestKey &key)
    {
        ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, AT_KEYEXCHANGE, key));
        ASSERT_TRUE(Acquire(&m_prov, kContainer));
        ASSERT_TRUE(CryptGetUserKey(m_prov, AT_KEYEXCHANGE, m_key.Out()));
    }

    // CryptEncrypt of plaintext in a buffer of the key length; the ciphertext.
    Bytes Encrypt(HCRYPTKEY hKey, const Bytes &plaintext, DWORD cbKey)
    {
        Bytes buffer(cbKey, 0xee);
        std::copy(plaintext.begin(), plaintext.end(), buffer.begin());
        DWORD cbData = static_cast<DWORD>(plaintext.size());
        if (!CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, cbKey)) {
            ADD_FAILURE() << "CryptEncrypt failed with 0x" << std::hex << GetLastError();
            return Bytes();
        }
        EXPECT_EQ(cbKey, cbData);
        return buffer;
    }

    Prov m_prov;
    Key m_key;
};

class EncryptionLengthTest : public EncryptionTest, public ::testing::WithParamInterface<DWORD>
{
};

TEST_P(EncryptionLengthTest, CiphertextReversedDecryptsWithOpenSsl)
{
    const TestKey &key = CachedTestKey(GetParam());
    SetUpContainer(key);
    const DWORD cbKey = key.ByteLength();
    for (size_t cbPlain : {size_t(0), size_t(1), size_t(cbKey - 11)}) {
        SCOPED_TRACE(cbPlain);
        const Bytes plaintext = PatternBytes(cbPlain, static_cast<unsigned>(cbPlain));
        const Bytes ciphertext = Encrypt(m_key, plaintext, cbKey);
        const std::optional<Bytes> decrypted = qvntest::OpenSslDecrypt(key, Reversed(ciphertext));
        ASSERT_TRUE(decrypted.has_value());
        EXPECT_EQ(plaintext, *decrypted);
    }
}

TEST_P(EncryptionLengthTest, OpenSslCiphertextReversedDecrypts)
{
    const TestKey &key = CachedTestKey(GetParam());
    SetUpContainer(key);
    const DWORD cbKey = key.ByteLength();
    for (size_t cbPlain : {size_t(0), size_t(5), size_t(cbKey - 11)}) {
        SCOPED_TRACE(cbPlain);
        const Bytes plaintext = PatternBytes(cbPlain, 77);
        Bytes buffer = Reversed(qvntest::OpenSslEncrypt(key, plaintext));
        DWORD cbData = cbKey;
        ASSERT_TRUE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData)) << std::hex << GetLastError();
        EXPECT_EQ(cbPlain, cbData);
        EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + cbData));
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, EncryptionLengthTest, ::testing::Values(1023u, 1024u, 2048u, 4096u));

TEST_F(EncryptionTest, SizeQueryReportsKeyLength)
{
    SetUpContainer(CachedTestKey(2048));
    DWORD cbData = 10;
    ASSERT_TRUE(CryptEncrypt(m_key, 0, TRUE, 0, nullptr, &cbData, 0));
    EXPECT_EQ(256u, cbData);
}

TEST_F(EncryptionTest, SmallBufferGivesMoreDataWithRequiredSizeAndLeavesData)
{
    SetUpContainer(CachedTestKey(2048));
    Bytes buffer(255, 0x41);
    DWORD cbData = 10;
    EXPECT_FALSE(CryptEncrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData, 255));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(256u, cbData);
    EXPECT_EQ(Bytes(255, 0x41), buffer);
}

TEST_F(EncryptionTest, PlaintextAboveKeyLengthLessElevenIsBadLen)
{
    SetUpContainer(CachedTestKey(2048));
    Bytes buffer(256, 0x41);
    DWORD cbData = 246;
    EXPECT_FALSE(CryptEncrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData, 256));
    EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
    EXPECT_EQ(Bytes(256, 0x41), buffer);
}

TEST_F(EncryptionTest, TwoEncryptionsOfSamePlaintextDiffer)
{
    SetUpContainer(CachedTestKey(1024));
    const Bytes plaintext = qvntest::BytesOf("same");
    EXPECT_NE(Encrypt(m_key, plaintext, 128), Encrypt(m_key, plaintext, 128));
}

TEST_F(EncryptionTest, RoundTripThroughCryptDecrypt)
{
    SetUpContainer(CachedTestKey(1024));
    const Bytes plaintext = qvntest::BytesOf("round trip");
    Bytes buffer = Encrypt(m_key, plaintext, 128);
    DWORD cbData = 128;
    ASSERT_TRUE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData));
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + cbData));
}

TEST_F(EncryptionTest, NotFinalIsRefused)
{
    SetUpContainer(CachedTestKey(1024));
    Bytes buffer(128, 1);
    DWORD cbData = 4;
    EXPECT_FALSE(CryptEncrypt(m_key, 0, FALSE, 0, buffer.data(), &cbData, 128));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
    cbData = 128;
    EXPECT_FALSE(CryptDecrypt(m_key, 0, FALSE, 0, buffer.data(), &cbData));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
}

TEST_F(EncryptionTest, FlagsAreRefused)
{
    SetUpContainer(CachedTestKey(1024));
    for (DWORD dwFlags : std::initializer_list<DWORD>{kCryptOaep, 0x1u, 0x80000000u}) {
        SCOPED_TRACE(dwFlags);
        Bytes buffer(128, 1);
        DWORD cbData = 4;
        EXPECT_FALSE(CryptEncrypt(m_key, 0, TRUE, dwFlags, buffer.data(), &cbData, 128));
        EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
        cbData = 128;
        EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, dwFlags, buffer.data(), &cbData));
        EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    }
}

TEST_F(EncryptionTest, SignatureKeyNeitherEncryptsNorDecrypts)
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, AT_SIGNATURE, CachedTestKey(1024)));
    ASSERT_TRUE(Acquire(&m_prov, kContainer));
    Key signatureKey;
    ASSERT_TRUE(CryptGetUserKey(m_prov, AT_SIGNATURE, signatureKey.Out()));
    Bytes buffer(128, 1);
    DWORD cbData = 4;
    EXPECT_FALSE(CryptEncrypt(signatureKey, 0, TRUE, 0, buffer.data(), &cbData, 128));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    cbData = 0;
    EXPECT_FALSE(CryptEncrypt(signatureKey, 0, TRUE, 0, nullptr, &cbData, 0));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    buffer = Reversed(qvntest::OpenSslEncrypt(CachedTestKey(1024), qvntest::BytesOf("x")));
    cbData = 128;
    EXPECT_FALSE(CryptDecrypt(signatureKey, 0, TRUE, 0, buffer.data(), &cbData));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
}

TEST_F(EncryptionTest, DecryptOfWrongLengthIsBadLen)
{
    SetUpContainer(CachedTestKey(2048));
    for (DWORD cbData : std::initializer_list<DWORD>{255u, 257u, 0u}) {
        SCOPED_TRACE(cbData);
        Bytes buffer(300, 0x33);
        DWORD cbInOut = cbData;
        EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbInOut));
        EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
        EXPECT_EQ(cbData, cbInOut);
        EXPECT_EQ(Bytes(300, 0x33), buffer);
    }
}

TEST_F(EncryptionTest, DamagedCiphertextIsBadData)
{
    SetUpContainer(CachedTestKey(2048));
    const Bytes ciphertext = Encrypt(m_key, qvntest::BytesOf("secret"), 256);
    for (size_t i : {size_t(0), size_t(100), size_t(255)}) {
        SCOPED_TRACE(i);
        Bytes damaged = ciphertext;
        damaged[i] ^= 0x80;
        DWORD cbData = 256;
        EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, damaged.data(), &cbData));
        EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
        EXPECT_EQ(256u, cbData);
    }
}

TEST_F(EncryptionTest, CiphertextForAnotherKeyIsBadData)
{
    SetUpContainer(CachedTestKey(2048, 0));
    Bytes buffer = Reversed(qvntest::OpenSslEncrypt(CachedTestKey(2048, 1), qvntest::BytesOf("other")));
    DWORD cbData = 256;
    EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
}

TEST_F(EncryptionTest, BigEndianCiphertextIsNotAccepted)
{
    SetUpContainer(CachedTestKey(2048));
    Bytes buffer = qvntest::OpenSslEncrypt(CachedTestKey(2048), qvntest::BytesOf("order"));
    DWORD cbData = 256;
    EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData));
    EXPECT_EQ(Code(NTE_BAD_DATA), GetLastError());
}

TEST_F(EncryptionTest, DecryptNeedsDataAndLength)
{
    SetUpContainer(CachedTestKey(1024));
    DWORD cbData = 128;
    EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, nullptr, &cbData));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    Bytes buffer(128);
    EXPECT_FALSE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    EXPECT_FALSE(CryptEncrypt(m_key, 0, TRUE, 0, buffer.data(), nullptr, 128));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(EncryptionTest, ImportedPublicKeyEncryptsButCannotDecrypt)
{
    const TestKey &key = CachedTestKey(1024);
    SetUpContainer(key);
    const Bytes blob = key.PublicKeyBlob(CALG_RSA_KEYX);
    Key publicKey;
    ASSERT_TRUE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, publicKey.Out()));
    const Bytes plaintext = qvntest::BytesOf("to the owner");
    Bytes buffer = Encrypt(publicKey, plaintext, 128);
    Bytes copy = buffer;

    DWORD cbData = 128;
    EXPECT_FALSE(CryptDecrypt(publicKey, 0, TRUE, 0, copy.data(), &cbData));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
    cbData = 128;
    ASSERT_TRUE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData));
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + cbData));
}

TEST_F(EncryptionTest, HashObjectReceivesThePlaintext)
{
    SetUpContainer(CachedTestKey(1024));
    const Bytes plaintext = qvntest::BytesOf("hash me too");
    Hash encryptHash, decryptHash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, encryptHash.Out()));
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, decryptHash.Out()));
    Bytes buffer(128);
    std::copy(plaintext.begin(), plaintext.end(), buffer.begin());
    DWORD cbData = static_cast<DWORD>(plaintext.size());
    ASSERT_TRUE(CryptEncrypt(m_key, encryptHash, TRUE, 0, buffer.data(), &cbData, 128));
    ASSERT_TRUE(CryptDecrypt(m_key, decryptHash, TRUE, 0, buffer.data(), &cbData));

    const Bytes expected = *qvntest::OpenSslDigest(CALG_SHA1, plaintext);
    for (HCRYPTHASH hHash : {static_cast<HCRYPTHASH>(encryptHash), static_cast<HCRYPTHASH>(decryptHash)}) {
        Bytes value(20);
        DWORD cbValue = 20;
        ASSERT_TRUE(CryptGetHashParam(hHash, HP_HASHVAL, value.data(), &cbValue, 0));
        EXPECT_EQ(expected, value);
    }
}

TEST_F(EncryptionTest, GeneratedKeyEncryptsForOpenSsl)
{
    // A key made by the CSP itself (an odd length), judged through its export.
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 1023u << 16 | CRYPT_EXPORTABLE, key.Out()));
    Bytes blob(2048);
    DWORD cbBlob = 2048;
    ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob));
    blob.resize(cbBlob);
    const std::unique_ptr<TestKey> judge = qvntest::TestKeyFromBlob(blob);
    ASSERT_TRUE(judge);

    const Bytes plaintext = PatternBytes(117, 1);
    const Bytes ciphertext = Encrypt(key, plaintext, 128);
    EXPECT_EQ(plaintext, qvntest::OpenSslDecrypt(*judge, Reversed(ciphertext)));
}

} // namespace
