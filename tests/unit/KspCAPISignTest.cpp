// Signing and verification of the CAPI key object: PKCS #1 v1.5 signatures
// equal to OpenSSL's, the hash algorithm by name or by length, the byte
// order, every refusal with what it leaves alone, every CryptoAPI failure,
// and what one call costs.
#include "CapiTestSupport.h"

#include "common/KspBytes.h"
#include "ksp/KspInterface.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

namespace
{

using qvntest::OpenSslSign;
using qvntest::OpenSslVerify;
using qvntest::PatternBytes;
using qvntest::Reversed;
using unit::Bytes;
using unit::CallLog;
using unit::CallNames;
using unit::kAlder;
using unit::StatusOf;
using unit::TestKey;

constexpr DWORD kUntouchedSize = 0xABCD1234;
constexpr BYTE kFill = 0xEE;

struct NamedHash {
    LPCWSTR pszAlgId;
    ALG_ID aiHash;
    DWORD cbHash;
};
const NamedHash kNamedHashes[] = {
    {TEXT("SHA1"), CALG_SHA1, 20},      {TEXT("SHA256"), CALG_SHA_256, 32}, {TEXT("SHA384"), CALG_SHA_384, 48},
    {TEXT("SHA512"), CALG_SHA_512, 64}, {TEXT("MD2"), CALG_MD2, 16},        {TEXT("MD4"), CALG_MD4, 16},
    {TEXT("MD5"), CALG_MD5, 16},
};

struct LengthHash {
    DWORD cbHash;
    ALG_ID aiHash;
};
const LengthHash kLengthHashes[] = {
    {16, CALG_MD5}, {20, CALG_SHA1}, {32, CALG_SHA_256}, {36, CALG_SSL3_SHAMD5}, {48, CALG_SHA_384}, {64, CALG_SHA_512},
};

const std::vector<std::string> kSignCalls = {"CryptGetKeyParam",  "CryptCreateHash", "CryptGetHashParam",
                                             "CryptSetHashParam", "CryptSignHashW",  "CryptDestroyHash"};
const std::vector<std::string> kVerifyCalls = {"CryptGetKeyParam",  "CryptCreateHash",       "CryptGetHashParam",
                                               "CryptSetHashParam", "CryptVerifySignatureW", "CryptDestroyHash"};

// OpenSSL's own PKCS #1 v1.5 signature with the DigestInfo that OpenSSL
// builds for the digest: a judge independent of any hand-made prefix.
Bytes NativeOpenSslSign(const TestKey &key, const EVP_MD *pMd, const Bytes &hash)
{
    EVP_PKEY_CTX *pCtx = EVP_PKEY_CTX_new(key.Pkey(), nullptr);
    Bytes signature(key.ByteLength());
    size_t cbSignature = signature.size();
    const bool fOk = pCtx != nullptr && EVP_PKEY_sign_init(pCtx) == 1 &&
                     EVP_PKEY_CTX_set_rsa_padding(pCtx, RSA_PKCS1_PADDING) == 1 &&
                     EVP_PKEY_CTX_set_signature_md(pCtx, pMd) == 1 &&
                     EVP_PKEY_sign(pCtx, signature.data(), &cbSignature, hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(pCtx);
    EXPECT_TRUE(fOk) << "OpenSSL signing";
    signature.resize(cbSignature);
    return signature;
}

struct SignOutcome {
    LONG lStatus = 0;
    DWORD cbResult = kUntouchedSize;
    Bytes buffer;              // the whole caller buffer afterwards
    unit::Footprint footprint; // of the operation alone
};

struct VerifyOutcome {
    LONG lStatus = 0;
    unit::Footprint footprint;
};

class KspCAPISign : public unit::CapiTest
{
protected:
    // A key object on a container of Alder holding the shared key of that
    // size as its pair of dwKeySpec.
    std::unique_ptr<CKspCapiKeyContext> KeyOf(DWORD dwBits, DWORD dwKeySpec = AT_KEYEXCHANGE, int iVariant = 0)
    {
        const std::u16string strName = u"sign " + qvntest::Wide(std::to_string(dwBits)) + u" " +
                                       qvntest::Wide(std::to_string(dwKeySpec)) + u" " +
                                       qvntest::Wide(std::to_string(iVariant));
        MakeContainer(kAlder, strName.c_str(), dwKeySpec, unit::KeyOfBits(dwBits, iVariant));
        std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, strName.c_str(), dwKeySpec);
        QvnPlatformClearCallLog();
        return pKey;
    }

    // SignHash into a buffer of cbBuffer bytes filled with kFill; pbSignature
    // null when fSizeQuery.
    static SignOutcome Sign(CKspCapiKeyContext &key, VOID *pPaddingInfo, Bytes hash, DWORD cbBuffer,
                            DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG, bool fSizeQuery = false)
    {
        SignOutcome outcome;
        outcome.buffer.assign(cbBuffer, kFill);
        outcome.footprint = unit::MeasureModuleMemory([&] {
            outcome.lStatus = StatusOf([&] {
                key.SignHash(pPaddingInfo, hash.empty() ? nullptr : hash.data(), static_cast<DWORD>(hash.size()),
                             fSizeQuery ? nullptr : outcome.buffer.data(), cbBuffer, &outcome.cbResult, dwFlags);
            });
        });
        return outcome;
    }

    static VerifyOutcome VerifyMeasured(CKspCapiKeyContext &key, VOID *pPaddingInfo, Bytes hash, Bytes signature,
                                        DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG, DWORD nthMallocFailure = 0)
    {
        const Bytes original = signature;
        BYTE bEmpty = 0; // an empty signature still has an address
        PBYTE pbSignature = signature.empty() ? &bEmpty : signature.data();
        VerifyOutcome outcome;
        outcome.footprint = unit::MeasureModuleMemory(
            [&] {
                outcome.lStatus = StatusOf([&] {
                    key.VerifySignature(pPaddingInfo, hash.data(), static_cast<DWORD>(hash.size()), pbSignature,
                                        static_cast<DWORD>(signature.size()), dwFlags);
                });
            },
            nthMallocFailure);
        EXPECT_EQ(original, signature) << "the caller's signature is never written";
        return outcome;
    }

    static LONG Verify(CKspCapiKeyContext &key, VOID *pPaddingInfo, Bytes hash, Bytes signature,
                       DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG)
    {
        return VerifyMeasured(key, pPaddingInfo, std::move(hash), std::move(signature), dwFlags).lStatus;
    }
};

TEST_F(KspCAPISign, NamedAlgorithmsSignExactlyAsOpenSsl)
{
    const TestKey &testKey = unit::KeyOfBits(2048);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    for (const NamedHash &named : kNamedHashes) {
        SCOPED_TRACE(unit::Narrow(named.pszAlgId));
        const Bytes hash = PatternBytes(named.cbHash, named.aiHash);
        BCRYPT_PKCS1_PADDING_INFO padding{named.pszAlgId};

        QvnPlatformClearCallLog();
        const SignOutcome outcome = Sign(*pKey, &padding, hash, 256);
        ASSERT_STATUS(0, outcome.lStatus);
        EXPECT_EQ(256u, outcome.cbResult);
        EXPECT_EQ(OpenSslSign(testKey, named.aiHash, hash), outcome.buffer);
        EXPECT_TRUE(OpenSslVerify(testKey, named.aiHash, hash, outcome.buffer));

        const std::vector<QVN_CALL_RECORD> created = unit::CallsOf("CryptCreateHash");
        ASSERT_EQ(1u, created.size());
        EXPECT_EQ(named.aiHash, created[0].dwAlgId);
        const std::vector<QVN_CALL_RECORD> signed_ = unit::CallsOf("CryptSignHashW");
        ASSERT_EQ(1u, signed_.size());
        EXPECT_EQ(0u, signed_[0].dwFlags) << "the algorithm identifier is signed with the hash";

        EXPECT_STATUS(0, Verify(*pKey, &padding, hash, outcome.buffer));
        EXPECT_EQ(0u, unit::CallsOf("CryptVerifySignatureW").back().dwFlags);
    }
}

TEST_F(KspCAPISign, OpenSslsOwnDigestInfoAgrees)
{
    const TestKey &testKey = unit::KeyOfBits(2048);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    const struct {
        LPCWSTR pszAlgId;
        const EVP_MD *pMd;
    } rgCases[] = {
        {TEXT("SHA1"), EVP_sha1()},     {TEXT("SHA256"), EVP_sha256()}, {TEXT("SHA384"), EVP_sha384()},
        {TEXT("SHA512"), EVP_sha512()}, {TEXT("MD5"), EVP_md5()},
    };
    for (const auto &c : rgCases) {
        const Bytes hash = PatternBytes(static_cast<size_t>(EVP_MD_get_size(c.pMd)), 7);
        BCRYPT_PKCS1_PADDING_INFO padding{c.pszAlgId};
        const SignOutcome outcome = Sign(*pKey, &padding, hash, 256);
        ASSERT_STATUS(0, outcome.lStatus) << unit::Narrow(c.pszAlgId);
        EXPECT_EQ(NativeOpenSslSign(testKey, c.pMd, hash), outcome.buffer) << unit::Narrow(c.pszAlgId);
    }
}

TEST_F(KspCAPISign, WithoutANameTheLengthChoosesAndTheBareHashIsSigned)
{
    const TestKey &testKey = unit::KeyOfBits(2048);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    BCRYPT_PKCS1_PADDING_INFO nullName{nullptr};
    for (const LengthHash &byLength : kLengthHashes) {
        for (VOID *pPadding : {static_cast<VOID *>(nullptr), static_cast<VOID *>(&nullName)}) {
            SCOPED_TRACE(std::to_string(byLength.cbHash) + (pPadding ? " bytes, null name" : " bytes, no padding"));
            const Bytes hash = PatternBytes(byLength.cbHash, byLength.cbHash);
            QvnPlatformClearCallLog();
            const SignOutcome outcome = Sign(*pKey, pPadding, hash, 256);
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(256u, outcome.cbResult);
            EXPECT_EQ(OpenSslSign(testKey, 0, hash), outcome.buffer);
            EXPECT_TRUE(OpenSslVerify(testKey, 0, hash, outcome.buffer));

            ASSERT_EQ(1u, unit::CallsOf("CryptCreateHash").size());
            EXPECT_EQ(byLength.aiHash, unit::CallsOf("CryptCreateHash")[0].dwAlgId);
            EXPECT_EQ(CRYPT_NOHASHOID, unit::CallsOf("CryptSignHashW")[0].dwFlags);

            EXPECT_STATUS(0, Verify(*pKey, pPadding, hash, outcome.buffer));
            EXPECT_EQ(CRYPT_NOHASHOID, unit::CallsOf("CryptVerifySignatureW")[0].dwFlags);
        }
    }
}

TEST_F(KspCAPISign, EveryKeyLengthSignsAndVerifiesBothWays)
{
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u}) {
        SCOPED_TRACE(std::to_string(dwBits) + " bits");
        const TestKey &testKey = unit::KeyOfBits(dwBits);
        std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(dwBits);
        ASSERT_NE(nullptr, pKey);
        const DWORD cbKey = BitsToBytes(dwBits);

        const Bytes sha256 = PatternBytes(32, dwBits);
        BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
        SignOutcome outcome = Sign(*pKey, &padding, sha256, cbKey);
        ASSERT_STATUS(0, outcome.lStatus);
        EXPECT_EQ(cbKey, outcome.cbResult);
        EXPECT_EQ(OpenSslSign(testKey, CALG_SHA_256, sha256), outcome.buffer);
        EXPECT_STATUS(0, Verify(*pKey, &padding, sha256, OpenSslSign(testKey, CALG_SHA_256, sha256)));

        const Bytes shamd5 = PatternBytes(36, dwBits + 1);
        outcome = Sign(*pKey, nullptr, shamd5, cbKey);
        ASSERT_STATUS(0, outcome.lStatus);
        EXPECT_EQ(OpenSslSign(testKey, 0, shamd5), outcome.buffer);
        EXPECT_STATUS(0, Verify(*pKey, nullptr, shamd5, OpenSslSign(testKey, 0, shamd5)));
    }
}

