// Opening providers under the five names, and what a provider answers about
// itself: the three properties and the algorithm list of the key storage
// provider, and the refusals of a provider bound to a CSP.
#include "E2EFixture.h"

#include <set>

namespace e2e
{
namespace
{

const NCRYPT_PROV_HANDLE kProviderSentinel = 0xC0FFEE;

const struct {
    const char *pszLabel;
    LPCWSTR pszName;
} kAllProviderNames[] = {
    {"ksp", E2E_KSP_NAME},     {"alder", E2E_ALDER_NAME},     {"birch", E2E_BIRCH_NAME},
    {"cedar", E2E_CEDAR_NAME}, {"dogwood", E2E_DOGWOOD_NAME},
};

TEST_F(KspTest, OpenProviderGivesEachOpeningItsOwnHandle)
{
    std::set<NCRYPT_PROV_HANDLE> handles;
    for (int iRound = 0; iRound < 2; ++iRound) {
        for (const auto &name : kAllProviderNames) {
            SCOPED_TRACE(name.pszLabel);
            NCRYPT_PROV_HANDLE hProvider = 0;
            ASSERT_EQ(0, ksp().OpenProvider(name.pszLabel, &hProvider, name.pszName, 0));
            EXPECT_NE(0u, hProvider);
            EXPECT_TRUE(handles.insert(hProvider).second) << "handle handed out twice";
        }
    }
    for (NCRYPT_PROV_HANDLE hProvider : handles) {
        EXPECT_EQ(0, ksp().FreeProvider("each", hProvider));
    }
}

TEST_F(KspTest, OpenProviderRefusesANullOutPointerWhateverTheName)
{
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider("null-out-ksp", nullptr, E2E_KSP_NAME, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider("null-out-alder", nullptr, E2E_ALDER_NAME, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider("null-out-bad-name", nullptr, TEXT("Quorvane"), 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider("null-out-null-name", nullptr, nullptr, 0));
}

TEST_F(KspTest, OpenProviderRefusesNamesThatAreNotExactlyAProviderName)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
    } names[] = {
        {"null", nullptr},
        {"empty", TEXT("")},
        {"ksp-lower-case", TEXT("quorvane tpm key storage provider")},
        {"ksp-trailing-blank", TEXT("Quorvane TPM Key Storage Provider ")},
        {"ksp-extra-character", TEXT("Quorvane TPM Key Storage Provider2")},
        {"alder-upper-case", TEXT("QUORVANE ALDER CRYPTOGRAPHIC PROVIDER")},
        {"birch-trailing-blank", TEXT("Quorvane Birch Cryptographic Provider ")},
        {"cedar-prefix", TEXT("Quorvane Cedar Cryptographic")},
        {"dogwood-leading-blank", TEXT(" Quorvane Dogwood Cryptographic Provider")},
        {"unknown-csp", TEXT("Quorvane Elm Cryptographic Provider")},
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name.pszLabel);
        NCRYPT_PROV_HANDLE hProvider = kProviderSentinel;
        EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenProvider(name.pszLabel, &hProvider, name.pszName, 0));
        EXPECT_EQ(kProviderSentinel, hProvider);
    }
}

TEST_F(KspTest, OpenProviderIgnoresItsFlags)
{
    for (const auto &name : kAllProviderNames) {
        for (DWORD dwFlags :
             std::initializer_list<DWORD>{DWORD(NCRYPT_SILENT_FLAG), DWORD(NCRYPT_MACHINE_KEY_FLAG), 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::string(name.pszLabel) + " " + std::to_string(dwFlags));
            NCRYPT_PROV_HANDLE hProvider = 0;
            ASSERT_EQ(0, ksp().OpenProvider(name.pszLabel, &hProvider, name.pszName, dwFlags));
            EXPECT_EQ(0, ksp().FreeProvider(name.pszLabel, hProvider));
        }
    }
}

