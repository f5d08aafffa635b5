// Signing hashes and verifying signatures through the table, PKCS #1 v1.5
// only, every result judged independently: the judge verifies each signature
// against the public half that CryptExportKey gives for the container, and
// where it holds the key pair itself, its own signature must be the same
// bytes (PKCS #1 v1.5 signatures are deterministic).
#include "E2EFixture.h"

namespace e2e
{
namespace
{

class SignatureTest : public KspTest
{
protected:
    void SetUp() override
    {
        KspTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        m_pKeys = Keys();
        ASSERT_NE(nullptr, m_pKeys);
        m_hProvider = OpenProvider(E2E_ALDER_NAME);
        m_hExchange = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
        m_hSignature = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_SIGNATURE);
    }

    SECURITY_STATUS Sign(const char *pszLabel, NCRYPT_KEY_HANDLE hKey, VOID *pPadding, const Bytes &hash,
                         Bytes &signature, DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG)
    {
        DWORD cbResult = 0xDEAD;
        const SECURITY_STATUS status = ksp().SignHash(
            pszLabel, m_hProvider, hKey, pPadding, const_cast<PBYTE>(hash.data()), static_cast<DWORD>(hash.size()),
            signature.data(), static_cast<DWORD>(signature.size()), &cbResult, dwFlags);
        if (status == 0) {
            EXPECT_EQ(signature.size(), cbResult);
        }
        return status;
    }

    SECURITY_STATUS Verify(const char *pszLabel, NCRYPT_KEY_HANDLE hKey, VOID *pPadding, const Bytes &hash,
                           const Bytes &signature, DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG)
    {
        Bytes copy = signature;
        const SECURITY_STATUS status = ksp().VerifySignature(
            pszLabel, m_hProvider, hKey, pPadding, const_cast<PBYTE>(hash.data()), static_cast<DWORD>(hash.size()),
            copy.data(), static_cast<DWORD>(copy.size()), dwFlags);
        EXPECT_EQ(signature, copy) << "VerifySignature wrote to the caller's signature";
        return status;
    }

    // The module's signature is judged: verified by the judge against the
    // container's public key and, where the judge holds the key pair, compared
    // with the judge's own signature; VerifySignature accepts it too.
    void ExpectJudgedSignature(const char *pszLabel, NCRYPT_KEY_HANDLE hKey, const KeyPair &keyPair, VOID *pPadding,
                               LPCWSTR pszAlgId, const Bytes &hash)
    {
        Bytes signature(keyPair.dwBytes);
        ASSERT_EQ(0, Sign(pszLabel, hKey, pPadding, hash, signature));
        EXPECT_EQ(0, Verify(pszLabel, hKey, pPadding, hash, signature));
        std::string strUnavailable;
        const Judgement verdict = keyPair.pPublic->Verify(pszAlgId, hash, signature);
        if (verdict.verdict == Verdict::Unavailable) {
            strUnavailable = verdict.strDetail;
        } else {
            EXPECT_EQ(Verdict::Accepted, verdict.verdict) << verdict.strDetail << "\n" << Hex(signature);
        }
        if (keyPair.pPrivate) {
            Bytes expected;
            const Judgement signing = keyPair.pPrivate->Sign(pszAlgId, hash, expected);
            if (signing.verdict == Verdict::Accepted) {
                EXPECT_EQ(Hex(expected), Hex(signature));
                strUnavailable.clear();
            }
        }
        if (!strUnavailable.empty()) {
            GTEST_SKIP() << "the judge cannot check this signature here: " << strUnavailable;
        }
    }