TEST_F(KspCAPISign, SignatureIsTheReverseOfCryptSignHash)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 3);

    HCRYPTPROV hProv = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, TEXT("sign 1024 1 0"), kAlder, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash));
    ASSERT_TRUE(CryptSetHashParam(hHash, HP_HASHVAL, hash.data(), 0));
    Bytes capiSignature(128);
    DWORD cbCapi = 128;
    ASSERT_TRUE(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, 0, capiSignature.data(), &cbCapi));
    CryptDestroyHash(hHash);
    CryptReleaseContext(hProv, 0);

    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
    const SignOutcome outcome = Sign(*pKey, &padding, hash, 128);
    ASSERT_STATUS(0, outcome.lStatus);
    EXPECT_EQ(Reversed(capiSignature), outcome.buffer);
}

TEST_F(KspCAPISign, ExchangeAndSignatureKeysBothSign)
{
    for (DWORD dwKeySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        const TestKey &testKey = unit::KeyOfBits(1024, 1);
        std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024, dwKeySpec, 1);
        ASSERT_NE(nullptr, pKey);
        const Bytes hash = PatternBytes(20, 9);
        BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA1")};
        const SignOutcome outcome = Sign(*pKey, &padding, hash, 128);
        ASSERT_STATUS(0, outcome.lStatus) << "key spec " << dwKeySpec;
        EXPECT_EQ(OpenSslSign(testKey, CALG_SHA1, hash), outcome.buffer);
        EXPECT_EQ(dwKeySpec, unit::CallsOf("CryptSignHashW")[0].dwKeySpec);
        EXPECT_STATUS(0, Verify(*pKey, &padding, hash, outcome.buffer));
    }
}