// Only the call log of the stand-in shows what reaches CryptoAPI.
TEST_F(KspTest, OpenProviderAcquiresOneVerificationContextOfTheCspsType)
{
    std::vector<platform::AcquireCall> calls;
    E2E_REQUIRE_CONTROLS(platform::GetAcquireCalls(calls));
    for (const CspName &csp : kCsps) {
        for (DWORD dwFlags : std::initializer_list<DWORD>{0u, DWORD(NCRYPT_SILENT_FLAG)}) {
            SCOPED_TRACE(std::string(csp.pszTag) + " " + std::to_string(dwFlags));
            platform::ResetPlatformControls();
            NCRYPT_PROV_HANDLE hProvider = OpenProvider(csp.pszName);
            ASSERT_TRUE(platform::GetAcquireCalls(calls));
            ASSERT_EQ(1u, calls.size());
            EXPECT_TRUE(calls[0].strProvider == csp.pszName);
            EXPECT_TRUE(calls[0].fContainerNull);
            EXPECT_EQ(csp.dwProvType, calls[0].dwProvType);
            EXPECT_EQ(CRYPT_VERIFYCONTEXT, calls[0].dwFlags);
            EXPECT_EQ(0, ksp().FreeProvider("verify-context", hProvider));
        }
    }
    platform::ResetPlatformControls();
    const NCRYPT_PROV_HANDLE hKsp = OpenProvider(E2E_KSP_NAME);
    ASSERT_TRUE(platform::GetAcquireCalls(calls));
    EXPECT_TRUE(calls.empty()) << "the key storage provider needs no CSP";
    EXPECT_EQ(0, ksp().FreeProvider("ksp", hKsp));
}

TEST_F(KspTest, OpenProviderReturnsWhatTheCspAnswered)
{
    const struct {
        const char *pszLabel;
        DWORD dwCapiError;
        SECURITY_STATUS expected;
    } cases[] = {
        {"not-installed", static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND), NTE_PROV_DLL_NOT_FOUND},
        {"silent-context", static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {"access-denied", ERROR_ACCESS_DENIED, static_cast<SECURITY_STATUS>(ERROR_ACCESS_DENIED)},
        {"bad-keyset", static_cast<DWORD>(NTE_BAD_KEYSET), NTE_BAD_KEYSET},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        E2E_REQUIRE_CONTROLS(platform::FailCall("CryptAcquireContextW", 1, c.dwCapiError));
        NCRYPT_PROV_HANDLE hProvider = kProviderSentinel;
        EXPECT_EQ(c.expected, ksp().OpenProvider(c.pszLabel, &hProvider, E2E_BIRCH_NAME, 0));
        EXPECT_EQ(kProviderSentinel, hProvider);
    }
    // Nothing was left half made: the next opening works.
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(E2E_BIRCH_NAME);
    EXPECT_EQ(0, ksp().FreeProvider("after", hProvider));
}

// ---- Properties of the key storage provider --------------------------------

class ProviderPropertyTest : public KspTest
{
protected:
    void SetUp() override
    {
        KspTest::SetUp();
        if (!HasFatalFailure()) {
            m_hKsp = OpenProvider(E2E_KSP_NAME);
        }
    }

    NCRYPT_PROV_HANDLE m_hKsp = 0;
};

const struct {
    const char *pszLabel;
    LPCWSTR pszName;
    BYTE rgbValue[4];
} kProperties[] = {
    {"impl-type", NCRYPT_IMPL_TYPE_PROPERTY, {0x00, 0x00, 0x00, 0x00}},
    {"version", NCRYPT_VERSION_PROPERTY, {0x00, 0x00, 0x01, 0x00}},
    {"max-name-length", NCRYPT_MAX_NAME_LENGTH_PROPERTY, {0x04, 0x01, 0x00, 0x00}},
};

