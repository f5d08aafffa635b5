// The provider object of a CAPI provider name: its CSP type, its
// verification context, the provider operations it refuses, and opening
// keys (argument checks, failures that leave nothing behind).
#include "CapiTestSupport.h"

#include "ksp/KspInterface.h"

#include <memory>

namespace
{

using unit::CallLog;
using unit::CallNames;
using unit::kAlder;
using unit::kCapiNames;
using unit::kCapiTypes;
using unit::StatusOf;
using unit::VerifyContextOf;

constexpr LPCWSTR kContainer = TEXT("unit provider key");

class KspCAPIProviderContext : public unit::CapiTest
{
protected:
    std::unique_ptr<CKspCapiProviderContext> OpenedProvider(LPCWSTR pszName)
    {
        std::unique_ptr<CKspCapiProviderContext> pProvider(new CKspCapiProviderContext(KSP_WSTRING(pszName)));
        EXPECT_STATUS(0, StatusOf([&] { pProvider->Open(0); }));
        return pProvider;
    }
};

TEST_F(KspCAPIProviderContext, EachNameHasItsProviderTypeForEveryContext)
{
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(unit::Narrow(kCapiNames[i]));
        MakeContainer(kCapiNames[i], kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));

        QvnPlatformClearCallLog();
        CKspCapiProviderContext provider{KSP_WSTRING(kCapiNames[i])};
        EXPECT_EQ(kCapiTypes[i], provider.GetProvType());
        EXPECT_EQ(0u, QvnPlatformGetCallCount()) << "construction calls nothing";

        EXPECT_STATUS(0, StatusOf([&] { provider.Open(0); }));
        std::vector<QVN_CALL_RECORD> log = CallLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ("CryptAcquireContextW", std::string(log[0].szFunction));
        EXPECT_TRUE(log[0].fContainerNull);
        EXPECT_EQ(std::u16string(kCapiNames[i]), unit::ProviderOf(log[0]));
        EXPECT_EQ(kCapiTypes[i], log[0].dwProvType);
        EXPECT_EQ(CRYPT_VERIFYCONTEXT, log[0].dwFlags);
        EXPECT_NE(0u, VerifyContextOf(provider));