TEST_F(KspCAPISign, VerificationRejectsEverySignatureThatDoesNotMatch)
{
    const TestKey &testKey = unit::KeyOfBits(1024);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 11);
    BCRYPT_PKCS1_PADDING_INFO sha256{TEXT("SHA256")};
    const Bytes good = OpenSslSign(testKey, CALG_SHA_256, hash);
    ASSERT_STATUS(0, Verify(*pKey, &sha256, hash, good));
    const unit::LiveHandles before = unit::LiveNow();

    for (size_t iBit : {0u, 7u, 500u, 1023u}) {
        Bytes flipped = good;
        flipped[iBit / 8] ^= static_cast<BYTE>(1u << (iBit % 8));
        EXPECT_STATUS(NTE_BAD_SIGNATURE, Verify(*pKey, &sha256, hash, flipped)) << "bit " << iBit;
    }
    Bytes otherHash = hash;
    otherHash[31] ^= 0x80;
    EXPECT_STATUS(NTE_BAD_SIGNATURE, Verify(*pKey, &sha256, otherHash, good));
    EXPECT_STATUS(NTE_BAD_SIGNATURE, Verify(*pKey, nullptr, hash, good)) << "named signature checked as bare";
    EXPECT_STATUS(NTE_BAD_SIGNATURE, Verify(*pKey, &sha256, hash, OpenSslSign(testKey, 0, hash)));
    EXPECT_STATUS(NTE_BAD_SIGNATURE,
                  Verify(*pKey, &sha256, hash, OpenSslSign(unit::KeyOfBits(1024, 1), CALG_SHA_256, hash)))
        << "another key's signature";
    EXPECT_STATUS(NTE_BAD_SIGNATURE, Verify(*pKey, &sha256, hash, Reversed(good))) << "little-endian order";
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPISign, FlagsOtherThanPkcs1AreRefusedFirst)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 1);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
    for (DWORD dwFlags : {0x0u, 0x1u, 0x3u, 0x4u, 0x8u, 0xAu, 0x40u, 0x42u, 0x80000002u, 0xFFFFFFFFu}) {
        const SignOutcome outcome = Sign(*pKey, &padding, hash, 128, dwFlags);
        EXPECT_STATUS(NTE_BAD_FLAGS, outcome.lStatus) << "flags " << dwFlags;
        EXPECT_EQ(kUntouchedSize, outcome.cbResult);
        EXPECT_EQ(Bytes(128, kFill), outcome.buffer);
        EXPECT_STATUS(NTE_BAD_FLAGS, Sign(*pKey, nullptr, {}, 0, dwFlags, true).lStatus) << "before the hash check";
        EXPECT_STATUS(NTE_BAD_FLAGS, Verify(*pKey, &padding, hash, Bytes(128, 1), dwFlags)) << "flags " << dwFlags;
    }
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPISign, SignArgumentChecksPrecedeTheSizeQuery)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    BYTE rgbHash[32] = {};
    BYTE rgbSignature[128];
    DWORD cbResult = kUntouchedSize;
    const struct {
        const char *pszWhat;
        PBYTE pbHash;
        DWORD cbHash;
        PBYTE pbSignature;
        DWORD *pcbResult;
    } rgCases[] = {
        {"null hash, size query", nullptr, 32, nullptr, &cbResult}, {"null hash", nullptr, 32, rgbSignature, &cbResult},
        {"empty hash, size query", rgbHash, 0, nullptr, &cbResult}, {"empty hash", rgbHash, 0, rgbSignature, &cbResult},
        {"null size, size query", rgbHash, 32, nullptr, nullptr},   {"null size", rgbHash, 32, rgbSignature, nullptr},
    };
    for (const auto &c : rgCases) {
        std::fill(std::begin(rgbSignature), std::end(rgbSignature), kFill);
        EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] {
                          pKey->SignHash(nullptr, c.pbHash, c.cbHash, c.pbSignature, 128, c.pcbResult,
                                         NCRYPT_PAD_PKCS1_FLAG);
                      }))
            << c.pszWhat;
        EXPECT_EQ(kUntouchedSize, cbResult) << c.pszWhat;
        EXPECT_EQ(Bytes(128, kFill), Bytes(std::begin(rgbSignature), std::end(rgbSignature))) << c.pszWhat;
    }
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPISign, SizeQueryAsksOnlyTheKeyLength)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    BCRYPT_PKCS1_PADDING_INFO unknown{TEXT("no such algorithm")};
    for (VOID *pPadding : {static_cast<VOID *>(nullptr), static_cast<VOID *>(&unknown)}) {
        for (DWORD cbSignature : {0u, 1u, 256u}) {
            QvnPlatformClearCallLog();
            const SignOutcome outcome =
                Sign(*pKey, pPadding, PatternBytes(28, 0), cbSignature, NCRYPT_PAD_PKCS1_FLAG, true);
            EXPECT_EQ(0u, outcome.footprint.cMallocs);
            EXPECT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(256u, outcome.cbResult);
            EXPECT_EQ(std::vector<std::string>{"CryptGetKeyParam"}, CallNames());
        }
    }
}