// Into a larger buffer, an exact one at an odd address, and with flags that
// change nothing: the 4 bytes of the value, and not a byte more.
TEST_F(ProviderPropertyTest, WritesFourLittleEndianBytesAndNothingBeyond)
{
    const struct {
        const char *pszLabel;
        size_t offset;
        DWORD cbOutput;
        DWORD dwFlags;
    } buffers[] = {
        {"larger", 0, 8, 0},
        {"exact-unaligned", 1, 4, 0},
        {"silent-flag", 0, 4, NCRYPT_SILENT_FLAG},
        {"all-flags", 3, 5, 0xFFFFFFFF},
    };
    for (const auto &property : kProperties) {
        for (const auto &buffer : buffers) {
            SCOPED_TRACE(std::string(property.pszLabel) + " " + buffer.pszLabel);
            Bytes output(16, 0xCC);
            DWORD cbResult = 0xDEAD;
            ASSERT_EQ(0, ksp().GetProviderProperty(property.pszLabel, m_hKsp, property.pszName,
                                                   output.data() + buffer.offset, buffer.cbOutput, &cbResult,
                                                   buffer.dwFlags));
            EXPECT_EQ(4u, cbResult);
            Bytes expected(16, 0xCC);
            std::copy(property.rgbValue, property.rgbValue + 4, expected.begin() + buffer.offset);
            EXPECT_EQ(Hex(expected), Hex(output));
        }
    }
}

TEST_F(ProviderPropertyTest, SizeQueryAnswersFour)
{
    for (const auto &property : kProperties) {
        SCOPED_TRACE(property.pszLabel);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(0, ksp().GetProviderProperty(property.pszLabel, m_hKsp, property.pszName, nullptr, 0, &cbResult, 0));
        EXPECT_EQ(4u, cbResult);
        cbResult = 0xDEAD;
        EXPECT_EQ(0,
                  ksp().GetProviderProperty(property.pszLabel, m_hKsp, property.pszName, nullptr, 100, &cbResult, 0));
        EXPECT_EQ(4u, cbResult);
    }
}

TEST_F(ProviderPropertyTest, ShortBufferIsAnInvalidParameterButLearnsTheSize)
{
    for (const auto &property : kProperties) {
        for (DWORD cbOutput : std::initializer_list<DWORD>{0u, 3u}) {
            SCOPED_TRACE(std::string(property.pszLabel) + " " + std::to_string(cbOutput));
            BYTE rgbOutput[4] = {0xCC, 0xCC, 0xCC, 0xCC};
            DWORD cbResult = 0xDEAD;
            EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().GetProviderProperty(property.pszLabel, m_hKsp, property.pszName,
                                                                       rgbOutput, cbOutput, &cbResult, 0));
            EXPECT_EQ(4u, cbResult);
            EXPECT_EQ(Bytes(4, 0xCC), Bytes(rgbOutput, rgbOutput + 4));
        }
    }
}

TEST_F(ProviderPropertyTest, OtherNamesAreNotSupportedAndWriteNothing)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
    } names[] = {
        {"lower-case", TEXT("impl type")},
        {"trailing-blank", TEXT("Version ")},
        {"prefix", TEXT("Max Name")},
        {"empty", TEXT("")},
        {"name", TEXT("Name")},
        {"unique-name", TEXT("Unique Name")},
        {"security-descr", TEXT("Security Descr")},
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name.pszLabel);
        BYTE rgbOutput[8] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_NOT_SUPPORTED, ksp().GetProviderProperty(name.pszLabel, m_hKsp, name.pszName, rgbOutput,
                                                               sizeof(rgbOutput), &cbResult, 0));
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(Bytes(8, 0xCC), Bytes(rgbOutput, rgbOutput + 8));
    }
}

TEST_F(ProviderPropertyTest, NullNameOrResultPointerIsAnInvalidParameter)
{
    BYTE rgbOutput[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    DWORD cbResult = 0xDEAD;
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().GetProviderProperty("null-name", m_hKsp, nullptr, rgbOutput, sizeof(rgbOutput), &cbResult, 0));
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().GetProviderProperty("null-result", m_hKsp, NCRYPT_VERSION_PROPERTY,
                                                               rgbOutput, sizeof(rgbOutput), nullptr, 0));
    // The missing result pointer is found before the name is looked at.
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().GetProviderProperty("null-result-unknown-name", m_hKsp, TEXT("Name"),
                                                               rgbOutput, sizeof(rgbOutput), nullptr, 0));
    EXPECT_EQ(Bytes(4, 0xCC), Bytes(rgbOutput, rgbOutput + 4));
}