        QvnPlatformClearCallLog();
        EXPECT_STATUS(0, StatusOf([&] { provider.OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
        log = unit::CallsOf("CryptAcquireContextW");
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(std::u16string(kContainer), unit::ContainerOf(log[0]));
        EXPECT_EQ(std::u16string(kCapiNames[i]), unit::ProviderOf(log[0]));
        EXPECT_EQ(kCapiTypes[i], log[0].dwProvType);
        EXPECT_EQ(0u, log[0].dwFlags);
    }
}

TEST_F(KspCAPIProviderContext, OpenFlagsNeverReachCryptoApi)
{
    for (DWORD dwFlags : {0x40u, 0x20u, 0xFFFFFFFFu}) {
        CKspCapiProviderContext provider{KSP_WSTRING(kAlder)};
        QvnPlatformClearCallLog();
        EXPECT_STATUS(0, StatusOf([&] { provider.Open(dwFlags); }));
        const std::vector<QVN_CALL_RECORD> log = CallLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(CRYPT_VERIFYCONTEXT, log[0].dwFlags) << "flags " << dwFlags;
        EXPECT_TRUE(log[0].fContainerNull);
    }
}

TEST_F(KspCAPIProviderContext, FailedOpenCarriesTheLastErrorAndHoldsNothing)
{
    const struct {
        DWORD dwError;
        LONG lStatus;
    } rgCases[] = {
        {static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND), NTE_PROV_DLL_NOT_FOUND},
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF}, // not translated for a verification context
        {static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    const unit::LiveHandles before = unit::LiveNow();
    for (const auto &c : rgCases) {
        CKspCapiProviderContext provider{KSP_WSTRING(kAlder)};
        QvnPlatformFailCall("CryptAcquireContextW", 1, c.dwError);
        EXPECT_STATUS(c.lStatus, StatusOf([&] { provider.Open(0); }));
        EXPECT_EQ(0u, VerifyContextOf(provider));
        EXPECT_EQ(before, unit::LiveNow());
    }
}

TEST_F(KspCAPIProviderContext, FailedOpenThroughTheEntryLeavesNoHandle)
{
    const unit::LiveHandles before = unit::LiveNow();
    NCRYPT_PROV_HANDLE hProvider = 0x5EED;
    QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
    EXPECT_STATUS(NTE_PROV_DLL_NOT_FOUND, KspOpenProvider(&hProvider, unit::kBirch, 0));
    EXPECT_EQ(0x5EEDu, hProvider);
    EXPECT_TRUE(unit::ProvidersOf(*CKspProviderManager::GetInstance()).empty());
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPIProviderContext, CloseReleasesTheVerificationContextOnce)
{
    const unit::LiveHandles before = unit::LiveNow();
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    const HCRYPTPROV hContext = VerifyContextOf(*pProvider);
    ASSERT_NE(0u, hContext);

    QvnPlatformClearCallLog();
    pProvider->Close();
    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ((std::vector<std::string>{"CryptReleaseContext"}), CallNames());
    EXPECT_EQ(hContext, log[0].hHandle);
    EXPECT_EQ(0u, log[0].dwFlags);
    EXPECT_EQ(0u, VerifyContextOf(*pProvider));
    EXPECT_EQ(before, unit::LiveNow());

    pProvider->Close();
    pProvider.reset();
    EXPECT_EQ(1u, QvnPlatformGetCallCount()) << "neither a second Close nor the destructor releases again";
}

TEST_F(KspCAPIProviderContext, DestructorClosesAndDestroysOpenKeys)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    const unit::LiveHandles before = unit::LiveNow();
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    const HCRYPTPROV hContext = VerifyContextOf(*pProvider);
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { hKey = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
    CKspCapiKeyContext *pKey = static_cast<CKspCapiKeyContext *>(pProvider->GetKey(hKey));
    const HCRYPTPROV hKeyContext = unit::KeyContextOf(*pKey);
    const HCRYPTKEY hCapiKey = unit::CapiKeyOf(*pKey);

    QvnPlatformClearCallLog();
    pProvider.reset();
    // The provider closes itself first, then its keys go, each key before its context.
    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ((std::vector<std::string>{"CryptReleaseContext", "CryptDestroyKey", "CryptReleaseContext"}), CallNames());
    EXPECT_EQ(hContext, log[0].hHandle);
    EXPECT_EQ(hCapiKey, log[1].hHandle);
    EXPECT_EQ(hKeyContext, log[2].hHandle);
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPIProviderContext, RefusesAlgorithmsAndPropertiesTouchingNothing)
{
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    QvnPlatformClearCallLog();
    DWORD cAlgorithms = 0xABCD;
    NCryptAlgorithmName *pList = reinterpret_cast<NCryptAlgorithmName *>(0x77);
    EXPECT_STATUS(NTE_NOT_SUPPORTED, StatusOf([&] { pProvider->EnumAlgorithms(0, &cAlgorithms, &pList, 0); }));
    EXPECT_STATUS(NTE_NOT_SUPPORTED, StatusOf([&] { pProvider->EnumAlgorithms(0, nullptr, nullptr, 0); }));
    EXPECT_EQ(0xABCDu, cAlgorithms);
    EXPECT_EQ(reinterpret_cast<NCryptAlgorithmName *>(0x77), pList);

    for (LPCWSTR pszProperty : {TEXT("Impl Type"), TEXT("Version"), TEXT("Max Name Length"), TEXT("Other")}) {
        BYTE rgb[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        DWORD cbResult = 0xABCD;
        EXPECT_STATUS(NTE_NOT_SUPPORTED,
                      StatusOf([&] { pProvider->GetProviderProperty(pszProperty, rgb, 4, &cbResult, 0); }));
        EXPECT_EQ(0xABCDu, cbResult);
        EXPECT_EQ(std::vector<BYTE>(4, 0xEE), std::vector<BYTE>(rgb, rgb + 4));
    }
    EXPECT_STATUS(NTE_NOT_SUPPORTED,
                  StatusOf([&] { pProvider->GetProviderProperty(nullptr, nullptr, 0, nullptr, 0); }));
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPIProviderContext, RefusesAlgorithmsAndPropertiesThroughTheEntries)
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, unit::kDogwood, 0));
    DWORD cAlgorithms = 0xABCD;
    EXPECT_STATUS(NTE_NOT_SUPPORTED,
                  KspEnumAlgorithms(hProvider, NCRYPT_SIGNATURE_OPERATION, &cAlgorithms, nullptr, 0));
    EXPECT_EQ(0xABCDu, cAlgorithms);
    DWORD cbResult = 0xABCD;
    BYTE rgb[4] = {};
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspGetProviderProperty(hProvider, TEXT("Version"), rgb, 4, &cbResult, 0));
    EXPECT_EQ(0xABCDu, cbResult);
}