TEST_F(KspCAPISign, ShortBufferIsRefusedAndLongerBufferGetsTheKeyLength)
{
    const TestKey &testKey = unit::KeyOfBits(2048);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(48, 5);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA384")};

    SignOutcome outcome = Sign(*pKey, &padding, hash, 255);
    EXPECT_STATUS(NTE_BUFFER_TOO_SMALL, outcome.lStatus);
    EXPECT_EQ(kUntouchedSize, outcome.cbResult);
    EXPECT_EQ(Bytes(255, kFill), outcome.buffer);
    EXPECT_EQ(std::vector<std::string>{"CryptGetKeyParam"}, CallNames());

    outcome = Sign(*pKey, &padding, hash, 300);
    ASSERT_STATUS(0, outcome.lStatus);
    EXPECT_EQ(256u, outcome.cbResult);
    const Bytes expected = OpenSslSign(testKey, CALG_SHA_384, hash);
    EXPECT_EQ(expected, Bytes(outcome.buffer.begin(), outcome.buffer.begin() + 256));
    EXPECT_EQ(Bytes(44, kFill), Bytes(outcome.buffer.begin() + 256, outcome.buffer.end())) << "beyond the signature";
}

TEST_F(KspCAPISign, UnknownAlgorithmsAndLengthsAreInvalidBeforeAnyHash)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const LPCWSTR rgpszNames[] = {TEXT("sha256"), TEXT("SHA-256"), TEXT("SHA256 "), TEXT(" SHA256"), TEXT(""),
                                  TEXT("SHA"),    TEXT("sha1"),    TEXT("RSA"),     TEXT("SHA224"),  TEXT("MD5SHA1")};
    for (LPCWSTR pszName : rgpszNames) {
        BCRYPT_PKCS1_PADDING_INFO padding{pszName};
        QvnPlatformClearCallLog();
        const SignOutcome outcome = Sign(*pKey, &padding, PatternBytes(32, 2), 128);
        EXPECT_STATUS(NTE_INVALID_PARAMETER, outcome.lStatus) << unit::Narrow(pszName);
        EXPECT_EQ(0u, outcome.cbResult) << "the result size is cleared before the hash is prepared";
        EXPECT_EQ(Bytes(128, kFill), outcome.buffer);
        EXPECT_EQ(0u, QvnPlatformCountCalls("CryptCreateHash"));
        EXPECT_STATUS(NTE_INVALID_PARAMETER, Verify(*pKey, &padding, PatternBytes(32, 2), Bytes(128, 1)));
        EXPECT_EQ(0u, QvnPlatformCountCalls("CryptCreateHash"));
    }
    for (DWORD cbHash : {1u, 15u, 17u, 28u, 33u, 35u, 37u, 63u, 65u, 100u}) {
        QvnPlatformClearCallLog();
        const SignOutcome outcome = Sign(*pKey, nullptr, PatternBytes(cbHash, 2), 128);
        EXPECT_STATUS(NTE_INVALID_PARAMETER, outcome.lStatus) << cbHash << " bytes";
        EXPECT_EQ(0u, outcome.cbResult);
        EXPECT_EQ(0u, QvnPlatformCountCalls("CryptCreateHash"));
        EXPECT_STATUS(NTE_INVALID_PARAMETER, Verify(*pKey, nullptr, PatternBytes(cbHash, 2), Bytes(128, 1)));
    }
}

