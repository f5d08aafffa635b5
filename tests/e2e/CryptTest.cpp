// Encrypting and decrypting through the table, PKCS #1 v1.5 only: the
// module's ciphertexts are decrypted by the judge, the judge's ciphertexts by
// the module, both ways for every CSP.
#include "E2EFixture.h"

namespace e2e
{
namespace
{

const DWORD kMaxPlaintext = kMainExchangeBytes - 11;

class CryptTest : public KspTest
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
        m_hKey = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    }

    const KeyPair &Pair() const { return m_pKeys->Main(0, AT_KEYEXCHANGE); }

    SECURITY_STATUS Encrypt(const char *pszLabel, const Bytes &plaintext, Bytes &ciphertext,
                            DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG, VOID *pPadding = nullptr)
    {
        Bytes input = plaintext;
        input.reserve(1); // a valid pointer also for an empty plaintext
        ciphertext.assign(kMainExchangeBytes, 0xCC);
        DWORD cbResult = 0xDEAD;
        const SECURITY_STATUS status =
            ksp().Encrypt(pszLabel, m_hProvider, m_hKey, input.data(), static_cast<DWORD>(input.size()), pPadding,
                          ciphertext.data(), static_cast<DWORD>(ciphertext.size()), &cbResult, dwFlags);
        EXPECT_EQ(plaintext, input) << "Encrypt changed its input";
        if (status == 0) {
            EXPECT_EQ(kMainExchangeBytes, cbResult);
        }
        return status;
    }

    SECURITY_STATUS Decrypt(const char *pszLabel, const Bytes &ciphertext, Bytes &plaintext,
                            DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG, VOID *pPadding = nullptr)
    {
        Bytes input = ciphertext;
        plaintext.assign(kMaxPlaintext, 0xCC);
        DWORD cbResult = 0xDEAD;
        const SECURITY_STATUS status =
            ksp().Decrypt(pszLabel, m_hProvider, m_hKey, input.data(), static_cast<DWORD>(input.size()), pPadding,
                          plaintext.data(), static_cast<DWORD>(plaintext.size()), &cbResult, dwFlags);
        EXPECT_EQ(ciphertext, input) << "Decrypt changed its input";
        if (status == 0) {
            EXPECT_LE(cbResult, kMaxPlaintext);
            EXPECT_EQ(Bytes(kMaxPlaintext - cbResult, 0xCC), Bytes(plaintext.begin() + cbResult, plaintext.end()))
                << "Decrypt wrote beyond the plaintext";
            plaintext.resize(cbResult);
        }
        return status;
    }

    const KeyStore *m_pKeys = nullptr;
    NCRYPT_PROV_HANDLE m_hProvider = 0;
    NCRYPT_KEY_HANDLE m_hKey = 0;
};

// ---- Both ways, every CSP ---------------------------------------------------------