TEST_F(ProviderPropertyTest, EnumAlgorithmsListsNothingForAnyClassOrFlag)
{
    NCryptAlgorithmName *const pSentinel = reinterpret_cast<NCryptAlgorithmName *>(static_cast<ULONG_PTR>(0xA160));
    for (DWORD dwOperations : std::initializer_list<DWORD>{
             0u, DWORD(NCRYPT_CIPHER_OPERATION),
             DWORD(NCRYPT_ASYMMETRIC_ENCRYPTION_OPERATION | NCRYPT_SIGNATURE_OPERATION), 0xFFFFFFFFu}) {
        for (DWORD dwFlags : std::initializer_list<DWORD>{0u, DWORD(NCRYPT_SILENT_FLAG), 0xFFFFFFFFu}) {
            SCOPED_TRACE(std::to_string(dwOperations) + " " + std::to_string(dwFlags));
            DWORD dwCount = 77;
            NCryptAlgorithmName *pList = pSentinel;
            EXPECT_EQ(0, ksp().EnumAlgorithms("list", m_hKsp, dwOperations, &dwCount, &pList, dwFlags));
            EXPECT_EQ(0u, dwCount);
            EXPECT_EQ(pSentinel, pList);
            dwCount = 77;
            EXPECT_EQ(0, ksp().EnumAlgorithms("null-list", m_hKsp, dwOperations, &dwCount, nullptr, dwFlags));
            EXPECT_EQ(0u, dwCount);
        }
    }
    NCryptAlgorithmName *pList = pSentinel;
    EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().EnumAlgorithms("null-count", m_hKsp, 0, nullptr, &pList, 0));
    EXPECT_EQ(pSentinel, pList);
}

// ---- A provider bound to a CSP answers neither --------------------------------

TEST_F(KspTest, CspProviderAnswersNoPropertyAndNoAlgorithmList)
{
    for (const CspName &csp : kCsps) {
        SCOPED_TRACE(csp.pszTag);
        const NCRYPT_PROV_HANDLE hProvider = OpenProvider(csp.pszName);
        for (LPCWSTR pszName : {NCRYPT_IMPL_TYPE_PROPERTY, NCRYPT_VERSION_PROPERTY, NCRYPT_MAX_NAME_LENGTH_PROPERTY,
                                static_cast<LPCWSTR>(TEXT("Name")), static_cast<LPCWSTR>(nullptr)}) {
            BYTE rgbOutput[4] = {0xCC, 0xCC, 0xCC, 0xCC};
            DWORD cbResult = 0xDEAD;
            EXPECT_EQ(NTE_NOT_SUPPORTED, ksp().GetProviderProperty(csp.pszTag, hProvider, pszName, rgbOutput,
                                                                   sizeof(rgbOutput), &cbResult, 0));
            EXPECT_EQ(0xDEADu, cbResult);
            EXPECT_EQ(Bytes(4, 0xCC), Bytes(rgbOutput, rgbOutput + 4));
        }
        EXPECT_EQ(NTE_NOT_SUPPORTED,
                  ksp().GetProviderProperty("null-result", hProvider, NCRYPT_VERSION_PROPERTY, nullptr, 0, nullptr, 0));

        DWORD dwCount = 77;
        NCryptAlgorithmName *pList = nullptr;
        EXPECT_EQ(NTE_NOT_SUPPORTED, ksp().EnumAlgorithms(csp.pszTag, hProvider, 0, &dwCount, &pList, 0));
        EXPECT_EQ(77u, dwCount);
        EXPECT_EQ(nullptr, pList);
        EXPECT_EQ(NTE_NOT_SUPPORTED, ksp().EnumAlgorithms("null-count", hProvider, 0, nullptr, nullptr, 0));
        EXPECT_EQ(0, ksp().FreeProvider(csp.pszTag, hProvider));
    }
}

} // namespace
} // namespace e2e
