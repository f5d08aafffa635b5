// The provider manager: opening providers by name, the provider handle
// rules, and the teardown at process detach.
#include "UnitTestSupport.h"

#include "capi/KspCAPIProviderContext.h"
#include "ksp/KspInterface.h"
#include "provider/KspProviderContext.h"
#include "provider/KspProviderManager.h"

#include <map>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

namespace unit
{
namespace
{

constexpr LPCWSTR kContainer = TEXT("unit manager key");

class KspProviderManager : public ModuleTest
{
protected:
    static CKspProviderManager &Manager() { return *CKspProviderManager::GetInstance(); }
    static NCRYPT_PROV_HANDLE Open(LPCWSTR pszName)
    {
        NCRYPT_PROV_HANDLE hProvider = 0;
        EXPECT_STATUS(0, StatusOf([&] { hProvider = Manager().OpenProvider(pszName, 0); })) << Narrow(pszName);
        return hProvider;
    }
    static LONG Get(NCRYPT_PROV_HANDLE hProvider, CKspBaseProviderContext **ppProvider = nullptr)
    {
        return StatusOf([&] {
            CKspBaseProviderContext *pProvider = Manager().GetProvider(hProvider);
            if (ppProvider != nullptr) {
                *ppProvider = pProvider;
            }
        });
    }
};

TEST_F(KspProviderManager, NameChoosesTheKindOfObjectAndEachOpenMakesAnIndependentOne)
{
    for (LPCWSTR pszName : {kKspName, kAlder, kBirch, kCedar, kDogwood}) {
        const NCRYPT_PROV_HANDLE hProvider = Open(pszName), hSecond = Open(pszName);
        CKspBaseProviderContext *pProvider = nullptr;
        ASSERT_STATUS(0, Get(hProvider, &pProvider));
        EXPECT_EQ(reinterpret_cast<NCRYPT_PROV_HANDLE>(pProvider), hProvider);
        EXPECT_EQ(hProvider, pProvider->GetHandle());
        EXPECT_EQ(pszName == kKspName, dynamic_cast<CKspProviderContext *>(pProvider) != nullptr);
        EXPECT_EQ(pszName != kKspName, dynamic_cast<CKspCapiProviderContext *>(pProvider) != nullptr);
        EXPECT_NE(hProvider, hSecond);
        EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hProvider); }));
        EXPECT_STATUS(NTE_INVALID_HANDLE, Get(hProvider));
        EXPECT_STATUS(0, Get(hSecond)) << "the other one stays";
    }
}

TEST_F(KspProviderManager, RefusedNamesCreateNothing)
{
    CKspProviderManager &manager = Manager();
    for (LPCWSTR pszName :
         {static_cast<LPCWSTR>(nullptr), TEXT(""), TEXT("quorvane tpm key storage provider"),
          TEXT("Quorvane TPM Key Storage Provider "), TEXT("Quorvane ALDER Cryptographic Provider"),
          TEXT("Quorvane Alder Cryptographic Provider\t"), TEXT("Quorvane Elm Cryptographic Provider"),
          TEXT("Microsoft Software Key Storage Provider")}) {
        LONG lStatus = 0;
        const Footprint footprint =
            MeasureModuleMemory([&] { lStatus = StatusOf([&] { manager.OpenProvider(pszName, 0); }); });
        EXPECT_STATUS(NTE_INVALID_PARAMETER, lStatus) << Narrow(pszName);
        EXPECT_TRUE(footprint.Balanced()) << Narrow(pszName);
    }
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspProviderManager, HandlesNotInTheMapAreInvalidAndNeverDereferenced)
{
    const NCRYPT_PROV_HANDLE hLive = Open(kKspName), hFreed = Open(kAlder);
    EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hFreed); }));
    // The freed handle points at released memory: AddressSanitizer stops a dereference.
    for (NCRYPT_PROV_HANDLE hBad :
         {hFreed, NCRYPT_PROV_HANDLE(0), NCRYPT_PROV_HANDLE(1), NCRYPT_PROV_HANDLE(0xDEADBEEF), ~NCRYPT_PROV_HANDLE(0),
          hLive + 1, hLive - 1, hLive + sizeof(void *)}) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, Get(hBad)) << hBad;
        EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().FreeProvider(hBad); })) << hBad;
    }
    EXPECT_STATUS(0, Get(hLive));
}