TEST_F(KspCAPIProviderContext, OpenKeyChecksKeySpecThenNameBeforeAnything)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    AddKeyPair(kAlder, kContainer, AT_SIGNATURE, unit::KeyOfBits(1024, 1));
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    const struct {
        LPCWSTR pszName;
        DWORD dwKeySpec;
    } rgCases[] = {
        {kContainer, 0},           {kContainer, 3},         {kContainer, 4}, {kContainer, 0xFFFFFFFF},
        {nullptr, AT_KEYEXCHANGE}, {nullptr, AT_SIGNATURE}, {nullptr, 3},    {nullptr, 0},
    };
    for (const auto &c : rgCases) {
        QvnPlatformClearCallLog();
        LONG lStatus = 0;
        const unit::Footprint footprint = unit::MeasureModuleMemory(
            [&] { lStatus = StatusOf([&] { pProvider->OpenKey(c.pszName, c.dwKeySpec, 0); }); });
        EXPECT_STATUS(NTE_INVALID_PARAMETER, lStatus) << "key spec " << c.dwKeySpec;
        EXPECT_EQ(0u, footprint.cMallocs) << "nothing was made";
        EXPECT_EQ(0u, QvnPlatformGetCallCount());
    }
    EXPECT_TRUE(unit::KeysOf(*pProvider).empty());
}

TEST_F(KspCAPIProviderContext, OpenKeyEntersTheKeyObjectUnderItsOwnHandle)
{
    MakeContainer(unit::kCedar, kContainer, AT_SIGNATURE, unit::KeyOfBits(1024));
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(unit::kCedar);
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { hKey = pProvider->OpenKey(kContainer, AT_SIGNATURE, NCRYPT_SILENT_FLAG); }));
    ASSERT_EQ(1u, unit::KeysOf(*pProvider).count(hKey));
    CKspCapiKeyContext *pKey = dynamic_cast<CKspCapiKeyContext *>(unit::KeysOf(*pProvider)[hKey]);
    ASSERT_NE(nullptr, pKey);
    EXPECT_EQ(reinterpret_cast<NCRYPT_KEY_HANDLE>(pKey), hKey);
    EXPECT_EQ(KSP_WSTRING(kContainer), pKey->GetKeyName());
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), pKey->GetKeySpec());
    EXPECT_TRUE(pKey->IsSilent());
    EXPECT_NE(VerifyContextOf(*pProvider), unit::KeyContextOf(*pKey)) << "the key has a context of its own";
}