class EveryCspCryptTest : public KspTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(EveryCspCryptTest, JudgeDecryptsTheModulesCiphertextAndTheModuleTheJudges)
{
    E2E_KEYS(pKeys);
    const size_t iCsp = GetParam();
    const KeyPair &pair = pKeys->Main(iCsp, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(kCsps[iCsp].pszName);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    Bytes plaintext = Pattern(37, static_cast<BYTE>(0x60 + iCsp));

    Bytes first(kMainExchangeBytes);
    Bytes second(kMainExchangeBytes);
    DWORD cbResult = 0;
    ASSERT_EQ(0, ksp().Encrypt("first", hProvider, hKey, plaintext.data(), static_cast<DWORD>(plaintext.size()),
                               nullptr, first.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMainExchangeBytes, cbResult);
    ASSERT_EQ(0, ksp().Encrypt("second", hProvider, hKey, plaintext.data(), static_cast<DWORD>(plaintext.size()),
                               nullptr, second.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_NE(first, second) << "PKCS #1 v1.5 encryption pads with fresh random bytes";

    for (const Bytes *pCiphertext : {&first, &second}) {
        Bytes decrypted;
        const Judgement judgement = pair.pPrivate->Decrypt(*pCiphertext, decrypted);
        ASSERT_EQ(Verdict::Accepted, judgement.verdict) << judgement.strDetail << "\n" << Hex(*pCiphertext);
        EXPECT_EQ(plaintext, decrypted);
    }

    Bytes judgeCiphertext;
    ASSERT_EQ(Verdict::Accepted, pair.pPublic->Encrypt(plaintext, judgeCiphertext).verdict);
    Bytes output(kMaxPlaintext, 0xCC);
    ASSERT_EQ(0, ksp().Decrypt("judges-ciphertext", hProvider, hKey, judgeCiphertext.data(),
                               static_cast<DWORD>(judgeCiphertext.size()), nullptr, output.data(), kMaxPlaintext,
                               &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    ASSERT_EQ(plaintext.size(), cbResult);
    EXPECT_EQ(plaintext, Bytes(output.begin(), output.begin() + cbResult));

    EXPECT_EQ(0, ksp().FreeKey("free", hProvider, hKey));
    EXPECT_EQ(0, ksp().FreeProvider("free", hProvider));
}

INSTANTIATE_TEST_SUITE_P(Csps, EveryCspCryptTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<size_t> &info) { return kCsps[info.param].pszTag; });

// ---- Lengths --------------------------------------------------------------------

TEST_F(CryptTest, PlaintextUpToKeyLengthLessElevenBytes)
{
    for (size_t cbPlaintext : {size_t(0), size_t(1), size_t(kMaxPlaintext)}) {
        SCOPED_TRACE(cbPlaintext);
        const Bytes plaintext = Pattern(cbPlaintext, 0x71);
        Bytes ciphertext;
        ASSERT_EQ(0, Encrypt(("plaintext-" + std::to_string(cbPlaintext)).c_str(), plaintext, ciphertext));
        Bytes judged;
        const Judgement judgement = Pair().pPrivate->Decrypt(ciphertext, judged);
        ASSERT_EQ(Verdict::Accepted, judgement.verdict) << judgement.strDetail;
        EXPECT_EQ(plaintext, judged);
        Bytes decrypted;
        ASSERT_EQ(0, Decrypt(("plaintext-" + std::to_string(cbPlaintext)).c_str(), ciphertext, decrypted));
        EXPECT_EQ(plaintext, decrypted);
    }
    const Bytes tooLong = Pattern(kMaxPlaintext + 1, 0x72);
    Bytes ciphertext;
    EXPECT_EQ(NTE_INVALID_PARAMETER, Encrypt("plaintext-246", tooLong, ciphertext));
    EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), ciphertext);
}

TEST_F(CryptTest, CiphertextMustBeExactlyTheKeyLength)
{
    for (DWORD cbCiphertext : std::initializer_list<DWORD>{0u, 1u, kMainExchangeBytes - 1, kMainExchangeBytes + 1}) {
        SCOPED_TRACE(cbCiphertext);
        Bytes plaintext;
        EXPECT_EQ(NTE_INVALID_PARAMETER, Decrypt(("ciphertext-" + std::to_string(cbCiphertext)).c_str(),
                                                 Pattern(cbCiphertext, 0x73), plaintext));
        EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), plaintext);
    }
}

TEST_F(CryptTest, SizeQueriesAnswerWithoutLookingAtTheData)
{
    Bytes block = UndecryptableBlock(Pair(), 0x74);
    DWORD cbResult = 0xDEAD;
    EXPECT_EQ(0, ksp().Encrypt("size", m_hProvider, m_hKey, block.data(), 10, nullptr, nullptr, 0, &cbResult,
                               NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMainExchangeBytes, cbResult);
    cbResult = 0xDEAD;
    EXPECT_EQ(0, ksp().Decrypt("size", m_hProvider, m_hKey, block.data(), kMainExchangeBytes, nullptr, nullptr, 0,
                               &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMaxPlaintext, cbResult);
}

TEST_F(CryptTest, OutputBufferMustHoldTheLargestResult)
{
    const Bytes plaintext = Pattern(10, 0x75);
    Bytes ciphertext(kMainExchangeBytes - 1, 0xCC);
    DWORD cbResult = 0xDEAD;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, ksp().Encrypt("one-short", m_hProvider, m_hKey, const_cast<PBYTE>(plaintext.data()),
                                                  10, nullptr, ciphertext.data(), static_cast<DWORD>(ciphertext.size()),
                                                  &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(Bytes(kMainExchangeBytes - 1, 0xCC), ciphertext);

    Bytes good;
    ASSERT_EQ(0, Encrypt("good", plaintext, good));
    Bytes output(kMaxPlaintext - 1, 0xCC);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL,
              ksp().Decrypt("one-short", m_hProvider, m_hKey, good.data(), kMainExchangeBytes, nullptr, output.data(),
                            static_cast<DWORD>(output.size()), &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(Bytes(kMaxPlaintext - 1, 0xCC), output);

    // Room for the largest plaintext is enough, however short the real one is.
    Bytes decrypted;
    ASSERT_EQ(0, Decrypt("exact", good, decrypted));
    EXPECT_EQ(plaintext, decrypted);
}

TEST_F(CryptTest, InputAndOutputMayBeTheSameBuffer)
{
    const Bytes plaintext = Pattern(20, 0x76);
    Bytes buffer(kMainExchangeBytes, 0);
    std::copy(plaintext.begin(), plaintext.end(), buffer.begin());
    DWORD cbResult = 0;
    ASSERT_EQ(0, ksp().Encrypt("in-place", m_hProvider, m_hKey, buffer.data(), 20, nullptr, buffer.data(),
                               kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    ASSERT_EQ(kMainExchangeBytes, cbResult);
    Bytes judged;
    const Judgement judgement = Pair().pPrivate->Decrypt(buffer, judged);
    ASSERT_EQ(Verdict::Accepted, judgement.verdict) << judgement.strDetail;
    EXPECT_EQ(plaintext, judged);

    ASSERT_EQ(0, ksp().Decrypt("in-place", m_hProvider, m_hKey, buffer.data(), kMainExchangeBytes, nullptr,
                               buffer.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    ASSERT_EQ(20u, cbResult);
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + 20));
}

// ---- Refusals ---------------------------------------------------------------------

TEST_F(CryptTest, OnlyThePkcs1FlagAloneIsAccepted)
{
    const Bytes plaintext = Pattern(16, 0x77);
    Bytes good;
    ASSERT_EQ(0, Encrypt("good", plaintext, good));
    for (DWORD dwFlags :
         std::initializer_list<DWORD>{0u, DWORD(NCRYPT_NO_PADDING_FLAG), DWORD(NCRYPT_PAD_OAEP_FLAG),
                                      DWORD(NCRYPT_PAD_PSS_FLAG), DWORD(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG),
                                      DWORD(NCRYPT_PAD_PKCS1_FLAG | NCRYPT_NO_PADDING_FLAG), 0xFFFFFFFFu}) {
        SCOPED_TRACE(dwFlags);
        const std::string strLabel = "flags-" + std::to_string(dwFlags);
        Bytes output;
        EXPECT_EQ(NTE_BAD_FLAGS, Encrypt(strLabel.c_str(), plaintext, output, dwFlags));
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), output);
        EXPECT_EQ(NTE_BAD_FLAGS, Decrypt(strLabel.c_str(), good, output, dwFlags));
        EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), output);
    }
}

TEST_F(CryptTest, AnyPaddingInformationIsRefused)
{
    const Bytes plaintext = Pattern(16, 0x78);
    Bytes good;
    ASSERT_EQ(0, Encrypt("good", plaintext, good));
    BCRYPT_PKCS1_PADDING_INFO pkcs1 = {TEXT("SHA256")};
    BCRYPT_PKCS1_PADDING_INFO empty = {nullptr};
    BYTE rgbZeros[32] = {};
    for (VOID *pPadding : {static_cast<VOID *>(&pkcs1), static_cast<VOID *>(&empty), static_cast<VOID *>(rgbZeros)}) {
        Bytes output;
        EXPECT_EQ(NTE_INVALID_PARAMETER, Encrypt("padding-info", plaintext, output, NCRYPT_PAD_PKCS1_FLAG, pPadding));
        EXPECT_EQ(NTE_INVALID_PARAMETER, Decrypt("padding-info", good, output, NCRYPT_PAD_PKCS1_FLAG, pPadding));
        EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), output);
    }
}

TEST_F(CryptTest, InputAndResultPointersMustBeGiven)
{
    Bytes output(kMainExchangeBytes, 0xCC);
    Bytes input = Pattern(kMainExchangeBytes, 0x79);
    DWORD cbResult = 0xDEAD;
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().Encrypt("null-input", m_hProvider, m_hKey, nullptr, 10, nullptr, output.data(), kMainExchangeBytes,
                            &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().Decrypt("null-input", m_hProvider, m_hKey, nullptr, kMainExchangeBytes, nullptr, output.data(),
                            kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0xDEADu, cbResult);
    for (PBYTE pbOutput : {output.data(), static_cast<PBYTE>(nullptr)}) {
        EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().Encrypt("null-result", m_hProvider, m_hKey, input.data(), 10, nullptr,
                                                       pbOutput, kMainExchangeBytes, nullptr, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  ksp().Decrypt("null-result", m_hProvider, m_hKey, input.data(), kMainExchangeBytes, nullptr, pbOutput,
                                kMainExchangeBytes, nullptr, NCRYPT_PAD_PKCS1_FLAG));
    }
    EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), output);
}