    const KeyStore *m_pKeys = nullptr;
    NCRYPT_PROV_HANDLE m_hProvider = 0;
    NCRYPT_KEY_HANDLE m_hExchange = 0;
    NCRYPT_KEY_HANDLE m_hSignature = 0;
};

// ---- Every CSP, both key specs --------------------------------------------------

class EveryCspSignatureTest : public SignatureTest, public ::testing::WithParamInterface<std::tuple<size_t, DWORD>>
{
};

TEST_P(EveryCspSignatureTest, SignsJudgedSha256SignaturesAndVerifiesThem)
{
    const size_t iCsp = std::get<0>(GetParam());
    const DWORD dwKeySpec = std::get<1>(GetParam());
    const KeyPair &keyPair = m_pKeys->Main(iCsp, dwKeySpec);
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(kCsps[iCsp].pszName);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, dwKeySpec);
    const Bytes hash = Pattern(32, 0x21);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};

    Bytes signature(keyPair.dwBytes);
    DWORD cbResult = 0;
    ASSERT_EQ(0, ksp().SignHash("sign", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                static_cast<DWORD>(hash.size()), signature.data(), static_cast<DWORD>(signature.size()),
                                &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(keyPair.dwBytes, cbResult);
    const Judgement verdict = keyPair.pPublic->Verify(TEXT("SHA256"), hash, signature);
    EXPECT_EQ(Verdict::Accepted, verdict.verdict) << verdict.strDetail;
    if (keyPair.pPrivate) {
        Bytes expected;
        ASSERT_EQ(Verdict::Accepted, keyPair.pPrivate->Sign(TEXT("SHA256"), hash, expected).verdict);
        EXPECT_EQ(Hex(expected), Hex(signature));
    }

    EXPECT_EQ(0, ksp().VerifySignature("verify", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                       static_cast<DWORD>(hash.size()), signature.data(),
                                       static_cast<DWORD>(signature.size()), NCRYPT_PAD_PKCS1_FLAG));
    signature[signature.size() / 2] ^= 0x01;
    EXPECT_EQ(NTE_BAD_SIGNATURE,
              ksp().VerifySignature("verify-flipped", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                    static_cast<DWORD>(hash.size()), signature.data(),
                                    static_cast<DWORD>(signature.size()), NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, ksp().FreeKey("free", hProvider, hKey));
    EXPECT_EQ(0, ksp().FreeProvider("free", hProvider));
}

INSTANTIATE_TEST_SUITE_P(Csps, EveryCspSignatureTest,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE))),
                         [](const ::testing::TestParamInfo<std::tuple<size_t, DWORD>> &info) {
                             return std::string(kCsps[std::get<0>(info.param)].pszTag) +
                                    (std::get<1>(info.param) == AT_KEYEXCHANGE ? "Exchange" : "Signature");
                         });

// The judge holds the exchange key pairs that it made and imported.
class JudgeSignatureTest : public SignatureTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(JudgeSignatureTest, VerifiesTheJudgesSignatures)
{
    const size_t iCsp = GetParam();
    const KeyPair &keyPair = m_pKeys->Main(iCsp, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(kCsps[iCsp].pszName);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    const Bytes hash = Pattern(48, 0x22);
    Bytes signature;
    ASSERT_EQ(Verdict::Accepted, keyPair.pPrivate->Sign(TEXT("SHA384"), hash, signature).verdict);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA384")};
    EXPECT_EQ(0, ksp().VerifySignature("judge-signature", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                       static_cast<DWORD>(hash.size()), signature.data(),
                                       static_cast<DWORD>(signature.size()), NCRYPT_PAD_PKCS1_FLAG));
    // The judge's signature of another hash is refused.
    Bytes otherHash = hash;
    otherHash[0] ^= 0x01;
    Bytes otherSignature;
    ASSERT_EQ(Verdict::Accepted, keyPair.pPrivate->Sign(TEXT("SHA384"), otherHash, otherSignature).verdict);
    EXPECT_EQ(NTE_BAD_SIGNATURE,
              ksp().VerifySignature("other-hash", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                    static_cast<DWORD>(hash.size()), otherSignature.data(),
                                    static_cast<DWORD>(otherSignature.size()), NCRYPT_PAD_PKCS1_FLAG));
}

INSTANTIATE_TEST_SUITE_P(Csps, JudgeSignatureTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<size_t> &info) { return kCsps[info.param].pszTag; });

// ---- Hash algorithms by name ------------------------------------------------------

struct NamedHash {
    const char *pszTag;
    LPCWSTR pszAlgId;
    size_t cbHash;
};

