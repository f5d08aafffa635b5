// CryptSignHashW and CryptVerifySignatureW against OpenSSL: every signature
// is compared byte for byte with OpenSSL's PKCS #1 v1.5 signature of the same
// key and hash (least significant byte first on the CryptoAPI side).
#include "CapiTestUtil.h"

using namespace capitest;

namespace
{

using SignatureTest = ContainerTest;

TEST_F(SignatureTest, SignatureIsOpenSslsReversedForEveryHashAndKeySpec)
{
    const TestKey &key = CachedTestKey(2048);
    std::vector<std::pair<ALG_ID, DWORD>> cases; // SSL3 is always bare: no algorithm identifier
    for (ALG_ID algid : std::initializer_list<ALG_ID>{CALG_MD2, CALG_MD4, CALG_MD5, CALG_SHA1, CALG_SHA_256,
                                                      CALG_SHA_384, CALG_SHA_512, CALG_SSL3_SHAMD5}) {
        cases.push_back({algid, 0});
    }
    for (ALG_ID algid :
         std::initializer_list<ALG_ID>{CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_512, CALG_SSL3_SHAMD5}) {
        cases.push_back({algid, CRYPT_NOHASHOID});
    }
    for (DWORD dwKeySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
        SetUpContainer(key, dwKeySpec, dwKeySpec == AT_SIGNATURE ? u"signature" : u"exchange");
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message()
                         << "spec " << dwKeySpec << " alg " << std::hex << c.first << " flags " << c.second);
            const bool fBare = c.second == CRYPT_NOHASHOID || c.first == CALG_SSL3_SHAMD5;
            const Bytes value = PatternBytes(HashSizeOf(c.first), c.first);
            Hash hash;
            ASSERT_TRUE(HashWithValue(&hash, m_prov, c.first, value));
            const Bytes signature = SignWith(hash, dwKeySpec, c.second, 256);
            EXPECT_EQ(Hex(OpenSslSign(key, fBare ? 0 : c.first, value)), Hex(Reversed(signature)));
            EXPECT_TRUE(CryptVerifySignatureW(hash, signature.data(), 256, m_key, nullptr, c.second))
                << std::hex << GetLastError();
        }
    }
}

TEST_F(SignatureTest, KeysOfEveryLengthSignAsOpenSslDoes)
{
    // Imported keys of OpenSSL, and generated ones of lengths OpenSSL will not
    // make (judged through their exported key pair).
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u, 384u, 385u, 519u}) {
        SCOPED_TRACE(dwBits);
        const DWORD cbKey = (dwBits + 7) / 8;
        Prov prov;
        ASSERT_TRUE(Acquire(&prov, nullptr, CRYPT_VERIFYCONTEXT));
        Key key;
        std::unique_ptr<TestKey> generated;
        if (dwBits >= 1023) {
            *key.Out() = ImportTestKey(prov, CachedTestKey(dwBits), AT_SIGNATURE);
        } else {
            ASSERT_TRUE(CryptGenKey(prov, AT_SIGNATURE, dwBits << 16 | CRYPT_EXPORTABLE, key.Out()));
            generated = TestKeyFromBlob(Export(key, PRIVATEKEYBLOB));
            ASSERT_TRUE(generated);
        }
        const TestKey &judge = generated ? *generated : CachedTestKey(dwBits);
        EXPECT_EQ(dwBits, judge.Bits());
        EXPECT_EQ(dwBits, KeyParam(key, KP_KEYLEN));
        const Bytes value = PatternBytes(20, dwBits);
        Hash hash;
        ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, value));
        DWORD cbSignature = 0;
        ASSERT_TRUE(CryptSignHashW(hash, AT_SIGNATURE, nullptr, 0, nullptr, &cbSignature));
        EXPECT_EQ(cbKey, cbSignature);
        const Bytes signature = SignWith(hash, AT_SIGNATURE, 0, cbKey);
        EXPECT_EQ(OpenSslSign(judge, CALG_SHA1, value), Reversed(signature));
        EXPECT_TRUE(CryptVerifySignatureW(hash, signature.data(), cbKey, key, nullptr, 0));
    }
}