TEST_F(KspCAPISign, NamedAlgorithmOfAnotherSizeIsRefusedAndItsHashDestroyed)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const LONG lHashesBefore = QvnPlatformLiveHashes();
    const struct {
        LPCWSTR pszName;
        DWORD cbHash;
    } rgCases[] = {{TEXT("SHA256"), 20}, {TEXT("SHA1"), 32}, {TEXT("MD5"), 20}, {TEXT("SHA512"), 48}};
    for (const auto &c : rgCases) {
        BCRYPT_PKCS1_PADDING_INFO padding{c.pszName};
        QvnPlatformClearCallLog();
        const SignOutcome outcome = Sign(*pKey, &padding, PatternBytes(c.cbHash, 4), 128);
        EXPECT_STATUS(NTE_INVALID_PARAMETER, outcome.lStatus) << unit::Narrow(c.pszName);
        EXPECT_EQ(0u, outcome.cbResult);
        EXPECT_EQ(Bytes(128, kFill), outcome.buffer);
        const std::vector<QVN_CALL_RECORD> log = CallLog();
        ASSERT_EQ(
            (std::vector<std::string>{"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptDestroyHash"}),
            CallNames());
        EXPECT_EQ(static_cast<DWORD>(HP_HASHSIZE), log[2].dwParam);
        EXPECT_EQ(log[2].hHandle, log[3].hHandle);
        EXPECT_EQ(lHashesBefore, QvnPlatformLiveHashes());

        QvnPlatformClearCallLog();
        EXPECT_STATUS(NTE_INVALID_PARAMETER, Verify(*pKey, &padding, PatternBytes(c.cbHash, 4), Bytes(128, 1)));
        EXPECT_EQ(
            (std::vector<std::string>{"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptDestroyHash"}),
            CallNames());
        EXPECT_EQ(lHashesBefore, QvnPlatformLiveHashes());
    }
}