TEST_F(CryptTest, SignatureKeyPairNeitherEncryptsNorDecrypts)
{
    const NCRYPT_KEY_HANDLE hSignature = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_SIGNATURE);
    Bytes data = Pattern(kMainSignatureBytes, 0x7A);
    Bytes output(kMainSignatureBytes, 0xCC);
    for (PBYTE pbOutput : {output.data(), static_cast<PBYTE>(nullptr)}) {
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_PERM, ksp().Encrypt("signature-key", m_hProvider, hSignature, data.data(), 16, nullptr, pbOutput,
                                          kMainSignatureBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_PERM, ksp().Decrypt("signature-key", m_hProvider, hSignature, data.data(), kMainSignatureBytes,
                                          nullptr, pbOutput, kMainSignatureBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(0xDEADu, cbResult);
    }
    EXPECT_EQ(Bytes(kMainSignatureBytes, 0xCC), output);
}

TEST_F(CryptTest, CiphertextThatDoesNotDecryptIsADecryptionFailure)
{
    // Made for another key: the judge encrypts for Birch's container of the same name.
    const Bytes plaintext = Pattern(24, 0x7B);
    Bytes foreign;
    for (int iTry = 0;; ++iTry) {
        ASSERT_LT(iTry, 64) << "the judge decrypts every block: it cannot tell a bad ciphertext";
        ASSERT_EQ(Verdict::Accepted, m_pKeys->Main(1, AT_KEYEXCHANGE).pPublic->Encrypt(plaintext, foreign).verdict);
        // Below 2^2047, hence below this key's modulus: a block it can decrypt, but not validly.
        Bytes ignored;
        if (foreign[0] < 0x80 && Pair().pPrivate->Decrypt(foreign, ignored).verdict == Verdict::Rejected) {
            break;
        }
    }
    const Bytes random = UndecryptableBlock(Pair(), 0x7C);
    for (const Bytes *pCiphertext : std::initializer_list<const Bytes *>{&foreign, &random}) {
        Bytes output(kMaxPlaintext, 0xCC);
        DWORD cbResult = 0xDEAD;
        Bytes input = *pCiphertext;
        EXPECT_EQ(NTE_DECRYPTION_FAILURE,
                  ksp().Decrypt(pCiphertext == &foreign ? "other-key" : "random-block", m_hProvider, m_hKey,
                                input.data(), kMainExchangeBytes, nullptr, output.data(), kMaxPlaintext, &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(0u, cbResult) << "the result size is cleared before CryptoAPI is called";
        EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), output);
    }
    // The key is still usable.
    Bytes ciphertext;
    ASSERT_EQ(0, Encrypt("after", plaintext, ciphertext));
    Bytes decrypted;
    ASSERT_EQ(0, Decrypt("after", ciphertext, decrypted));
    EXPECT_EQ(plaintext, decrypted);
}

TEST_F(CryptTest, CspFailuresAreReturned)
{
    const struct {
        const char *pszLabel;
        const char *pszFunction;
        DWORD dwError;
        SECURITY_STATUS expected;
        bool fDecrypt;
        DWORD cbResultAfter;
    } cases[] = {
        {"encrypt-bad-len", "CryptEncrypt", static_cast<DWORD>(NTE_BAD_LEN), NTE_BAD_LEN, false, 0},
        {"encrypt-silent", "CryptEncrypt", static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED, false, 0},
        {"decrypt-bad-data", "CryptDecrypt", static_cast<DWORD>(NTE_BAD_DATA), NTE_DECRYPTION_FAILURE, true, 0},
        {"decrypt-fail", "CryptDecrypt", static_cast<DWORD>(NTE_FAIL), NTE_FAIL, true, 0},
        {"decrypt-bad-len", "CryptDecrypt", static_cast<DWORD>(NTE_BAD_LEN), NTE_BAD_LEN, true, 0},
        {"encrypt-key-length", "CryptGetKeyParam", static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY, false, 0xDEAD},
        {"decrypt-key-length", "CryptGetKeyParam", static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY, true, 0xDEAD},
    };
    const Bytes plaintext = Pattern(16, 0x7D);
    Bytes good;
    ASSERT_EQ(0, Encrypt("good", plaintext, good));
    E2E_REQUIRE_CONTROLS(platform::HasControls());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        platform::ResetPlatformControls();
        ASSERT_TRUE(platform::FailCall(c.pszFunction, 1, c.dwError));
        Bytes input = c.fDecrypt ? good : plaintext;
        Bytes output(kMainExchangeBytes, 0xCC);
        DWORD cbResult = 0xDEAD;
        const SECURITY_STATUS status =
            c.fDecrypt ? ksp().Decrypt(c.pszLabel, m_hProvider, m_hKey, input.data(), kMainExchangeBytes, nullptr,
                                       output.data(), kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG)
                       : ksp().Encrypt(c.pszLabel, m_hProvider, m_hKey, input.data(), 16, nullptr, output.data(),
                                       kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
        EXPECT_EQ(c.expected, status);
        EXPECT_EQ(c.cbResultAfter, cbResult);
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), output);
    }
    platform::ResetPlatformControls();
    Bytes decrypted;
    ASSERT_EQ(0, Decrypt("after", good, decrypted));
    EXPECT_EQ(plaintext, decrypted);
}

} // namespace
} // namespace e2e
