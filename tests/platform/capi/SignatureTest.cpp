// CryptSignHashW and CryptVerifySignatureW against OpenSSL: every signature
// is compared byte for byte with OpenSSL's PKCS #1 v1.5 signature of the same
// key and hash (least significant byte first on the CryptoAPI side).
#include "CapiTestUtil.h"

#include <openssl/evp.h>

#include <tuple>

using namespace capitest;
using qvntest::CachedTestKey;
using qvntest::OpenSslSign;
using qvntest::OpenSslVerify;
using qvntest::PatternBytes;
using qvntest::Reversed;
using qvntest::TestKey;

namespace
{

const WCHAR kContainer[] = u"signing container";

class SignatureTest : public qvntest::StoreTest
{
protected:
    // A container holding key as its pair of dwKeySpec, acquired into m_prov.
    void SetUpContainer(const TestKey &key, DWORD dwKeySpec)
    {
        ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, dwKeySpec, key));
        ASSERT_TRUE(Acquire(&m_prov, kContainer));
        ASSERT_TRUE(CryptGetUserKey(m_prov, dwKeySpec, m_key.Out()));
    }

    Prov m_prov;
    Key m_key;
};

struct AlgorithmCase {
    ALG_ID algid;
    DWORD dwFlags;
    bool fBare; // the signature carries no algorithm identifier
};

void PrintTo(const AlgorithmCase &c, std::ostream *pOut)
{
    *pOut << "alg 0x" << std::hex << c.algid << " flags " << c.dwFlags << (c.fBare ? " bare" : " with DigestInfo");
}

std::string Describe(const ::testing::TestParamInfo<std::tuple<AlgorithmCase, DWORD>> &info)
{
    const AlgorithmCase &c = std::get<0>(info.param);
    return "alg_" + std::to_string(c.algid & 0xff) + (c.dwFlags != 0 ? "_nohashoid" : "") + "_spec" +
           std::to_string(std::get<1>(info.param));
}

class SignatureAlgorithmTest : public SignatureTest,
                               public ::testing::WithParamInterface<std::tuple<AlgorithmCase, DWORD>>
{
};

TEST_P(SignatureAlgorithmTest, SignatureIsOpenSslsSignatureReversedAndVerifies)
{
    const AlgorithmCase c = std::get<0>(GetParam());
    const DWORD dwKeySpec = std::get<1>(GetParam());
    const TestKey &key = CachedTestKey(2048);
    SetUpContainer(key, dwKeySpec);
    const Bytes value = PatternBytes(HashSizeOf(c.algid), c.algid);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, c.algid, value));

    const Bytes signature = SignWith(hash, dwKeySpec, c.dwFlags, 256);

    const Bytes expected = OpenSslSign(key, c.fBare ? 0 : c.algid, value);
    EXPECT_EQ(qvntest::Hex(expected), qvntest::Hex(Reversed(signature)));
    EXPECT_TRUE(OpenSslVerify(key, c.fBare ? 0 : c.algid, value, Reversed(signature)));
    EXPECT_TRUE(
        CryptVerifySignatureW(hash, signature.data(), static_cast<DWORD>(signature.size()), m_key, nullptr, c.dwFlags))
        << std::hex << GetLastError();
}

INSTANTIATE_TEST_SUITE_P(
    AllHashes, SignatureAlgorithmTest,
    ::testing::Combine(::testing::Values(AlgorithmCase{CALG_MD2, 0, false}, AlgorithmCase{CALG_MD4, 0, false},
                                         AlgorithmCase{CALG_MD5, 0, false}, AlgorithmCase{CALG_SHA1, 0, false},
                                         AlgorithmCase{CALG_SHA_256, 0, false}, AlgorithmCase{CALG_SHA_384, 0, false},
                                         AlgorithmCase{CALG_SHA_512, 0, false},
                                         AlgorithmCase{CALG_MD5, CRYPT_NOHASHOID, true},
                                         AlgorithmCase{CALG_SHA1, CRYPT_NOHASHOID, true},
                                         AlgorithmCase{CALG_SHA_256, CRYPT_NOHASHOID, true},
                                         AlgorithmCase{CALG_SHA_512, CRYPT_NOHASHOID, true},
                                         AlgorithmCase{CALG_SSL3_SHAMD5, 0, true},
                                         AlgorithmCase{CALG_SSL3_SHAMD5, CRYPT_NOHASHOID, true}),
                       ::testing::Values(static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE))),
    Describe);

