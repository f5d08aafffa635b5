// The provider object of a CAPI provider name: its CSP type, its
// verification context, the provider operations it refuses, opening keys
// (argument checks, failures that leave nothing behind) and freeing them.
#include "UnitTestSupport.h"

#include "capi/KspCAPIProviderContext.h"
#include "ksp/KspInterface.h"
#include "provider/KspProviderManager.h"

namespace unit
{
namespace
{

constexpr LPCWSTR kContainer = TEXT("unit provider key");

class KspCAPIProviderContext : public ModuleTest
{
protected:
    static std::unique_ptr<CKspCapiProviderContext> Opened(LPCWSTR pszName, DWORD dwFlags = 0)
    {
        auto pProvider = std::make_unique<CKspCapiProviderContext>(KSP_WSTRING(pszName));
        EXPECT_STATUS(0, StatusOf([&] { pProvider->Open(dwFlags); }));
        return pProvider;
    }
};

TEST_F(KspCAPIProviderContext, EachNameHasItsProviderTypeForEveryContext)
{
    // The provider's own flags never reach CryptoAPI; a key's do.
    const DWORD rgdwFlags[4] = {0, NCRYPT_SILENT_FLAG, NCRYPT_MACHINE_KEY_FLAG, 0xFFFFFFFF};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(Narrow(kCapiNames[i]));
        MakeContainer(kCapiNames[i], kContainer, AT_SIGNATURE);
        QvnPlatformClearCallLog();
        std::unique_ptr<CKspCapiProviderContext> pProvider = Opened(kCapiNames[i], rgdwFlags[i]);
        NCRYPT_KEY_HANDLE hKey = 0;
        CKspCapiKeyContext *pKey = nullptr;
        EXPECT_STATUS(0, StatusOf([&] {
                          hKey = pProvider->OpenKey(kContainer, AT_SIGNATURE, NCRYPT_SILENT_FLAG);
                          pKey = dynamic_cast<CKspCapiKeyContext *>(pProvider->GetKey(hKey));
                      }));
        const std::vector<QVN_CALL_RECORD> log = CallsOf("CryptAcquireContextW");
        ASSERT_EQ(2u, log.size());
        EXPECT_EQ(kCapiTypes[i], pProvider->GetProvType());
        for (const QVN_CALL_RECORD &record : log) {
            EXPECT_EQ(std::u16string(kCapiNames[i]), std::u16string(record.szProvider));
            EXPECT_EQ(kCapiTypes[i], record.dwProvType);
        }
        EXPECT_TRUE(log[0].fContainerNull);
        EXPECT_EQ(CRYPT_VERIFYCONTEXT, log[0].dwFlags);
        EXPECT_EQ(std::u16string(kContainer), std::u16string(log[1].szContainer));
        EXPECT_EQ(static_cast<DWORD>(NCRYPT_SILENT_FLAG), log[1].dwFlags);
        ASSERT_NE(nullptr, pKey);
        EXPECT_EQ(reinterpret_cast<NCRYPT_KEY_HANDLE>(pKey), hKey);
        EXPECT_EQ(KSP_WSTRING(kContainer), pKey->GetKeyName());
        EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), pKey->GetKeySpec());
        EXPECT_TRUE(pKey->IsSilent());
        EXPECT_NE(log[0].hHandle, HandlesOf(*pKey).hContext) << "the key has a context of its own";
    }
}

