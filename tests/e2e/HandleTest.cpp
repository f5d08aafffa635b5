// Handle rules: a handle is only ever looked up, never used as a pointer
// before it has been found. Freed, foreign, neighbouring and made-up values
// are all refused with NTE_INVALID_HANDLE and nothing is written; under
// AddressSanitizer a dereference of any of them would end the run.
#include "E2EFixture.h"

namespace e2e
{
namespace
{

class HandleTest : public KspTest
{
protected:
    void SetUp() override
    {
        KspTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_NE(nullptr, Keys());
    }

    // Every entry that takes a key handle refuses the pair and writes nothing.
    void ExpectKeyEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        SCOPED_TRACE(strLabel);
        const char *pszLabel = strLabel.c_str();
        Bytes hash = Pattern(32, 0x81);
        Bytes data = Pattern(kMainExchangeBytes, 0x82);
        Bytes output(kMainExchangeBytes, 0xCC);
        BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE,
                  ksp().SignHash(pszLabel, hProvider, hKey, &padding, hash.data(), 32, output.data(),
                                 kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().SignHash(pszLabel, hProvider, hKey, &padding, hash.data(), 32, nullptr, 0,
                                                     &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().VerifySignature(pszLabel, hProvider, hKey, &padding, hash.data(), 32,
                                                            data.data(), kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().Encrypt(pszLabel, hProvider, hKey, data.data(), 16, nullptr, output.data(),
                                                    kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_HANDLE,
                  ksp().Decrypt(pszLabel, hProvider, hKey, data.data(), kMainExchangeBytes, nullptr, output.data(),
                                kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().FreeKey(pszLabel, hProvider, hKey));
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(Bytes(kMainExchangeBytes, 0xCC), output);
    }

    // Every entry that takes a provider handle refuses it and writes nothing.
    void ExpectProviderEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider)
    {
        SCOPED_TRACE(strLabel);
        const char *pszLabel = strLabel.c_str();
        NCRYPT_KEY_HANDLE hKey = 0x5EED;
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().OpenKey(pszLabel, hProvider, &hKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0));
        EXPECT_EQ(0x5EEDu, hKey);
        BYTE rgbOutput[4] = {0xCC, 0xCC, 0xCC, 0xCC};
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().GetProviderProperty(pszLabel, hProvider, NCRYPT_VERSION_PROPERTY, rgbOutput,
                                                                sizeof(rgbOutput), &cbResult, 0));
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(Bytes(4, 0xCC), Bytes(rgbOutput, rgbOutput + 4));
        DWORD dwCount = 77;
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().EnumAlgorithms(pszLabel, hProvider, 0, &dwCount, nullptr, 0));
        EXPECT_EQ(77u, dwCount);
        ExpectKeyEntriesRefuse(strLabel + "-key-0", hProvider, 0);
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp().FreeProvider(pszLabel, hProvider));
    }
};