TEST_F(KspCAPIProviderContext, FailedOpenKeyLeavesNothingAndTheProviderStillOpensKeys)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    const unit::LiveHandles before = unit::LiveNow();

    const struct {
        const char *pszWhat;
        LPCWSTR pszName;
        DWORD dwKeySpec;
        DWORD dwFlags;
        const char *pszFailCall;
        DWORD dwError;
        LONG lStatus;
    } rgCases[] = {
        {"missing container", TEXT("absent"), AT_KEYEXCHANGE, 0, nullptr, 0, NTE_BAD_KEYSET},
        {"no signature pair", kContainer, AT_SIGNATURE, 0, nullptr, 0, NTE_BAD_KEYSET},
        {"bad flags", kContainer, AT_KEYEXCHANGE, 0x80, nullptr, 0, NTE_BAD_FLAGS},
        {"keyset not defined", kContainer, AT_KEYEXCHANGE, 0, "CryptAcquireContextW",
         static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET},
        {"silent context", kContainer, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG, "CryptAcquireContextW",
         static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {"user key fails", kContainer, AT_KEYEXCHANGE, 0, "CryptGetUserKey", static_cast<DWORD>(NTE_FAIL), NTE_FAIL},
    };
    for (const auto &c : rgCases) {
        if (c.pszFailCall != nullptr) {
            QvnPlatformFailCall(c.pszFailCall, 1, c.dwError);
        }
        LONG lStatus = 0;
        const unit::Footprint footprint = unit::MeasureModuleMemory(
            [&] { lStatus = StatusOf([&] { pProvider->OpenKey(c.pszName, c.dwKeySpec, c.dwFlags); }); });
        EXPECT_STATUS(c.lStatus, lStatus) << c.pszWhat;
        EXPECT_TRUE(unit::KeysOf(*pProvider).empty()) << c.pszWhat;
        EXPECT_EQ(before, unit::LiveNow()) << c.pszWhat;
        EXPECT_TRUE(unit::LeftNothing(footprint, false)) << c.pszWhat;
    }
    EXPECT_EQ(before, unit::LiveNow());
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { hKey = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
    EXPECT_NE(0u, hKey);
}

TEST_F(KspCAPIProviderContext, OpenKeyWithoutMemoryLeavesNothing)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    const unit::LiveHandles before = unit::LiveNow();

    DWORD cFailures = 0;
    for (DWORD nthMalloc = 1; nthMalloc < 50; ++nthMalloc) {
        LONG lStatus = 0;
        NCRYPT_KEY_HANDLE hKey = 0;
        const unit::Footprint footprint = unit::MeasureModuleMemory(
            [&] { lStatus = StatusOf([&] { hKey = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }); }, nthMalloc);
        if (lStatus == 0) {
            EXPECT_STATUS(0, StatusOf([&] { pProvider->FreeKey(hKey); }));
            break;
        }
        ++cFailures;
        EXPECT_STATUS(NTE_NO_MEMORY, lStatus) << "malloc #" << nthMalloc;
        EXPECT_TRUE(unit::KeysOf(*pProvider).empty());
        EXPECT_EQ(before, unit::LiveNow()) << "malloc #" << nthMalloc;
        EXPECT_TRUE(unit::LeftNothing(footprint, true)) << "malloc #" << nthMalloc;
    }
    // The name, the key object and the map node at least.
    EXPECT_GE(cFailures, 3u);
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPIProviderContext, SameNameTwiceGivesTwoIndependentKeys)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    std::unique_ptr<CKspCapiProviderContext> pProvider = OpenedProvider(kAlder);
    NCRYPT_KEY_HANDLE hFirst = 0;
    NCRYPT_KEY_HANDLE hSecond = 0;
    QvnPlatformClearCallLog();
    EXPECT_STATUS(0, StatusOf([&] { hFirst = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
    EXPECT_STATUS(0, StatusOf([&] { hSecond = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
    EXPECT_NE(hFirst, hSecond);
    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptAcquireContextW")) << "each key acquires its own context";

    EXPECT_STATUS(0, StatusOf([&] { pProvider->FreeKey(hFirst); }));
    DWORD cbKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { cbKey = pProvider->GetKey(hSecond)->GetKeyByteLength(); }));
    EXPECT_EQ(128u, cbKey);
}

TEST_F(KspCAPIProviderContext, FreeProviderWithOpenKeysEndsThem)
{
    MakeContainer(unit::kBirch, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    const unit::LiveHandles before = unit::LiveNow();
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE rghKeys[3] = {};
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, unit::kBirch, 0));
    for (NCRYPT_KEY_HANDLE &hKey : rghKeys) {
        ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    }
    EXPECT_STATUS(0, KspFreeProvider(hProvider));
    EXPECT_EQ(before, unit::LiveNow());
    for (NCRYPT_KEY_HANDLE hKey : rghKeys) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeKey(hProvider, hKey));
    }
}

TEST_F(KspCAPIProviderContext, OpeningAnOpenProviderIsReported)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    CKspCapiProviderContext provider{KSP_WSTRING(kAlder)};
    VerifyContextOf(provider) = 1; // a context already recorded; Open overwrites it
    EXPECT_STATUS(0, StatusOf([&] { provider.Open(0); }));
    EXPECT_EQ(1u, QvnPlatformAssertCount());
    WCHAR szMessage[64] = {};
    WCHAR szFile[64] = {};
    DWORD dwLine = 0;
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine));
    EXPECT_EQ(u"m_hCapiProvider == NULL", std::u16string(szMessage));
    EXPECT_EQ(u"KspCAPIProviderContext", std::u16string(szFile));
    EXPECT_NE(0u, dwLine);
}

} // namespace