TEST_F(SignatureTest, SigningFinishesAHashOfDataAndFollowsTheBufferConvention)
{
    const TestKey &key = CachedTestKey(2048);
    SetUpContainer(key);
    Hash hash;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA_256, 0, 0, hash.Out()));
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("abc"), 3, 0));
    DWORD cbSignature = 7;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &cbSignature));
    EXPECT_EQ(256u, cbSignature);
    ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE *>("d"), 1, 0)); // a size query leaves it running
    // One byte short: ERROR_MORE_DATA with the size, the buffer untouched.
    Bytes buffer(300, 0xcd);
    cbSignature = 255;
    EXPECT_FAILS(ERROR_MORE_DATA, CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &cbSignature));
    EXPECT_EQ(256u, cbSignature);
    EXPECT_EQ(Bytes(300, 0xcd), buffer);
    // Larger: the signature at the start, the rest untouched.
    cbSignature = 300;
    ASSERT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, buffer.data(), &cbSignature));
    EXPECT_EQ(256u, cbSignature);
    const Bytes digest = *OpenSslDigest(CALG_SHA_256, BytesOf("abcd"));
    EXPECT_EQ(OpenSslSign(key, CALG_SHA_256, digest), Reversed(Bytes(buffer.begin(), buffer.begin() + 256)));
    EXPECT_EQ(Bytes(44, 0xcd), Bytes(buffer.begin() + 256, buffer.end()));
    Bytes value(32);
    DWORD cbValue = 32;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &cbValue, 0));
    EXPECT_EQ(digest, value);
    EXPECT_FAILS(NTE_BAD_HASH_STATE, CryptHashData(hash, reinterpret_cast<const BYTE *>("e"), 1, 0));
}

TEST_F(SignatureTest, EachKeySpecSignsWithItsOwnPair)
{
    SetUpContainer(CachedTestKey(1024, 0));
    Key imported(ImportTestKey(m_prov, CachedTestKey(1024, 1), AT_SIGNATURE));
    const Bytes value = PatternBytes(20, 10);
    Hash hash1, hash2;
    ASSERT_TRUE(HashWithValue(&hash1, m_prov, CALG_SHA1, value));
    ASSERT_TRUE(HashWithValue(&hash2, m_prov, CALG_SHA1, value));
    EXPECT_EQ(OpenSslSign(CachedTestKey(1024, 0), CALG_SHA1, value), Reversed(SignWith(hash1, AT_KEYEXCHANGE, 0, 128)));
    EXPECT_EQ(OpenSslSign(CachedTestKey(1024, 1), CALG_SHA1, value), Reversed(SignWith(hash2, AT_SIGNATURE, 0, 128)));
}

TEST_F(SignatureTest, SignRefusalsWriteNothing)
{
    SetUpContainer(CachedTestKey(1024)); // an exchange pair only
    Prov verify;
    ASSERT_TRUE(Acquire(&verify, nullptr, CRYPT_VERIFYCONTEXT));
    Key small;
    ASSERT_TRUE(CryptGenKey(verify, AT_SIGNATURE, 384u << 16, small.Out()));
    Hash sha1, verifySha1, ssl3, sha512;
    ASSERT_TRUE(HashWithValue(&sha1, m_prov, CALG_SHA1, PatternBytes(20, 3)));
    ASSERT_TRUE(HashWithValue(&verifySha1, verify, CALG_SHA1, PatternBytes(20, 3)));
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SSL3_SHAMD5, 0, 0, ssl3.Out()));       // no value set
    ASSERT_TRUE(HashWithValue(&sha512, verify, CALG_SHA_512, PatternBytes(64, 7))); // 83-byte DigestInfo > 48 - 11
    const struct {
        HCRYPTHASH hHash;
        DWORD dwKeySpec, dwFlags;
        HRESULT hr;
    } cases[] = {
        {sha1, AT_KEYEXCHANGE, 0x2, NTE_BAD_FLAGS},  {sha1, AT_KEYEXCHANGE, CRYPT_NOHASHOID | 0x10, NTE_BAD_FLAGS},
        {sha1, AT_SIGNATURE, 0, NTE_NO_KEY},         {sha1, 0, 0, NTE_NO_KEY},
        {verifySha1, AT_KEYEXCHANGE, 0, NTE_NO_KEY}, {ssl3, AT_KEYEXCHANGE, 0, NTE_BAD_HASH_STATE},
        {sha512, AT_SIGNATURE, 0, NTE_BAD_LEN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "spec " << c.dwKeySpec << " flags " << std::hex << c.dwFlags);
        Bytes signature(128, 0xcd);
        DWORD cbSignature = 128;
        EXPECT_FAILS(c.hr, CryptSignHashW(c.hHash, c.dwKeySpec, nullptr, c.dwFlags, signature.data(), &cbSignature));
        EXPECT_EQ(Bytes(128, 0xcd), signature);
    }
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptSignHashW(sha1, AT_KEYEXCHANGE, nullptr, 0, nullptr, nullptr));
}