const NamedHash kNamedHashes[] = {
    {"SHA1", TEXT("SHA1"), 20},     {"SHA256", TEXT("SHA256"), 32}, {"SHA384", TEXT("SHA384"), 48},
    {"SHA512", TEXT("SHA512"), 64}, {"MD2", TEXT("MD2"), 16},       {"MD4", TEXT("MD4"), 16},
    {"MD5", TEXT("MD5"), 16},
};

class NamedHashTest : public SignatureTest, public ::testing::WithParamInterface<NamedHash>
{
};

TEST_P(NamedHashTest, SignatureCarriesTheAlgorithmIdentifier)
{
    const NamedHash &named = GetParam();
    BCRYPT_PKCS1_PADDING_INFO padding = {named.pszAlgId};
    ExpectJudgedSignature(named.pszTag, m_hExchange, m_pKeys->Main(0, AT_KEYEXCHANGE), &padding, named.pszAlgId,
                          Pattern(named.cbHash, 0x31));
}

TEST_P(NamedHashTest, SignatureKeyPairSignsAsWell)
{
    const NamedHash &named = GetParam();
    BCRYPT_PKCS1_PADDING_INFO padding = {named.pszAlgId};
    ExpectJudgedSignature(named.pszTag, m_hSignature, m_pKeys->Main(0, AT_SIGNATURE), &padding, named.pszAlgId,
                          Pattern(named.cbHash, 0x32));
}

INSTANTIATE_TEST_SUITE_P(Algorithms, NamedHashTest, ::testing::ValuesIn(kNamedHashes),
                         [](const ::testing::TestParamInfo<NamedHash> &info) { return info.param.pszTag; });

// ---- Hash algorithms by length (no name: the bare hash is signed) ---------------

class HashLengthTest : public SignatureTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(HashLengthTest, WithoutPaddingInformationTheBareHashIsSigned)
{
    ExpectJudgedSignature("no-padding-info", m_hExchange, m_pKeys->Main(0, AT_KEYEXCHANGE), nullptr, nullptr,
                          Pattern(GetParam(), 0x41));
}

TEST_P(HashLengthTest, WithoutAnAlgorithmNameTheBareHashIsSigned)
{
    BCRYPT_PKCS1_PADDING_INFO padding = {nullptr};
    ExpectJudgedSignature("null-algorithm", m_hExchange, m_pKeys->Main(0, AT_KEYEXCHANGE), &padding, nullptr,
                          Pattern(GetParam(), 0x42));
}

INSTANTIATE_TEST_SUITE_P(Lengths, HashLengthTest, ::testing::Values(16, 20, 32, 36, 48, 64),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST_F(SignatureTest, SignatureOverTheDigestInfoIsNotOneOverTheBareHash)
{
    const Bytes hash = Pattern(32, 0x43);
    BCRYPT_PKCS1_PADDING_INFO named = {TEXT("SHA256")};
    Bytes bare(kMainExchangeBytes);
    Bytes withIdentifier(kMainExchangeBytes);
    ASSERT_EQ(0, Sign("bare", m_hExchange, nullptr, hash, bare));
    ASSERT_EQ(0, Sign("named", m_hExchange, &named, hash, withIdentifier));
    EXPECT_NE(bare, withIdentifier);
    // Verified by length, the bare hash is expected.
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("named-as-bare", m_hExchange, nullptr, hash, withIdentifier));
    EXPECT_EQ(0, Verify("bare-as-bare", m_hExchange, nullptr, hash, bare));
}

// ---- Refusals -------------------------------------------------------------------