class SignatureKeyLengthTest : public SignatureTest, public ::testing::WithParamInterface<DWORD>
{
};

TEST_P(SignatureKeyLengthTest, SignatureHasKeyLengthAndMatchesOpenSsl)
{
    const DWORD dwBits = GetParam();
    const TestKey &key = CachedTestKey(dwBits);
    SetUpContainer(key, AT_SIGNATURE);
    const DWORD cbKey = (dwBits + 7) / 8;
    const Bytes value = PatternBytes(20, dwBits);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, value));

    DWORD cbSignature = 0;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &cbSignature));
    EXPECT_EQ(cbKey, cbSignature);
    const Bytes signature = SignWith(hash, AT_SIGNATURE, 0, cbKey);

    EXPECT_EQ(OpenSslSign(key, CALG_SHA1, value), Reversed(signature));
    EXPECT_TRUE(CryptVerifySignatureW(hash, signature.data(), cbKey, m_key, nullptr, 0));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SignatureKeyLengthTest, ::testing::Values(1023u, 1024u, 2048u, 4096u));

TEST_F(SignatureTest, GeneratedKeysOfAnyLengthSignAsOpenSslDoes)
{
    // Lengths OpenSSL itself will not generate (384) and odd ones; the
    // exported key pair lets OpenSSL judge the result.
    for (DWORD dwBits : std::initializer_list<DWORD>{384u, 385u, 519u, 1023u}) {
        SCOPED_TRACE(dwBits);
        Prov prov;
        ASSERT_TRUE(
            CryptAcquireContextW(prov.Out(), nullptr, qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
        Key key;
        ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, dwBits << 16 | CRYPT_EXPORTABLE, key.Out()));
        Bytes blob(4096);
        DWORD cbBlob = static_cast<DWORD>(blob.size());
        ASSERT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob));
        blob.resize(cbBlob);
        const std::unique_ptr<TestKey> judge = qvntest::TestKeyFromBlob(blob);
        ASSERT_TRUE(judge);
        EXPECT_EQ(dwBits, judge->Bits());

        const Bytes value = PatternBytes(20, dwBits);
        Hash hash;
        ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, value));
        const Bytes signature = SignWith(hash, AT_SIGNATURE, 0, (dwBits + 7) / 8);
        EXPECT_EQ(OpenSslSign(*judge, CALG_SHA1, value), Reversed(signature));
    }
}

TEST_F(SignatureTest, SignatureOfHashedDataMatchesOpenSslDigestAndSignature)
{
    const TestKey &key = CachedTestKey(2048);
    SetUpContainer(key, AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA_256, 0, 0, hash.Out()));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));

    const Bytes signature = SignWith(hash, AT_KEYEXCHANGE, 0, 256);

    const Bytes digest = *qvntest::OpenSslDigest(CALG_SHA_256, qvntest::BytesOf("abc"));
    EXPECT_EQ(OpenSslSign(key, CALG_SHA_256, digest), Reversed(signature));
    // Signing finished the hash: its value is readable and it takes no more data.
    Bytes value(32);
    DWORD cbValue = 32;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &cbValue, 0));
    EXPECT_EQ(digest, value);
    EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE *>("d"), 1, 0));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
}