TEST_F(KspCAPIProviderContext, FailedOpenCarriesTheLastErrorAndLeavesNoHandle)
{
    CKspProviderManager::GetInstance();
    const LIVE_HANDLES before = LiveNow();
    const std::pair<DWORD, LONG> rgCases[] = {
        {static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND), NTE_PROV_DLL_NOT_FOUND},
        {static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL), NTE_PROVIDER_DLL_FAIL},
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF}, // not translated for a verification context
        {static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    for (const auto &c : rgCases) {
        NCRYPT_PROV_HANDLE hProvider = 0x5EED;
        SECURITY_STATUS status = 0;
        QvnPlatformFailCall("CryptAcquireContextW", 1, c.first);
        const Footprint footprint = MeasureModuleMemory([&] { status = KspOpenProvider(&hProvider, kBirch, 0); });
        EXPECT_STATUS(c.second, status);
        EXPECT_EQ(0x5EEDu, hProvider);
        EXPECT_EQ(before, LiveNow());
        EXPECT_GE(footprint.cMallocs, 2u) << "the object and its name were made";
        EXPECT_TRUE(footprint.Balanced()) << "and destroyed again";
    }
}

TEST_F(KspCAPIProviderContext, RefusesAlgorithmsAndPropertiesTouchingNothing)
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kDogwood, 0));
    QvnPlatformClearCallLog();
    DWORD cAlgorithms = 0xABCD;
    NCryptAlgorithmName *pList = reinterpret_cast<NCryptAlgorithmName *>(0x77);
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspEnumAlgorithms(hProvider, NCRYPT_SIGNATURE_OPERATION, &cAlgorithms, &pList, 0));
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspEnumAlgorithms(hProvider, 0, nullptr, nullptr, 0));
    EXPECT_EQ(0xABCDu, cAlgorithms);
    EXPECT_EQ(reinterpret_cast<NCryptAlgorithmName *>(0x77), pList);
    for (LPCWSTR pszProperty : {TEXT("Impl Type"), TEXT("Version"), TEXT("Max Name Length"), TEXT("Other")}) {
        Bytes buffer(4, 0xEE);
        DWORD cbResult = 0xABCD;
        EXPECT_STATUS(NTE_NOT_SUPPORTED,
                      KspGetProviderProperty(hProvider, pszProperty, buffer.data(), 4, &cbResult, 0));
        EXPECT_EQ(0xABCDu, cbResult);
        EXPECT_EQ(Bytes(4, 0xEE), buffer);
    }
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspGetProviderProperty(hProvider, nullptr, nullptr, 0, nullptr, 0));
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPIProviderContext, FailedOpenKeyLeavesNothingAndTheProviderStillOpensKeys)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE);
    std::unique_ptr<CKspCapiProviderContext> pProvider = Opened(kAlder);
    const LIVE_HANDLES before = LiveNow();
    const struct {
        LPCWSTR pszName;
        DWORD dwKeySpec, dwFlags;
        const char *pszFailCall; // "malloc": each of the first three module allocations in turn
        DWORD dwError;
        LONG lStatus;
    } rgCases[] = {
        // The key spec, then the name, before anything is made or called.
        {kContainer, 0, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {kContainer, 3, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {kContainer, 0xFFFFFFFF, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {nullptr, AT_KEYEXCHANGE, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {nullptr, AT_SIGNATURE, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {nullptr, 3, 0, nullptr, 0, NTE_INVALID_PARAMETER},
        {TEXT("absent"), AT_KEYEXCHANGE, 0, nullptr, 0, NTE_BAD_KEYSET},
        {kContainer, AT_SIGNATURE, 0, nullptr, 0, NTE_BAD_KEYSET},
        {kContainer, AT_KEYEXCHANGE, 0x80, nullptr, 0, NTE_BAD_FLAGS},
        {kContainer, AT_KEYEXCHANGE, 0, "CryptAcquireContextW", static_cast<DWORD>(NTE_BAD_KEYSET), NTE_BAD_KEYSET},
        {kContainer, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG, "CryptAcquireContextW", static_cast<DWORD>(NTE_SILENT_CONTEXT),
         NTE_UI_REQUIRED},
        {kContainer, AT_KEYEXCHANGE, 0, "CryptGetUserKey", static_cast<DWORD>(NTE_FAIL), NTE_FAIL},
        {kContainer, AT_KEYEXCHANGE, 0, "malloc", 0, NTE_NO_MEMORY},
    };
    for (const auto &c : rgCases) {
        const bool fMalloc = c.pszFailCall != nullptr && std::string(c.pszFailCall) == "malloc";
        // The name, the key object and the map node at least.
        for (DWORD nthMalloc = 1; nthMalloc <= (fMalloc ? 3u : 1u); ++nthMalloc) {
            SCOPED_TRACE(Narrow(c.pszName) + " " + std::to_string(c.dwKeySpec) + " " +
                         (c.pszFailCall ? c.pszFailCall : "") + " #" + std::to_string(nthMalloc));
            if (c.pszFailCall != nullptr && !fMalloc) {
                QvnPlatformFailCall(c.pszFailCall, 1, c.dwError);
            }
            QvnPlatformClearCallLog();
            LONG lStatus = 0;
            const Footprint footprint = MeasureModuleMemory(
                [&] { lStatus = StatusOf([&] { pProvider->OpenKey(c.pszName, c.dwKeySpec, c.dwFlags); }); },
                fMalloc ? nthMalloc : 0);
            EXPECT_STATUS(c.lStatus, lStatus);
            EXPECT_EQ(before, LiveNow());
            EXPECT_TRUE(footprint.Balanced(fMalloc));
            if (c.lStatus == NTE_INVALID_PARAMETER) {
                EXPECT_EQ(0u, footprint.cMallocs + QvnPlatformGetCallCount());
            }
        }
    }
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { hKey = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0); }));
    EXPECT_STATUS(0, StatusOf([&] { pProvider->GetKey(hKey); }));
}

TEST_F(KspCAPIProviderContext, KeysAreIndependentAndFreeingReleasesEachHandleOnceInOrder)
{
    MakeContainer(kBirch, kContainer, AT_KEYEXCHANGE);
    const LIVE_HANDLES before = LiveNow();
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE rghKeys[2] = {};
    QvnPlatformClearCallLog();
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kBirch, 0));
    const ULONG_PTR hVerifyContext = CallsOf().at(0).hHandle;
    CapiHandles rgHandles[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_STATUS(0, KspOpenKey(hProvider, &rghKeys[i], kContainer, AT_KEYEXCHANGE, 0));
        rgHandles[i] = HandlesOf(*static_cast<CKspCapiKeyContext *>(
            CKspProviderManager::GetInstance()->GetProvider(hProvider)->GetKey(rghKeys[i])));
    }
    EXPECT_NE(rghKeys[0], rghKeys[1]);
    EXPECT_NE(rgHandles[0].hContext, rgHandles[1].hContext) << "each key acquires its own context";

    EXPECT_STATUS(0, KspFreeKey(hProvider, rghKeys[0]));
    EXPECT_EQ((CALL_HANDLES{{"CryptDestroyKey", rgHandles[0].hKey}, {"CryptReleaseContext", rgHandles[0].hContext}}),
              CallHandles());
    DWORD cbCiphertext = 0;
    BYTE rgbPlain[4] = {};
    EXPECT_STATUS(
        0, KspEncrypt(hProvider, rghKeys[1], rgbPlain, 4, nullptr, nullptr, 0, &cbCiphertext, NCRYPT_PAD_PKCS1_FLAG))
        << "the other key stays usable";
    EXPECT_EQ(128u, cbCiphertext);
    QvnPlatformClearCallLog();
    EXPECT_STATUS(0, KspFreeProvider(hProvider));
    // The provider's own context first, then each key before its context, each once.
    EXPECT_EQ((CALL_HANDLES{{"CryptReleaseContext", hVerifyContext},
                            {"CryptDestroyKey", rgHandles[1].hKey},
                            {"CryptReleaseContext", rgHandles[1].hContext}}),
              CallHandles());
    EXPECT_EQ(before, LiveNow());
    for (NCRYPT_KEY_HANDLE hKey : rghKeys) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeKey(hProvider, hKey));
    }
}

} // namespace
} // namespace unit
