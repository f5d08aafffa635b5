// Opening keys: the containers of each CSP under each key spec, the flags
// that reach CryptoAPI, and every refusal on the way.
#include "E2EFixture.h"

namespace e2e
{
namespace
{

const NCRYPT_KEY_HANDLE kKeySentinel = 0xBADC0DE;

class OpenKeyTest : public KspTest
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
        m_hAlder = OpenProvider(E2E_ALDER_NAME);
    }

    // Signs a SHA-1 hash and has the judge check the signature.
    void ExpectKeyIs(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, const KeyPair &keyPair)
    {
        const Bytes hash = Pattern(20, 0x51);
        BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA1")};
        Bytes signature(keyPair.dwBytes);
        DWORD cbResult = 0;
        ASSERT_EQ(0, ksp().SignHash("identify", hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()),
                                    static_cast<DWORD>(hash.size()), signature.data(),
                                    static_cast<DWORD>(signature.size()), &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        ASSERT_EQ(keyPair.dwBytes, cbResult);
        const Judgement judgement = keyPair.pPublic->Verify(TEXT("SHA1"), hash, signature);
        EXPECT_EQ(Verdict::Accepted, judgement.verdict) << judgement.strDetail;
    }

    const KeyStore *m_pKeys = nullptr;
    NCRYPT_PROV_HANDLE m_hAlder = 0;
};

TEST_F(OpenKeyTest, OpensTheMainContainerOfEveryCspUnderBothKeySpecs)
{
    for (size_t i = 0; i < 4; ++i) {
        const NCRYPT_PROV_HANDLE hProvider = OpenProvider(kCsps[i].pszName);
        for (DWORD dwKeySpec : std::initializer_list<DWORD>{DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
            for (DWORD dwFlags : std::initializer_list<DWORD>{0u, DWORD(NCRYPT_SILENT_FLAG)}) {
                SCOPED_TRACE(std::string(kCsps[i].pszTag) + " key spec " + std::to_string(dwKeySpec) + " flags " +
                             std::to_string(dwFlags));
                const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, dwKeySpec, dwFlags);
                ExpectKeyIs(hProvider, hKey, m_pKeys->Main(i, dwKeySpec));
                EXPECT_EQ(0, ksp().FreeKey(kCsps[i].pszTag, hProvider, hKey));
            }
        }
        EXPECT_EQ(0, ksp().FreeProvider(kCsps[i].pszTag, hProvider));
    }
}

TEST_F(OpenKeyTest, NullOutPointerIsRefusedBeforeTheProviderIsLookedUp)
{
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().OpenKey("null-out-unknown-provider", 0x1234, nullptr, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              ksp().OpenKey("null-out", m_hAlder, nullptr, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
}

TEST_F(OpenKeyTest, UnknownProviderIsAnInvalidHandle)
{
    for (NCRYPT_PROV_HANDLE hProvider : {NCRYPT_PROV_HANDLE(0), NCRYPT_PROV_HANDLE(0x1234), m_hAlder + 1}) {
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(NTE_INVALID_HANDLE,
                  ksp().OpenKey("unknown-provider", hProvider, &hKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
        EXPECT_EQ(kKeySentinel, hKey);
    }
}

TEST_F(OpenKeyTest, KeyStorageProviderOpensNoKeyWhateverTheArguments)
{
    const NCRYPT_PROV_HANDLE hKsp = OpenProvider(E2E_KSP_NAME);
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
        DWORD dwKeySpec;
        DWORD dwFlags;
    } cases[] = {
        {"main", E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0},
        {"null-name", nullptr, 0, 0},
        {"bad-key-spec-and-flags", E2E_MAIN_CONTAINER, 7, 0xFFFF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(NTE_NOT_SUPPORTED, ksp().OpenKey(c.pszLabel, hKsp, &hKey, c.pszName, c.dwKeySpec, c.dwFlags));
        EXPECT_EQ(kKeySentinel, hKey);
    }
}

TEST_F(OpenKeyTest, KeySpecMustBeExchangeOrSignatureAndTheNameMustBeGiven)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
        DWORD dwKeySpec;
    } cases[] = {
        {"key-spec-0", E2E_MAIN_CONTAINER, 0},
        {"key-spec-3", E2E_MAIN_CONTAINER, 3},
        {"key-spec-all-bits", E2E_MAIN_CONTAINER, 0xFFFFFFFF},
        {"null-name-key-spec-3", nullptr, 3},
        {"null-name-exchange", nullptr, AT_KEYEXCHANGE},
        {"null-name-signature", nullptr, AT_SIGNATURE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(NTE_INVALID_PARAMETER, ksp().OpenKey(c.pszLabel, m_hAlder, &hKey, c.pszName, c.dwKeySpec, 0));
        EXPECT_EQ(kKeySentinel, hKey);
    }
}

TEST_F(OpenKeyTest, FlagsOtherThanMachineAndSilentAreRefused)
{
    for (DWORD dwFlags : std::initializer_list<DWORD>{0x1u, 0x2u, 0x80u, 0x61u, 0x10000u, 0x80000000u}) {
        SCOPED_TRACE(dwFlags);
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(NTE_BAD_FLAGS, ksp().OpenKey(("flags-" + std::to_string(dwFlags)).c_str(), m_hAlder, &hKey,
                                               E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, dwFlags));
        EXPECT_EQ(kKeySentinel, hKey);
    }
}

TEST_F(OpenKeyTest, RefusedFlagsNeverReachTheCsp)
{
    DWORD dwCount = 0;
    E2E_REQUIRE_CONTROLS(platform::CountCalls("CryptAcquireContextW", dwCount));
    platform::ResetPlatformControls();
    NCRYPT_KEY_HANDLE hKey = kKeySentinel;
    EXPECT_EQ(NTE_BAD_FLAGS, ksp().OpenKey("flags-0x80", m_hAlder, &hKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0x80));
    ASSERT_TRUE(platform::CountCalls("CryptAcquireContextW", dwCount));
    EXPECT_EQ(0u, dwCount);
}

TEST_F(OpenKeyTest, TheContainerIsAcquiredWithTheCallersFlags)
{
    std::vector<platform::AcquireCall> calls;
    E2E_REQUIRE_CONTROLS(platform::GetAcquireCalls(calls));
    const struct {
        size_t iCsp;
        LPCWSTR pszContainer;
        DWORD dwFlags;
    } cases[] = {
        {0, E2E_MAIN_CONTAINER, 0},
        {1, E2E_MAIN_CONTAINER, NCRYPT_SILENT_FLAG},
        {2, E2E_MAIN_CONTAINER, 0},
        {3, E2E_MAIN_CONTAINER, NCRYPT_SILENT_FLAG},
        {0, E2E_MACHINE_CONTAINER, NCRYPT_MACHINE_KEY_FLAG},
        {0, E2E_MACHINE_CONTAINER, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG},
    };
    for (const auto &c : cases) {
        const CspName &csp = kCsps[c.iCsp];
        SCOPED_TRACE(std::string(csp.pszTag) + " " + std::to_string(c.dwFlags));
        const NCRYPT_PROV_HANDLE hProvider = OpenProvider(csp.pszName);
        platform::ResetPlatformControls();
        const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, c.pszContainer, AT_KEYEXCHANGE, c.dwFlags);
        ASSERT_TRUE(platform::GetAcquireCalls(calls));
        ASSERT_EQ(1u, calls.size());
        EXPECT_TRUE(calls[0].strProvider == csp.pszName);
        EXPECT_FALSE(calls[0].fContainerNull);
        EXPECT_TRUE(calls[0].strContainer == c.pszContainer);
        EXPECT_EQ(csp.dwProvType, calls[0].dwProvType);
        EXPECT_EQ(c.dwFlags, calls[0].dwFlags);
        EXPECT_EQ(0, ksp().FreeKey("acquire", hProvider, hKey));
        EXPECT_EQ(0, ksp().FreeProvider("acquire", hProvider));
    }
}

TEST_F(OpenKeyTest, MachineKeyFlagOpensTheMachineKeySet)
{
    for (DWORD dwFlags : std::initializer_list<DWORD>{DWORD(NCRYPT_MACHINE_KEY_FLAG),
                                                      DWORD(NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG)}) {
        SCOPED_TRACE(dwFlags);
        const NCRYPT_KEY_HANDLE hKey = OpenKey(m_hAlder, E2E_MACHINE_CONTAINER, AT_KEYEXCHANGE, dwFlags);
        ExpectKeyIs(m_hAlder, hKey, m_pKeys->Machine());
        EXPECT_EQ(0, ksp().FreeKey("machine", m_hAlder, hKey));
    }
    NCRYPT_KEY_HANDLE hKey = kKeySentinel;
    EXPECT_EQ(NTE_BAD_KEYSET,
              ksp().OpenKey("machine-container-as-user", m_hAlder, &hKey, E2E_MACHINE_CONTAINER, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(NTE_BAD_KEYSET, ksp().OpenKey("user-container-as-machine", m_hAlder, &hKey, E2E_MAIN_CONTAINER,
                                            AT_KEYEXCHANGE, NCRYPT_MACHINE_KEY_FLAG));
    EXPECT_EQ(kKeySentinel, hKey);
}

TEST_F(OpenKeyTest, ContainerWithoutThatKeyPairIsABadKeyset)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
        DWORD dwKeySpec;
    } cases[] = {
        {"missing-exchange", E2E_MISSING_CONTAINER, AT_KEYEXCHANGE},
        {"missing-signature", E2E_MISSING_CONTAINER, AT_SIGNATURE},
        {"empty-exchange", E2E_EMPTY_CONTAINER, AT_KEYEXCHANGE},
        {"empty-signature", E2E_EMPTY_CONTAINER, AT_SIGNATURE},
        {"signature-only-exchange", E2E_SIGNATURE_ONLY_CONTAINER, AT_KEYEXCHANGE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(NTE_BAD_KEYSET, ksp().OpenKey(c.pszLabel, m_hAlder, &hKey, c.pszName, c.dwKeySpec, 0));
        EXPECT_EQ(kKeySentinel, hKey);
    }
    // The refusals leave the provider as it was.
    const NCRYPT_KEY_HANDLE hSignature = OpenKey(m_hAlder, E2E_SIGNATURE_ONLY_CONTAINER, AT_SIGNATURE);
    const NCRYPT_KEY_HANDLE hMain = OpenKey(m_hAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    ExpectKeyIs(m_hAlder, hMain, m_pKeys->Main(0, AT_KEYEXCHANGE));
    EXPECT_EQ(0, ksp().FreeKey("signature-only", m_hAlder, hSignature));
    EXPECT_EQ(0, ksp().FreeKey("main", m_hAlder, hMain));
}

TEST_F(OpenKeyTest, ContainerThatNeedsAPromptIsUiRequiredWhenSilent)
{
    NCRYPT_KEY_HANDLE hKey = kKeySentinel;
    EXPECT_EQ(NTE_UI_REQUIRED,
              ksp().OpenKey("silent", m_hAlder, &hKey, E2E_PROMPT_CONTAINER, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG));
    EXPECT_EQ(kKeySentinel, hKey);
    ASSERT_EQ(0, ksp().OpenKey("not-silent", m_hAlder, &hKey, E2E_PROMPT_CONTAINER, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(0, ksp().FreeKey("not-silent", m_hAlder, hKey));
}

TEST_F(OpenKeyTest, ReturnsWhatTheCspAnsweredTranslatingOnlyMissingKeysAndPrompts)
{
    const struct {
        const char *pszLabel;
        const char *pszFunction;
        DWORD dwCapiError;
        SECURITY_STATUS expected;
    } cases[] = {
        {"acquire-keyset-not-def", "CryptAcquireContextW", static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET},
        {"acquire-silent-context", "CryptAcquireContextW", static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {"acquire-access-denied", "CryptAcquireContextW", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"acquire-bad-keyset-param", "CryptAcquireContextW", static_cast<DWORD>(NTE_BAD_KEYSET_PARAM),
         NTE_BAD_KEYSET_PARAM},
        {"user-key-no-key", "CryptGetUserKey", static_cast<DWORD>(NTE_NO_KEY), NTE_BAD_KEYSET},
        {"user-key-silent-context", "CryptGetUserKey", static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {"user-key-bad-key", "CryptGetUserKey", static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY},
        {"user-key-keyset-not-def", "CryptGetUserKey", static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF},
    };
    platform::HandleCounts before;
    E2E_REQUIRE_CONTROLS(platform::GetLiveHandleCounts(before));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszLabel);
        ASSERT_TRUE(platform::FailCall(c.pszFunction, 1, c.dwCapiError));
        NCRYPT_KEY_HANDLE hKey = kKeySentinel;
        EXPECT_EQ(c.expected, ksp().OpenKey(c.pszLabel, m_hAlder, &hKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
        EXPECT_EQ(kKeySentinel, hKey);
        // A container acquired before the key failed is released again.
        platform::HandleCounts after;
        ASSERT_TRUE(platform::GetLiveHandleCounts(after));
        EXPECT_EQ(before.lContexts, after.lContexts);
        EXPECT_EQ(before.lKeys, after.lKeys);
    }
}

TEST_F(OpenKeyTest, SameContainerTwiceGivesTwoIndependentKeys)
{
    platform::HandleCounts before;
    const bool fCounts = platform::GetLiveHandleCounts(before);
    const NCRYPT_KEY_HANDLE hFirst = OpenKey(m_hAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    const NCRYPT_KEY_HANDLE hSecond = OpenKey(m_hAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    EXPECT_NE(hFirst, hSecond);
    platform::HandleCounts after;
    if (fCounts && platform::GetLiveHandleCounts(after)) {
        EXPECT_EQ(before.lContexts + 2, after.lContexts) << "each key has a context of its own";
        EXPECT_EQ(before.lKeys + 2, after.lKeys);
    }
    EXPECT_EQ(0, ksp().FreeKey("first", m_hAlder, hFirst));
    ExpectKeyIs(m_hAlder, hSecond, m_pKeys->Main(0, AT_KEYEXCHANGE));
    EXPECT_EQ(0, ksp().FreeKey("second", m_hAlder, hSecond));
    if (fCounts && platform::GetLiveHandleCounts(after)) {
        EXPECT_EQ(before.lContexts, after.lContexts);
        EXPECT_EQ(before.lKeys, after.lKeys);
    }
}

} // namespace
} // namespace e2e