TEST_F(SignatureTest, DescriptionIsHashedBeforeSigning)
{
    const TestKey &key = CachedTestKey(1024);
    SetUpContainer(key, AT_SIGNATURE);
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, hash.Out()));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("data"), 4, 0));
    Bytes signature(128);
    DWORD cbSignature = 128;
    ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, u"Ab", 0, signature.data(), &cbSignature));

    const Bytes hashed = {'d', 'a', 't', 'a', 'A', 0, 'b', 0};
    EXPECT_EQ(OpenSslSign(key, CALG_SHA1, *qvntest::OpenSslDigest(CALG_SHA1, hashed)), Reversed(signature));
}

TEST_F(SignatureTest, SizeQueryReportsKeyLengthAndLeavesHashRunning)
{
    SetUpContainer(CachedTestKey(1023), AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_MD5, 0, 0, hash.Out()));

    DWORD cbSignature = 7;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &cbSignature));

    EXPECT_EQ(128u, cbSignature);
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("x"), 1, 0));
}

TEST_F(SignatureTest, SmallBufferGivesMoreDataWithRequiredSizeAndLeavesBuffer)
{
    SetUpContainer(CachedTestKey(2048), AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA_256, PatternBytes(32, 1)));
    Bytes buffer(255, 0xcd);
    DWORD cbSignature = 255;

    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &cbSignature));

    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
    EXPECT_EQ(256u, cbSignature);
    EXPECT_EQ(Bytes(255, 0xcd), buffer);
}

TEST_F(SignatureTest, LargerBufferReceivesKeyLengthSignature)
{
    const TestKey &key = CachedTestKey(1024);
    SetUpContainer(key, AT_KEYEXCHANGE);
    const Bytes value = PatternBytes(20, 2);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, value));
    Bytes buffer(300, 0xcd);
    DWORD cbSignature = 300;

    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &cbSignature));

    EXPECT_EQ(128u, cbSignature);
    EXPECT_EQ(OpenSslSign(key, CALG_SHA1, value), Reversed(Bytes(buffer.begin(), buffer.begin() + 128)));
    EXPECT_EQ(Bytes(172, 0xcd), Bytes(buffer.begin() + 128, buffer.end()));
}

TEST_F(SignatureTest, SignRefusesUnknownFlags)
{
    SetUpContainer(CachedTestKey(1024), AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, PatternBytes(20, 3)));
    for (DWORD dwFlags : std::initializer_list<DWORD>{0x2u, 0x4u, 0x8u, 0x80000000u, CRYPT_NOHASHOID | 0x10u}) {
        SCOPED_TRACE(dwFlags);
        Bytes signature(128);
        DWORD cbSignature = 128;
        EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, dwFlags, signature.data(), &cbSignature));
        EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    }
}

TEST_F(SignatureTest, SignWithoutKeyPairOfTheSpecGivesNoKey)
{
    SetUpContainer(CachedTestKey(1024), AT_KEYEXCHANGE); // no signature pair
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, PatternBytes(20, 4)));
    for (DWORD dwKeySpec : std::initializer_list<DWORD>{static_cast<DWORD>(AT_SIGNATURE), 0u, 3u}) {
        SCOPED_TRACE(dwKeySpec);
        DWORD cbSignature = 0;
        EXPECT_FALSE(CryptSignHashW(hash, dwKeySpec, nullptr, 0, nullptr, &cbSignature));
        EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
    }
}

TEST_F(SignatureTest, VerificationContextHasNoKeyToSignWith)
{
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT));
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, PatternBytes(20, 5)));
    DWORD cbSignature = 0;
    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &cbSignature));
    EXPECT_EQ(Code(NTE_NO_KEY), GetLastError());
}