TEST_F(HandleTest, KeyHandleIsValidOnlyWithTheProviderItWasOpenedThrough)
{
    const NCRYPT_PROV_HANDLE hAlder = OpenProvider(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hOtherAlder = OpenProvider(E2E_ALDER_NAME);
    const NCRYPT_PROV_HANDLE hBirch = OpenProvider(E2E_BIRCH_NAME);
    const NCRYPT_PROV_HANDLE hKsp = OpenProvider(E2E_KSP_NAME);
    // The other providers have keys of their own, in the same container.
    const NCRYPT_KEY_HANDLE hOtherKey = OpenKey(hOtherAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);

    ExpectKeyEntriesRefuse("other-alder-provider", hOtherAlder, hKey);
    ExpectKeyEntriesRefuse("birch-provider", hBirch, hKey);
    ExpectKeyEntriesRefuse("ksp-provider", hKsp, hKey);
    ExpectKeyEntriesRefuse("key-of-other-provider", hAlder, hOtherKey);

    // Both keys still work where they belong.
    Bytes hash = Pattern(32, 0x83);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    DWORD cbResult = 0;
    EXPECT_EQ(0, ksp().SignHash("own-provider", hAlder, hKey, &padding, hash.data(), 32, nullptr, 0, &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, ksp().SignHash("own-provider", hOtherAlder, hOtherKey, &padding, hash.data(), 32, nullptr, 0,
                                &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, ksp().FreeKey("own-provider", hAlder, hKey));
    EXPECT_EQ(0, ksp().FreeKey("own-provider", hOtherAlder, hOtherKey));
    for (NCRYPT_PROV_HANDLE hProvider : {hAlder, hOtherAlder, hBirch, hKsp}) {
        EXPECT_EQ(0, ksp().FreeProvider("own", hProvider));
    }
}

TEST_F(HandleTest, FreedKeyIsGoneForEveryEntry)
{
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(E2E_CEDAR_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    const NCRYPT_KEY_HANDLE hSibling = OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_SIGNATURE);
    ASSERT_EQ(0, ksp().FreeKey("first", hProvider, hKey));
    ExpectKeyEntriesRefuse("freed-key", hProvider, hKey);
    // Its sibling is untouched.
    Bytes hash = Pattern(20, 0x84);
    DWORD cbResult = 0;
    EXPECT_EQ(0, ksp().SignHash("sibling", hProvider, hSibling, nullptr, hash.data(), 20, nullptr, 0, &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMainSignatureBytes, cbResult);
    EXPECT_EQ(0, ksp().FreeKey("sibling", hProvider, hSibling));
    EXPECT_EQ(0, ksp().FreeProvider("provider", hProvider));
}

TEST_F(HandleTest, FreedProviderIsGoneForEveryEntryWithItsKeys)
{
    for (const bool fCsp : {false, true}) {
        const NCRYPT_PROV_HANDLE hProvider = OpenProvider(fCsp ? E2E_DOGWOOD_NAME : E2E_KSP_NAME);
        const NCRYPT_KEY_HANDLE hKey = fCsp ? OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE) : 0;
        ASSERT_EQ(0, ksp().FreeProvider("first", hProvider));
        ExpectProviderEntriesRefuse(fCsp ? "freed-csp-provider" : "freed-ksp-provider", hProvider);
        if (fCsp) {
            ExpectKeyEntriesRefuse("key-of-freed-provider", hProvider, hKey);
        }
    }
}

TEST_F(HandleTest, FreeingAProviderClosesItsKeys)
{
    platform::HandleCounts before;
    const bool fCounts = platform::GetLiveHandleCounts(before);
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE rghKeys[] = {
        OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE),
        OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_SIGNATURE),
        OpenKey(hProvider, E2E_SIGNATURE_ONLY_CONTAINER, AT_SIGNATURE),
    };
    platform::HandleCounts during;
    if (fCounts && platform::GetLiveHandleCounts(during)) {
        EXPECT_EQ(before.lContexts + 4, during.lContexts) << "a verification context and one per key";
        EXPECT_EQ(before.lKeys + 3, during.lKeys);
    }
    ASSERT_EQ(0, ksp().FreeProvider("with-keys", hProvider));
    platform::HandleCounts after;
    if (fCounts && platform::GetLiveHandleCounts(after)) {
        EXPECT_EQ(before.lContexts, after.lContexts);
        EXPECT_EQ(before.lKeys, after.lKeys);
    }
    // A new provider (perhaps at the same address) does not know the old keys.
    const NCRYPT_PROV_HANDLE hNewProvider = OpenProvider(E2E_ALDER_NAME);
    for (NCRYPT_KEY_HANDLE hKey : rghKeys) {
        ExpectKeyEntriesRefuse("old-key-new-provider", hNewProvider, hKey);
        ExpectKeyEntriesRefuse("old-key-old-provider", hProvider, hKey);
    }
    EXPECT_EQ(0, ksp().FreeProvider("new", hNewProvider));
}

TEST_F(HandleTest, ValuesThatWereNeverHandedOutAreRefused)
{
    const NCRYPT_PROV_HANDLE hProvider = OpenProvider(E2E_BIRCH_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hKsp = OpenProvider(E2E_KSP_NAME);

    // A fixed sequence of made-up values, the same in every run.
    std::vector<ULONG_PTR> made;
    ULONG_PTR state = 0x2545F491;
    for (int i = 0; i < 8; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        made.push_back(state);
    }
    const ULONG_PTR rgOffsets[] = {1, 4, 8, 16, 64, 4096};

    std::vector<std::pair<std::string, NCRYPT_PROV_HANDLE>> providers = {
        {"zero", 0}, {"one", 1}, {"all-ones", ~ULONG_PTR(0)}, {"key-as-provider", hKey}};
    for (size_t i = 0; i < made.size(); ++i) {
        providers.emplace_back("made-up-" + std::to_string(i), made[i]);
    }
    for (ULONG_PTR offset : rgOffsets) {
        providers.emplace_back("provider-plus-" + std::to_string(offset), hProvider + offset);
        providers.emplace_back("provider-minus-" + std::to_string(offset), hProvider - offset);
    }
    for (const auto &provider : providers) {
        ExpectProviderEntriesRefuse(provider.first, provider.second);
    }

    std::vector<std::pair<std::string, NCRYPT_KEY_HANDLE>> keys = {
        {"zero", 0}, {"one", 1}, {"all-ones", ~ULONG_PTR(0)}, {"provider-as-key", hProvider}, {"ksp-as-key", hKsp}};
    for (size_t i = 0; i < made.size(); ++i) {
        keys.emplace_back("made-up-" + std::to_string(i), made[i]);
    }
    for (ULONG_PTR offset : rgOffsets) {
        keys.emplace_back("key-plus-" + std::to_string(offset), hKey + offset);
        keys.emplace_back("key-minus-" + std::to_string(offset), hKey - offset);
    }
    for (const auto &key : keys) {
        ExpectKeyEntriesRefuse(key.first, hProvider, key.second);
    }

    // All of that changed nothing.
    Bytes hash = Pattern(32, 0x85);
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    DWORD cbResult = 0;
    EXPECT_EQ(0, ksp().SignHash("after", hProvider, hKey, &padding, hash.data(), 32, nullptr, 0, &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(kMainExchangeBytes, cbResult);
    EXPECT_EQ(0, ksp().FreeKey("after", hProvider, hKey));
    EXPECT_EQ(0, ksp().FreeProvider("after", hProvider));
    EXPECT_EQ(0, ksp().FreeProvider("after", hKsp));
}

} // namespace
} // namespace e2e