TEST_F(KspCAPISign, VerifyArgumentChecks)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 6);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
    BYTE rgbSignature[128];
    std::fill(std::begin(rgbSignature), std::end(rgbSignature), kFill);
    EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] {
                      pKey->VerifySignature(&padding, nullptr, 32, rgbSignature, 128, NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] {
                      pKey->VerifySignature(&padding, const_cast<PBYTE>(hash.data()), 0, rgbSignature, 128,
                                            NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_STATUS(NTE_INVALID_PARAMETER, StatusOf([&] {
                      pKey->VerifySignature(&padding, const_cast<PBYTE>(hash.data()), 32, nullptr, 128,
                                            NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
    // A signature of the wrong length is an invalid argument, not a bad signature.
    const Bytes good = OpenSslSign(unit::KeyOfBits(1024), CALG_SHA_256, hash);
    for (size_t cbSignature : {0u, 1u, 127u, 129u, 256u}) {
        Bytes signature = good;
        signature.resize(cbSignature, 0);
        QvnPlatformClearCallLog();
        EXPECT_STATUS(NTE_INVALID_PARAMETER, Verify(*pKey, &padding, hash, signature)) << cbSignature;
        EXPECT_EQ(std::vector<std::string>{"CryptGetKeyParam"}, CallNames());
    }
    EXPECT_EQ(Bytes(128, kFill), Bytes(std::begin(rgbSignature), std::end(rgbSignature)));
}

struct InjectedFailure {
    const char *pszFunction;
    DWORD dwError;
    LONG lStatus;
};

std::vector<InjectedFailure> FailuresOf(const std::vector<std::string> &functions)
{
    std::vector<InjectedFailure> failures;
    for (const std::string &strFunction : functions) {
        if (strFunction == "CryptDestroyHash") {
            continue; // its result is ignored
        }
        const char *pszFunction = strFunction.c_str();
        failures.push_back({pszFunction, static_cast<DWORD>(NTE_FAIL), NTE_FAIL});
        failures.push_back({pszFunction, static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED});
        failures.push_back({pszFunction, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED});
    }
    return failures;
}

TEST_F(KspCAPISign, EachFailingCryptoApiCallOfSigningLeavesNothingBehind)
{
    const TestKey &testKey = unit::KeyOfBits(1024);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 8);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
    const unit::LiveHandles before = unit::LiveNow();
    for (const InjectedFailure &failure : FailuresOf(kSignCalls)) {
        SCOPED_TRACE(std::string(failure.pszFunction) + " fails with " +
                     ::testing::PrintToString(unit::Status{static_cast<LONG>(failure.dwError)}));
        QvnPlatformFailCall(failure.pszFunction, 1, failure.dwError);
        const SignOutcome outcome = Sign(*pKey, &padding, hash, 128);
        QvnPlatformClearFailures();
        EXPECT_STATUS(failure.lStatus, outcome.lStatus);
        const bool fBeforeClearing = std::string(failure.pszFunction) == "CryptGetKeyParam";
        EXPECT_EQ(fBeforeClearing ? kUntouchedSize : 0u, outcome.cbResult);
        EXPECT_EQ(Bytes(128, kFill), outcome.buffer);
        EXPECT_EQ(before, unit::LiveNow());
        EXPECT_EQ(0u, outcome.footprint.cMallocs);

        const SignOutcome again = Sign(*pKey, &padding, hash, 128);
        EXPECT_STATUS(0, again.lStatus) << "the key stays usable";
        EXPECT_EQ(OpenSslSign(testKey, CALG_SHA_256, hash), again.buffer);
    }
}

TEST_F(KspCAPISign, EachFailingCryptoApiCallOfVerificationLeavesNothingBehind)
{
    const TestKey &testKey = unit::KeyOfBits(1024);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 8);
    const Bytes signature = OpenSslSign(testKey, CALG_SHA_256, hash);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA256")};
    const unit::LiveHandles before = unit::LiveNow();
    for (const InjectedFailure &failure : FailuresOf(kVerifyCalls)) {
        SCOPED_TRACE(std::string(failure.pszFunction) + " fails with " +
                     ::testing::PrintToString(unit::Status{static_cast<LONG>(failure.dwError)}));
        QvnPlatformFailCall(failure.pszFunction, 1, failure.dwError);
        const VerifyOutcome outcome = VerifyMeasured(*pKey, &padding, hash, signature);
        QvnPlatformClearFailures();
        EXPECT_STATUS(failure.lStatus, outcome.lStatus);
        EXPECT_EQ(before, unit::LiveNow());
        EXPECT_TRUE(unit::LeftNothing(outcome.footprint, false)) << "the signature copy is released";
        EXPECT_STATUS(0, Verify(*pKey, &padding, hash, signature)) << "the key stays usable";
    }

    QvnPlatformClearCallLog();
    const VerifyOutcome outcome = VerifyMeasured(*pKey, &padding, hash, signature, NCRYPT_PAD_PKCS1_FLAG, 1);
    EXPECT_STATUS(NTE_NO_MEMORY, outcome.lStatus);
    EXPECT_EQ(1u, outcome.footprint.cMallocs);
    EXPECT_EQ(before, unit::LiveNow());
    EXPECT_EQ(1u, QvnPlatformCountCalls("CryptDestroyHash"));
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptVerifySignatureW"));
}

TEST_F(KspCAPISign, SigningCostsNoAllocationAndExactlyItsSixCalls)
{
    MakeContainer(kAlder, TEXT("sign cost"), AT_SIGNATURE, unit::KeyOfBits(2048));
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, TEXT("sign cost"), AT_SIGNATURE, 0));
    CKspCapiKeyContext *pKey =
        static_cast<CKspCapiKeyContext *>(CKspProviderManager::GetInstance()->GetProvider(hProvider)->GetKey(hKey));

    Bytes hash = PatternBytes(64, 1);
    Bytes signature(256);
    BCRYPT_PKCS1_PADDING_INFO padding{TEXT("SHA512")};
    DWORD cbResult = 0;
    QvnPlatformClearCallLog();
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    const unit::Footprint footprint = unit::MeasureModuleMemory([&] {
        status = KspSignHash(hProvider, hKey, &padding, hash.data(), 64, signature.data(), 256, &cbResult,
                             NCRYPT_PAD_PKCS1_FLAG);
    });
    const DWORD cMallocs = footprint.cMallocs;
    ASSERT_STATUS(0, status);
    EXPECT_EQ(0u, cMallocs);

    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ(kSignCalls, CallNames());
    EXPECT_EQ(unit::CapiKeyOf(*pKey), log[0].hHandle);
    EXPECT_EQ(static_cast<DWORD>(KP_KEYLEN), log[0].dwParam);
    EXPECT_EQ(unit::KeyContextOf(*pKey), log[1].hHandle) << "the hash lives on the key's own context";
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_512), log[1].dwAlgId);
    EXPECT_EQ(0u, log[1].dwFlags);
    const ULONG_PTR hHash = log[2].hHandle;
    EXPECT_EQ(static_cast<DWORD>(HP_HASHSIZE), log[2].dwParam);
    EXPECT_EQ(hHash, log[3].hHandle);
    EXPECT_EQ(static_cast<DWORD>(HP_HASHVAL), log[3].dwParam);
    EXPECT_EQ(hHash, log[4].hHandle);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), log[4].dwKeySpec);
    EXPECT_EQ(256u, log[4].cbData);
    EXPECT_EQ(hHash, log[5].hHandle);
}