TEST_F(SignatureTest, SignNeedsLengthPointer)
{
    SetUpContainer(CachedTestKey(1024), AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, PatternBytes(20, 6)));
    Bytes signature(128);
    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(SignatureTest, Ssl3ShaMd5WithoutValueCannotBeSigned)
{
    SetUpContainer(CachedTestKey(1024), AT_KEYEXCHANGE);
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SSL3_SHAMD5, 0, 0, hash.Out()));
    Bytes signature(128);
    DWORD cbSignature = 128;
    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature));
    EXPECT_EQ(Code(NTE_BAD_HASH_STATE), GetLastError());
}

TEST_F(SignatureTest, HashTooLongForKeyGivesBadLen)
{
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT));
    Key key;
    ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, 384u << 16, key.Out()));
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA_512, PatternBytes(64, 7))); // 83-byte DigestInfo > 48 - 11
    Bytes signature(48);
    DWORD cbSignature = 48;
    EXPECT_FALSE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &cbSignature));
    EXPECT_EQ(Code(NTE_BAD_LEN), GetLastError());
}

// ---- Verification ---------------------------------------------------------------

class VerifyTest : public SignatureTest
{
protected:
    void SetUp() override
    {
        SignatureTest::SetUp();
        SetUpContainer(CachedTestKey(2048), AT_SIGNATURE);
        m_value = PatternBytes(32, 8);
        ASSERT_TRUE(HashWithValue(&m_hash, m_prov, CALG_SHA_256, m_value));
        m_signature = Reversed(OpenSslSign(CachedTestKey(2048), CALG_SHA_256, m_value));
    }

    BOOL Verify(const Bytes &signature, DWORD dwFlags = 0)
    {
        return CryptVerifySignatureW(m_hash, signature.data(), static_cast<DWORD>(signature.size()), m_key, nullptr,
                                     dwFlags);
    }

    Bytes m_value;
    Hash m_hash;
    Bytes m_signature;
};

TEST_F(VerifyTest, AcceptsOpenSslSignatureLeastSignificantByteFirst)
{
    EXPECT_TRUE(Verify(m_signature)) << std::hex << GetLastError();
}

TEST_F(VerifyTest, RefusesBigEndianSignature)
{
    EXPECT_FALSE(Verify(Reversed(m_signature)));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, RefusesEveryDamagedByte)
{
    for (size_t i : {size_t(0), size_t(1), size_t(128), size_t(254), size_t(255)}) {
        SCOPED_TRACE(i);
        Bytes damaged = m_signature;
        damaged[i] ^= 0x01;
        EXPECT_FALSE(Verify(damaged));
        EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
    }
}