TEST_F(SignatureTest, OnlyThePkcs1FlagAloneIsAccepted)
{
    const Bytes hash = Pattern(32, 0x51);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes good(kMainExchangeBytes);
    ASSERT_EQ(0, Sign("good", m_hExchange, &padding, hash, good));
    for (DWORD dwFlags :
         std::initializer_list<DWORD>{0u, DWORD(NCRYPT_NO_PADDING_FLAG), DWORD(NCRYPT_PAD_OAEP_FLAG),
                                      DWORD(NCRYPT_PAD_PSS_FLAG), DWORD(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG),
                                      DWORD(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_PSS_FLAG), 0xFFFFFFFFu}) {
        SCOPED_TRACE(dwFlags);
        const std::string strLabel = "flags-" + std::to_string(dwFlags);
        Bytes signature(kMainExchangeBytes, 0xCC);
        EXPECT_EQ(NTE_BAD_FLAGS, Sign(strLabel.c_str(), m_hExchange, &padding, hash, signature, dwFlags));
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), signature);
        EXPECT_EQ(NTE_BAD_FLAGS, Verify(strLabel.c_str(), m_hExchange, &padding, hash, good, dwFlags));
    }
}

TEST_F(SignatureTest, AlgorithmNamesMustMatchExactly)
{
    const Bytes hash = Pattern(32, 0x52);
    Bytes good(kMainExchangeBytes);
    BCRYPT_PKCS1_PADDING_INFO named = {TEXT("SHA256")};
    ASSERT_EQ(0, Sign("good", m_hExchange, &named, hash, good));
    for (LPCWSTR pszAlgId :
         {TEXT("sha256"), TEXT("SHA-256"), TEXT("SHA256 "), TEXT("SHA"), TEXT(""), TEXT("SHA224"), TEXT("RSA")}) {
        BCRYPT_PKCS1_PADDING_INFO padding = {pszAlgId};
        Bytes signature(kMainExchangeBytes, 0xCC);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  ksp().SignHash("unknown-name", m_hProvider, m_hExchange, &padding, const_cast<PBYTE>(hash.data()),
                                 static_cast<DWORD>(hash.size()), signature.data(),
                                 static_cast<DWORD>(signature.size()), &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(0u, cbResult) << "the result size is cleared before the hash is prepared";
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), signature);
        EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("unknown-name", m_hExchange, &padding, hash, good));
    }
}

TEST_F(SignatureTest, HashLengthMustFitTheAlgorithm)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszAlgId;
        size_t cbHash;
    } cases[] = {
        {"sha256-20", TEXT("SHA256"), 20},
        {"sha1-32", TEXT("SHA1"), 32},
        {"md5-20", TEXT("MD5"), 20},
        {"sha512-48", TEXT("SHA512"), 48},
        {"sha384-64", TEXT("SHA384"), 64},
        {"md2-1", TEXT("MD2"), 1},
        {"bare-1", nullptr, 1},
        {"bare-15", nullptr, 15},
        {"bare-28", nullptr, 28},
        {"bare-33", nullptr, 33},
        {"bare-65", nullptr, 65},
    };
    Bytes someSignature = Pattern(kMainExchangeBytes, 0x53);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        BCRYPT_PKCS1_PADDING_INFO padding = {c.pszAlgId};
        const Bytes hash = Pattern(c.cbHash, 0x54);
        Bytes signature(kMainExchangeBytes, 0xCC);
        EXPECT_EQ(NTE_INVALID_PARAMETER, Sign(c.pszLabel, m_hExchange, &padding, hash, signature));
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), signature);
        EXPECT_EQ(NTE_INVALID_PARAMETER, Verify(c.pszLabel, m_hExchange, &padding, hash, someSignature));
    }
}