TEST_F(KspCAPISign, VerificationCostsOneSignatureSizedBufferAndExactlyItsSixCalls)
{
    MakeContainer(kAlder, TEXT("verify cost"), AT_KEYEXCHANGE, unit::KeyOfBits(2048));
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, TEXT("verify cost"), AT_KEYEXCHANGE, 0));
    CKspCapiKeyContext *pKey =
        static_cast<CKspCapiKeyContext *>(CKspProviderManager::GetInstance()->GetProvider(hProvider)->GetKey(hKey));

    Bytes hash = PatternBytes(20, 1);
    Bytes signature = OpenSslSign(unit::KeyOfBits(2048), 0, hash);
    QvnPlatformClearCallLog();
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    const unit::Footprint footprint = unit::MeasureModuleMemory([&] {
        status =
            KspVerifySignature(hProvider, hKey, nullptr, hash.data(), 20, signature.data(), 256, NCRYPT_PAD_PKCS1_FLAG);
    });
    const DWORD cMallocs = footprint.cMallocs;
    const std::vector<unit::ModuleFree> &frees = footprint.frees;
    ASSERT_STATUS(0, status);
    EXPECT_EQ(1u, cMallocs);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(256u, frees[0].cbBlock);

    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ(kVerifyCalls, CallNames());
    EXPECT_EQ(unit::KeyContextOf(*pKey), log[1].hHandle);
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA1), log[1].dwAlgId);
    EXPECT_EQ(log[2].hHandle, log[4].hHandle) << "the prepared hash is verified";
    EXPECT_EQ(log[2].hHandle, log[5].hHandle);
    EXPECT_EQ(256u, log[4].cbData);
    EXPECT_EQ(CRYPT_NOHASHOID, log[4].dwFlags);
}

} // namespace