TEST_F(VerifyTest, WrongLengthIsBadSignature)
{
    Bytes shorter(m_signature.begin(), m_signature.end() - 1);
    Bytes longer = m_signature;
    longer.push_back(0);
    EXPECT_FALSE(Verify(shorter));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
    EXPECT_FALSE(Verify(longer));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, NullSignatureOfRightLengthIsInvalidParameter)
{
    EXPECT_FALSE(CryptVerifySignatureW(m_hash, nullptr, 256, m_key, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(VerifyTest, ValueAboveModulusIsBadSignature)
{
    EXPECT_FALSE(Verify(Bytes(256, 0xff)));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, SignatureOfAnotherHashIsRefused)
{
    Hash other;
    ASSERT_TRUE(HashWithValue(&other, m_prov, CALG_SHA_256, PatternBytes(32, 9)));
    EXPECT_FALSE(CryptVerifySignatureW(other, m_signature.data(), 256, m_key, nullptr, 0));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, AlgorithmIdentifierMustMatchFlags)
{
    // A signature with DigestInfo does not verify as a bare one, nor the reverse.
    EXPECT_FALSE(Verify(m_signature, CRYPT_NOHASHOID));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
    const Bytes bare = Reversed(OpenSslSign(CachedTestKey(2048), 0, m_value));
    EXPECT_FALSE(Verify(bare, 0));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
    EXPECT_TRUE(Verify(bare, CRYPT_NOHASHOID));
}

TEST_F(VerifyTest, SignatureUnderSameHashOfOtherAlgorithmIsRefused)
{
    // SHA-256 DigestInfo over the value, checked against a SHA-512 sized hash
    // of another algorithm: the identifiers differ.
    Hash sha1;
    const Bytes value20(m_value.begin(), m_value.begin() + 20);
    ASSERT_TRUE(HashWithValue(&sha1, m_prov, CALG_SHA1, value20));
    const Bytes md5Signed =
        Reversed(OpenSslSign(CachedTestKey(2048), CALG_MD5, Bytes(value20.begin(), value20.begin() + 16)));
    EXPECT_FALSE(CryptVerifySignatureW(sha1, md5Signed.data(), 256, m_key, nullptr, 0));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, RefusesUnknownFlags)
{
    for (DWORD dwFlags : std::initializer_list<DWORD>{0x2u, 0x4u, 0x100u}) {
        SCOPED_TRACE(dwFlags);
        EXPECT_FALSE(Verify(m_signature, dwFlags));
        EXPECT_EQ(Code(NTE_BAD_FLAGS), GetLastError());
    }
}

TEST_F(VerifyTest, ImportedPublicKeyVerifies)
{
    const Bytes blob = CachedTestKey(2048).PublicKeyBlob(CALG_RSA_SIGN);
    Key publicKey;
    ASSERT_TRUE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, publicKey.Out()));
    EXPECT_TRUE(CryptVerifySignatureW(m_hash, m_signature.data(), 256, publicKey, nullptr, 0));
}

TEST_F(VerifyTest, KeyOfAnotherKeyPairRefusesSignature)
{
    const Bytes blob = CachedTestKey(2048, 1).PublicKeyBlob(CALG_RSA_SIGN);
    Key otherKey;
    ASSERT_TRUE(CryptImportKey(m_prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, otherKey.Out()));
    EXPECT_FALSE(CryptVerifySignatureW(m_hash, m_signature.data(), 256, otherKey, nullptr, 0));
    EXPECT_EQ(Code(NTE_BAD_SIGNATURE), GetLastError());
}

TEST_F(VerifyTest, KeyOfAnotherCspIsBadKey)
{
    Prov birch;
    ASSERT_TRUE(Acquire(&birch, nullptr, CRYPT_VERIFYCONTEXT, qvntest::kBirchProvider));
    const Bytes blob = CachedTestKey(2048).PublicKeyBlob(CALG_RSA_SIGN);
    Key birchKey;
    ASSERT_TRUE(CryptImportKey(birch, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, birchKey.Out()));
    EXPECT_FALSE(CryptVerifySignatureW(m_hash, m_signature.data(), 256, birchKey, nullptr, 0));
    EXPECT_EQ(Code(NTE_BAD_KEY), GetLastError());
}

TEST_F(SignatureTest, EachKeySpecSignsWithItsOwnPair)
{
    const TestKey &exchangeKey = CachedTestKey(1024, 0);
    const TestKey &signatureKey = CachedTestKey(1024, 1);
    ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, AT_KEYEXCHANGE, exchangeKey));
    ASSERT_TRUE(Acquire(&m_prov, kContainer));
    Key imported(qvntest::ImportTestKey(m_prov, signatureKey, AT_SIGNATURE));
    const Bytes value = PatternBytes(20, 10);

    Hash hash1, hash2;
    ASSERT_TRUE(HashWithValue(&hash1, m_prov, CALG_SHA1, value));
    ASSERT_TRUE(HashWithValue(&hash2, m_prov, CALG_SHA1, value));
    EXPECT_EQ(OpenSslSign(exchangeKey, CALG_SHA1, value), Reversed(SignWith(hash1, AT_KEYEXCHANGE, 0, 128)));
    EXPECT_EQ(OpenSslSign(signatureKey, CALG_SHA1, value), Reversed(SignWith(hash2, AT_SIGNATURE, 0, 128)));
}

} // namespace