TEST_F(SignatureTest, HashValueMustBeGivenEvenForASizeQuery)
{
    BYTE rgbHash[32] = {};
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes signature(kMainExchangeBytes);
    for (PBYTE pbSignature : {signature.data(), static_cast<PBYTE>(nullptr)}) {
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  ksp().SignHash("null-hash", m_hProvider, m_hExchange, &padding, nullptr, 32, pbSignature,
                                 kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  ksp().SignHash("empty-hash", m_hProvider, m_hExchange, &padding, rgbHash, 0, pbSignature,
                                 kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(0xDEADu, cbResult);
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().VerifySignature("null-hash", m_hProvider, m_hExchange, &padding, nullptr, 32, signature.data(),
                                    kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().VerifySignature("empty-hash", m_hProvider, m_hExchange, &padding, rgbHash, 0, signature.data(),
                                    kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().SignHash("null-result", m_hProvider, m_hExchange, &padding, rgbHash, 32, signature.data(),
                             kMainExchangeBytes, nullptr, NCRYPT_PAD_PKCS1_FLAG));
}

TEST_F(SignatureTest, SizeQueryAnswersTheKeyLengthWithoutLookingAtTheAlgorithm)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszAlgId;
        size_t cbHash;
    } cases[] = {{"sha256", TEXT("SHA256"), 32}, {"unknown-name", TEXT("Bogus"), 32}, {"bare-28", nullptr, 28}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        BCRYPT_PKCS1_PADDING_INFO padding = {c.pszAlgId};
        Bytes hash = Pattern(c.cbHash, 0x55);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(0, ksp().SignHash(c.pszLabel, m_hProvider, m_hExchange, &padding, hash.data(),
                                    static_cast<DWORD>(hash.size()), nullptr, 0, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(kMainExchangeBytes, cbResult);
        cbResult = 0xDEAD;
        EXPECT_EQ(0, ksp().SignHash(c.pszLabel, m_hProvider, m_hSignature, &padding, hash.data(),
                                    static_cast<DWORD>(hash.size()), nullptr, 0, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(kMainSignatureBytes, cbResult);
    }
}

TEST_F(SignatureTest, SignatureBufferMustHoldTheKeyLength)
{
    const Bytes hash = Pattern(32, 0x56);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes shortBuffer(kMainExchangeBytes - 1, 0xCC);
    DWORD cbResult = 0xDEAD;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL,
              ksp().SignHash("one-short", m_hProvider, m_hExchange, &padding, const_cast<PBYTE>(hash.data()), 32,
                             shortBuffer.data(), static_cast<DWORD>(shortBuffer.size()), &cbResult,
                             NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(Bytes(kMainExchangeBytes - 1, 0xCC), shortBuffer);

    Bytes largeBuffer(kMainExchangeBytes + 44, 0xCC);
    ASSERT_EQ(0, ksp().SignHash("larger", m_hProvider, m_hExchange, &padding, const_cast<PBYTE>(hash.data()), 32,
                                largeBuffer.data(), static_cast<DWORD>(largeBuffer.size()), &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMainExchangeBytes, cbResult);
    const Bytes signature(largeBuffer.begin(), largeBuffer.begin() + kMainExchangeBytes);
    EXPECT_EQ(Bytes(44, 0xCC), Bytes(largeBuffer.begin() + kMainExchangeBytes, largeBuffer.end()));
    const Judgement verdict = m_pKeys->Main(0, AT_KEYEXCHANGE).pPublic->Verify(TEXT("SHA256"), hash, signature);
    EXPECT_EQ(Verdict::Accepted, verdict.verdict) << verdict.strDetail;
}

TEST_F(SignatureTest, SignatureOfTheWrongLengthIsAnInvalidParameterNotABadSignature)
{
    const Bytes hash = Pattern(32, 0x57);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes signature(kMainExchangeBytes);
    ASSERT_EQ(0, Sign("good", m_hExchange, &padding, hash, signature));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              Verify("one-short", m_hExchange, &padding, hash, Bytes(signature.begin(), signature.end() - 1)));
    Bytes longer = signature;
    longer.push_back(0);
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("one-long", m_hExchange, &padding, hash, longer));
    // A signature of the other key pair's length.
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("other-key-length", m_hSignature, &padding, hash, signature));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().VerifySignature("null-signature", m_hProvider, m_hExchange, &padding,
                                                           const_cast<PBYTE>(hash.data()), 32, nullptr,
                                                           kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG));
}

TEST_F(SignatureTest, DamagedSignatureOrOtherHashIsABadSignature)
{
    const Bytes hash = Pattern(32, 0x58);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes signature(kMainExchangeBytes);
    ASSERT_EQ(0, Sign("good", m_hExchange, &padding, hash, signature));
    // Clearing a set bit keeps the value below the modulus: a plain bad signature.
    for (size_t iByte : {size_t(0), size_t(1), size_t(kMainExchangeBytes / 2), size_t(kMainExchangeBytes - 1)}) {
        Bytes damaged = signature;
        size_t i = iByte;
        while (damaged[i] == 0) {
            i = (i + 1) % damaged.size();
        }
        damaged[i] = static_cast<BYTE>(damaged[i] & (damaged[i] - 1));
        EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("damaged", m_hExchange, &padding, hash, damaged)) << "byte " << i;
    }
    Bytes otherHash = hash;
    otherHash[31] ^= 0x01;
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("other-hash", m_hExchange, &padding, otherHash, signature));
    // Signatures travel most significant byte first: the reversed bytes are
    // not the signature. (Of a signature whose last byte is below 0x80, so
    // that the reversed value stays below the modulus.)
    Bytes reversible(kMainExchangeBytes);
    Bytes reversibleHash = hash;
    do {
        ++reversibleHash[0];
        DWORD cbResult = 0;
        ASSERT_EQ(0, ksp().Table().SignHash(m_hProvider, m_hExchange, &padding, reversibleHash.data(), 32,
                                            reversible.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    } while (reversible.back() >= 0x80);
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("reversed", m_hExchange, &padding, reversibleHash, Reversed(reversible)));
    // The key stays usable after all of it.
    EXPECT_EQ(0, Verify("good-after", m_hExchange, &padding, hash, signature));
}

TEST_F(SignatureTest, CspFailuresAreReturnedAndLeaveNoHash)
{
    const struct {
        const char *pszLabel;
        const char *pszFunction;
        DWORD dwError;
        SECURITY_STATUS expected;
        bool fVerify;
        DWORD cbResultAfter; // SignHash clears the size before it prepares the hash
    } cases[] = {
        {"create-hash", "CryptCreateHash", static_cast<DWORD>(NTE_BAD_ALGID), NTE_BAD_ALGID, false, 0},
        {"hash-size", "CryptGetHashParam", static_cast<DWORD>(NTE_BAD_HASH), NTE_BAD_HASH, false, 0},
        {"set-hash", "CryptSetHashParam", static_cast<DWORD>(NTE_BAD_HASH_STATE), NTE_BAD_HASH_STATE, false, 0},
        {"sign-silent", "CryptSignHashW", static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, false, 0},
        {"sign-no-memory", "CryptSignHashW", static_cast<DWORD>(NTE_NO_MEMORY), NTE_NO_MEMORY, false, 0},
        {"key-length", "CryptGetKeyParam", static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY, false, 0xDEAD},
        {"verify-fail", "CryptVerifySignatureW", static_cast<DWORD>(NTE_FAIL), NTE_FAIL, true, 0},
        {"verify-create-hash", "CryptCreateHash", static_cast<DWORD>(NTE_NO_MEMORY), NTE_NO_MEMORY, true, 0},
    };
    const Bytes hash = Pattern(32, 0x59);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes good(kMainExchangeBytes);
    ASSERT_EQ(0, Sign("good", m_hExchange, &padding, hash, good));
    platform::HandleCounts before;
    E2E_REQUIRE_CONTROLS(platform::GetLiveHandleCounts(before));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        ASSERT_TRUE(platform::FailCall(c.pszFunction, 1, c.dwError));
        if (c.fVerify) {
            EXPECT_EQ(c.expected, Verify(c.pszLabel, m_hExchange, &padding, hash, good));
        } else {
            Bytes signature(kMainExchangeBytes, 0xCC);
            DWORD cbResult = 0xDEAD;
            EXPECT_EQ(c.expected,
                      ksp().SignHash(c.pszLabel, m_hProvider, m_hExchange, &padding, const_cast<PBYTE>(hash.data()), 32,
                                     signature.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
            EXPECT_EQ(c.cbResultAfter, cbResult);
        }
        platform::ResetPlatformControls();
        platform::HandleCounts after;
        ASSERT_TRUE(platform::GetLiveHandleCounts(after));
        EXPECT_EQ(before.lHashes, after.lHashes) << "a hash object outlived the call";
    }
    EXPECT_EQ(0, Verify("good-after", m_hExchange, &padding, hash, good));
}

} // namespace
} // namespace e2e