TEST_F(SignatureTest, VerifyAcceptsOpenSslSignaturesOnlyAsTheyAre)
{
    const TestKey &key = CachedTestKey(2048);
    SetUpContainer(key, AT_SIGNATURE);
    const Bytes value = PatternBytes(32, 8);
    Hash hash, other, sha1;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA_256, value));
    ASSERT_TRUE(HashWithValue(&other, m_prov, CALG_SHA_256, PatternBytes(32, 9)));
    ASSERT_TRUE(HashWithValue(&sha1, m_prov, CALG_SHA1, Bytes(value.begin(), value.begin() + 20)));
    const Bytes good = Reversed(OpenSslSign(key, CALG_SHA_256, value));
    const Bytes bare = Reversed(OpenSslSign(key, 0, value));
    auto damaged = [&](size_t i) {
        Bytes signature = good;
        signature[i] ^= 0x01;
        return signature;
    };
    Bytes longer = good;
    longer.push_back(0);
    Prov birch;
    ASSERT_TRUE(Acquire(&birch, nullptr, CRYPT_VERIFYCONTEXT, kBirchProvider));
    const Bytes publicBlob = key.PublicKeyBlob(CALG_RSA_SIGN), otherBlob = CachedTestKey(2048, 1).PublicKeyBlob();
    const DWORD cbBlob = static_cast<DWORD>(publicBlob.size());
    Key publicKey, otherKey, birchKey;
    ASSERT_TRUE(CryptImportKey(m_prov, publicBlob.data(), cbBlob, 0, 0, publicKey.Out()));
    ASSERT_TRUE(CryptImportKey(m_prov, otherBlob.data(), cbBlob, 0, 0, otherKey.Out()));
    ASSERT_TRUE(CryptImportKey(birch, publicBlob.data(), cbBlob, 0, 0, birchKey.Out()));
    const struct {
        const char *pszName;
        HCRYPTHASH hHash;
        Bytes signature;
        HCRYPTKEY hKey;
        DWORD dwFlags;
        HRESULT hr;
    } cases[] = {
        {"as OpenSSL signs, reversed", hash, good, m_key, 0, S_OK},
        {"with an imported public key", hash, good, publicKey, 0, S_OK},
        {"bare with no-OID", hash, bare, m_key, CRYPT_NOHASHOID, S_OK},
        {"big-endian", hash, Reversed(good), m_key, 0, NTE_BAD_SIGNATURE},
        {"first byte damaged", hash, damaged(0), m_key, 0, NTE_BAD_SIGNATURE},
        {"one byte short", hash, Bytes(good.begin(), good.end() - 1), m_key, 0, NTE_BAD_SIGNATURE},
        {"one byte long", hash, longer, m_key, 0, NTE_BAD_SIGNATURE},
        {"above the modulus", hash, Bytes(256, 0xff), m_key, 0, NTE_BAD_SIGNATURE},
        {"of another hash value", other, good, m_key, 0, NTE_BAD_SIGNATURE},
        {"with DigestInfo, checked bare", hash, good, m_key, CRYPT_NOHASHOID, NTE_BAD_SIGNATURE},
        {"bare, checked with DigestInfo", hash, bare, m_key, 0, NTE_BAD_SIGNATURE},
        {"MD5 DigestInfo for a SHA-1 hash", sha1,
         Reversed(OpenSslSign(key, CALG_MD5, Bytes(value.begin(), value.begin() + 16))), m_key, 0, NTE_BAD_SIGNATURE},
        {"key of another pair", hash, good, otherKey, 0, NTE_BAD_SIGNATURE},
        {"key of another CSP", hash, good, birchKey, 0, NTE_BAD_KEY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        const DWORD cbSignature = static_cast<DWORD>(c.signature.size());
        if (c.hr == S_OK) {
            EXPECT_TRUE(CryptVerifySignatureW(c.hHash, c.signature.data(), cbSignature, c.hKey, nullptr, c.dwFlags));
        } else {
            EXPECT_FAILS(c.hr,
                         CryptVerifySignatureW(c.hHash, c.signature.data(), cbSignature, c.hKey, nullptr, c.dwFlags));
        }
    }
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptVerifySignatureW(hash, nullptr, 256, m_key, nullptr, 0));
}

} // namespace