TEST_F(KspProviderManager, OpenWithoutMemoryLeavesNothing)
{
    CKspProviderManager &manager = Manager();
    const LIVE_HANDLES before = LiveNow();
    for (LPCWSTR pszName : {kKspName, kAlder}) {
        DWORD nthMalloc = 1;
        for (LONG lStatus = NTE_NO_MEMORY; lStatus == NTE_NO_MEMORY; ++nthMalloc) {
            NCRYPT_PROV_HANDLE hProvider = 0;
            const Footprint footprint = MeasureModuleMemory(
                [&] { lStatus = StatusOf([&] { hProvider = manager.OpenProvider(pszName, 0); }); }, nthMalloc);
            if (lStatus == 0) {
                EXPECT_STATUS(0, StatusOf([&] { manager.FreeProvider(hProvider); }));
            } else {
                EXPECT_STATUS(NTE_NO_MEMORY, lStatus) << nthMalloc;
                EXPECT_TRUE(footprint.Balanced(true)) << nthMalloc;
            }
            EXPECT_EQ(before, LiveNow());
        }
        // The name, the object, its copy of the name and the map node at least.
        EXPECT_GE(nthMalloc, 6u) << Narrow(pszName);
    }
}

TEST_F(KspProviderManager, DestroyInstanceTearsDownEverythingInAscendingOrder)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE);
    MakeContainer(kBirch, kContainer, AT_KEYEXCHANGE);
    // Each CAPI provider releases its own context, then its keys go in
    // ascending handle order, each key destroyed before its context.
    std::map<NCRYPT_PROV_HANDLE, CALL_HANDLES> releasesByProvider;
    for (LPCWSTR pszName : {kAlder, kBirch, kAlder, kKspName}) {
        QvnPlatformClearCallLog();
        const NCRYPT_PROV_HANDLE hProvider = Open(pszName);
        CALL_HANDLES &releases = releasesByProvider[hProvider];
        if (pszName == kKspName) {
            continue;
        }
        releases.push_back({"CryptReleaseContext", CallsOf().at(0).hHandle});
        std::map<NCRYPT_KEY_HANDLE, CapiHandles> keys;
        for (int i = 0; i < 3; ++i) {
            CKspBaseProviderContext *pProvider = Manager().GetProvider(hProvider);
            const NCRYPT_KEY_HANDLE hKey = pProvider->OpenKey(kContainer, AT_KEYEXCHANGE, 0);
            keys[hKey] = HandlesOf(*static_cast<CKspCapiKeyContext *>(pProvider->GetKey(hKey)));
        }
        for (const auto &key : keys) {
            releases.insert(releases.end(),
                            {{"CryptDestroyKey", key.second.hKey}, {"CryptReleaseContext", key.second.hContext}});
        }
    }
    CALL_HANDLES expected;
    for (const auto &entry : releasesByProvider) {
        expected.insert(expected.end(), entry.second.begin(), entry.second.end());
    }
    QvnPlatformClearCallLog();
    CKspProviderManager::DestroyInstance();
    EXPECT_EQ(expected, CallHandles());
    EXPECT_EQ(LIVE_HANDLES(0, 0, 0), LiveNow()) << "no CryptoAPI handle is left in the process";
    for (const auto &entry : releasesByProvider) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, Get(entry.first)) << "a new, empty manager";
    }
}

TEST_F(KspProviderManager, DllMainTearsDownOnlyAtProcessDetach)
{
    MakeContainer(kCedar, kContainer, AT_KEYEXCHANGE);
    const LIVE_HANDLES before = LiveNow();
    EXPECT_EQ(0u, MeasureModuleMemory([] { EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)); }).cMallocs)
        << "nothing is made at attach";
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kCedar, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    const LIVE_HANDLES open = LiveNow();
    for (DWORD dwReason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH}) {
        EXPECT_TRUE(DllMain(nullptr, dwReason, nullptr));
        EXPECT_EQ(open, LiveNow()) << "reason " << dwReason;
    }
    // lpvReserved non-null is process termination, null is FreeLibrary: both tear down.
    for (LPVOID lpvReserved : {reinterpret_cast<LPVOID>(1), static_cast<LPVOID>(nullptr)}) {
        EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, lpvReserved));
        EXPECT_EQ(before, LiveNow());
        EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeKey(hProvider, hKey));
    }
}

} // namespace
} // namespace unit
