// The provider manager: the singleton, opening providers by name, the
// provider handle rules, freeing, and the teardown at process detach.
#include "CapiTestSupport.h"
#include "UnitFakes.h"

#include "ksp/KspInterface.h"
#include "provider/KspProviderContext.h"

#include <algorithm>
#include <map>
#include <memory>

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

namespace
{

using unit::FakeProvider;
using unit::Journal;
using unit::ManagerInstance;
using unit::ProvidersOf;
using unit::StatusOf;

constexpr LPCWSTR kContainer = TEXT("unit manager key");

class KspProviderManager : public unit::CapiTest
{
protected:
    CKspProviderManager &Manager() { return *CKspProviderManager::GetInstance(); }

    NCRYPT_PROV_HANDLE Open(LPCWSTR pszName)
    {
        NCRYPT_PROV_HANDLE hProvider = 0;
        EXPECT_STATUS(0, StatusOf([&] { hProvider = Manager().OpenProvider(pszName, 0); })) << unit::Narrow(pszName);
        return hProvider;
    }
};

TEST_F(KspProviderManager, InstanceIsCreatedOnceOnFirstUse)
{
    ASSERT_EQ(nullptr, ManagerInstance());
    CKspProviderManager *pFirst = CKspProviderManager::GetInstance();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_EQ(pFirst, ManagerInstance());
    EXPECT_EQ(pFirst, CKspProviderManager::GetInstance());
    EXPECT_TRUE(ProvidersOf(*pFirst).empty());
}

TEST_F(KspProviderManager, InstanceWithoutMemoryStaysAbsentAndIsTriedAgain)
{
    LONG lStatus = 0;
    {
        unit::ScopedMallocFailure failure(1);
        lStatus = StatusOf([] { CKspProviderManager::GetInstance(); });
    }
    EXPECT_STATUS(NTE_NO_MEMORY, lStatus);
    EXPECT_EQ(nullptr, ManagerInstance());
    EXPECT_NE(nullptr, CKspProviderManager::GetInstance());
}

TEST_F(KspProviderManager, NameChoosesTheKindOfProviderObject)
{
    const NCRYPT_PROV_HANDLE hKsp = Open(unit::kKspName);
    CKspBaseProviderContext *pKsp = nullptr;
    EXPECT_STATUS(0, StatusOf([&] { pKsp = Manager().GetProvider(hKsp); }));
    ASSERT_NE(nullptr, pKsp);
    EXPECT_NE(nullptr, dynamic_cast<CKspProviderContext *>(pKsp));
    EXPECT_EQ(reinterpret_cast<NCRYPT_PROV_HANDLE>(pKsp), hKsp);
    EXPECT_EQ(hKsp, pKsp->GetHandle());

    for (int i = 0; i < 4; ++i) {
        const NCRYPT_PROV_HANDLE hCapi = Open(unit::kCapiNames[i]);
        CKspBaseProviderContext *pProvider = nullptr;
        EXPECT_STATUS(0, StatusOf([&] { pProvider = Manager().GetProvider(hCapi); }));
        CKspCapiProviderContext *pCapi = dynamic_cast<CKspCapiProviderContext *>(pProvider);
        ASSERT_NE(nullptr, pCapi) << unit::Narrow(unit::kCapiNames[i]);
        EXPECT_EQ(unit::kCapiTypes[i], pCapi->GetProvType());
        EXPECT_EQ(reinterpret_cast<NCRYPT_PROV_HANDLE>(pCapi), hCapi);
        EXPECT_NE(0u, unit::VerifyContextOf(*pCapi)) << "opened at once";
    }
    EXPECT_EQ(5u, ProvidersOf(Manager()).size());
}

TEST_F(KspProviderManager, RefusedNamesCreateNothing)
{
    const LPCWSTR rgpszNames[] = {
        nullptr,
        TEXT(""),
        TEXT("quorvane tpm key storage provider"),
        TEXT("Quorvane TPM Key Storage Provider "),
        TEXT("Quorvane ALDER Cryptographic Provider"),
        TEXT("Quorvane Alder Cryptographic Provider "),
        TEXT("Quorvane Alder Cryptographic Provider\t"),
        TEXT("Microsoft Software Key Storage Provider"),
    };
    CKspProviderManager &manager = Manager();
    for (LPCWSTR pszName : rgpszNames) {
        LONG lStatus = 0;
        const unit::Footprint footprint =
            unit::MeasureModuleMemory([&] { lStatus = StatusOf([&] { manager.OpenProvider(pszName, 0); }); });
        EXPECT_STATUS(NTE_INVALID_PARAMETER, lStatus) << (pszName ? unit::Narrow(pszName) : "(null)");
        EXPECT_TRUE(unit::LeftNothing(footprint, false)) << (pszName ? unit::Narrow(pszName) : "(null)");
    }
    EXPECT_TRUE(ProvidersOf(manager).empty());
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspProviderManager, SameNameTwiceGivesTwoIndependentProviders)
{
    const NCRYPT_PROV_HANDLE hFirst = Open(unit::kAlder);
    const NCRYPT_PROV_HANDLE hSecond = Open(unit::kAlder);
    EXPECT_NE(hFirst, hSecond);
    EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hFirst); }));
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().GetProvider(hFirst); }));
    CKspBaseProviderContext *pSecond = nullptr;
    EXPECT_STATUS(0, StatusOf([&] { pSecond = Manager().GetProvider(hSecond); }));
    EXPECT_EQ(hSecond, pSecond->GetHandle());
}

TEST_F(KspProviderManager, HandlesNotInTheMapAreInvalidAndNeverDereferenced)
{
    const NCRYPT_PROV_HANDLE hLive = Open(unit::kKspName);
    const NCRYPT_PROV_HANDLE hFreed = Open(unit::kKspName);
    EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hFreed); }));

    // The freed handle points at released memory: AddressSanitizer would
    // stop a dereference.
    const NCRYPT_PROV_HANDLE rghBad[] = {
        hFreed, 0, 1, 0xDEADBEEF, ~NCRYPT_PROV_HANDLE(0), hLive + 1, hLive - 1, hLive + sizeof(void *),
    };
    for (NCRYPT_PROV_HANDLE hBad : rghBad) {
        ASSERT_NE(hLive, hBad);
        EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().GetProvider(hBad); })) << std::hex << hBad;
        EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().FreeProvider(hBad); })) << std::hex << hBad;
    }
    EXPECT_EQ(1u, ProvidersOf(Manager()).size());
    EXPECT_STATUS(0, StatusOf([&] { Manager().GetProvider(hLive); }));
}

TEST_F(KspProviderManager, FreeingTwiceIsAnInvalidHandle)
{
    const NCRYPT_PROV_HANDLE hProvider = Open(unit::kCedar);
    EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hProvider); }));
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().FreeProvider(hProvider); }));
}

TEST_F(KspProviderManager, NullEntryIsAnInternalErrorAndStays)
{
    ProvidersOf(Manager())[0x4440] = nullptr;
    EXPECT_STATUS(NTE_INTERNAL_ERROR, StatusOf([&] { Manager().GetProvider(0x4440); }));
    EXPECT_STATUS(NTE_INTERNAL_ERROR, StatusOf([&] { Manager().FreeProvider(0x4440); }));
    EXPECT_EQ(1u, ProvidersOf(Manager()).count(0x4440));
    ProvidersOf(Manager()).erase(0x4440);
}

TEST_F(KspProviderManager, FreeProviderErasesClosesThenDestroysWithItsKeys)
{
    Journal journal;
    FakeProvider *pProvider = new FakeProvider(&journal);
    const NCRYPT_PROV_HANDLE hProvider = pProvider->GetHandle();
    ProvidersOf(Manager())[hProvider] = pProvider;
    const NCRYPT_KEY_HANDLE hKey = pProvider->AddKey(new unit::FakeKey(&journal));

    EXPECT_STATUS(0, StatusOf([&] { Manager().FreeProvider(hProvider); }));
    EXPECT_EQ((Journal{{"provider closed", hProvider}, {"provider destroyed", hProvider}, {"key destroyed", hKey}}),
              journal);
    EXPECT_TRUE(ProvidersOf(Manager()).empty());
}

TEST_F(KspProviderManager, FailedOpenDestroysTheNewObject)
{
    CKspProviderManager &manager = Manager();
    const unit::LiveHandles before = unit::LiveNow();
    QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
    LONG lStatus = 0;
    const unit::Footprint footprint =
        unit::MeasureModuleMemory([&] { lStatus = StatusOf([&] { manager.OpenProvider(unit::kDogwood, 0); }); });
    EXPECT_STATUS(NTE_PROVIDER_DLL_FAIL, lStatus);
    EXPECT_TRUE(ProvidersOf(manager).empty());
    EXPECT_EQ(before, unit::LiveNow());
    EXPECT_GE(footprint.cMallocs, 2u) << "the object and its name were made";
    EXPECT_TRUE(unit::LeftNothing(footprint, false)) << "and destroyed again";
}

TEST_F(KspProviderManager, OpenWithoutMemoryLeavesNothing)
{
    CKspProviderManager &manager = Manager();
    for (LPCWSTR pszName : {unit::kKspName, unit::kAlder}) {
        const unit::LiveHandles before = unit::LiveNow();
        DWORD cFailures = 0;
        for (DWORD nthMalloc = 1; nthMalloc < 50; ++nthMalloc) {
            LONG lStatus = 0;
            NCRYPT_PROV_HANDLE hProvider = 0;
            const unit::Footprint footprint = unit::MeasureModuleMemory(
                [&] { lStatus = StatusOf([&] { hProvider = manager.OpenProvider(pszName, 0); }); }, nthMalloc);
            if (lStatus == 0) {
                EXPECT_STATUS(0, StatusOf([&] { manager.FreeProvider(hProvider); }));
                break;
            }
            ++cFailures;
            EXPECT_STATUS(NTE_NO_MEMORY, lStatus) << unit::Narrow(pszName) << " malloc #" << nthMalloc;
            EXPECT_TRUE(ProvidersOf(manager).empty());
            EXPECT_EQ(before, unit::LiveNow()) << "malloc #" << nthMalloc;
            EXPECT_TRUE(unit::LeftNothing(footprint, true)) << "malloc #" << nthMalloc;
        }
        // The name, the object, its copy of the name and the map node at least.
        EXPECT_GE(cFailures, 4u) << unit::Narrow(pszName);
        EXPECT_EQ(before, unit::LiveNow());
    }
}

// Everything still open goes in ascending provider handle order; each CAPI
// provider releases its own context first, then its keys go in ascending key
// handle order, each key destroyed before its context is released.
TEST_F(KspProviderManager, DestroyInstanceTearsDownEverythingInAscendingOrder)
{
    MakeContainer(unit::kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    MakeContainer(unit::kBirch, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    const unit::LiveHandles before = unit::LiveNow();

    struct Expected {
        std::string strFunction;
        ULONG_PTR hHandle;
    };
    std::map<NCRYPT_PROV_HANDLE, std::vector<Expected>> releasesByProvider;
    for (LPCWSTR pszName : {unit::kAlder, unit::kBirch, unit::kAlder, unit::kKspName}) {
        const NCRYPT_PROV_HANDLE hProvider = Open(pszName);
        CKspBaseProviderContext *pBase = Manager().GetProvider(hProvider);
        std::vector<Expected> &releases = releasesByProvider[hProvider];
        CKspCapiProviderContext *pCapi = dynamic_cast<CKspCapiProviderContext *>(pBase);
        if (pCapi == nullptr) {
            continue;
        }
        releases.push_back({"CryptReleaseContext", unit::VerifyContextOf(*pCapi)});
        std::map<NCRYPT_KEY_HANDLE, CKspCapiKeyContext *> keys;
        for (int i = 0; i < 3; ++i) {
            const NCRYPT_KEY_HANDLE hKey = pCapi->OpenKey(kContainer, AT_KEYEXCHANGE, 0);
            keys[hKey] = static_cast<CKspCapiKeyContext *>(pCapi->GetKey(hKey));
        }
        for (const auto &entry : keys) {
            releases.push_back({"CryptDestroyKey", unit::CapiKeyOf(*entry.second)});
            releases.push_back({"CryptReleaseContext", unit::KeyContextOf(*entry.second)});
        }
    }
    std::vector<std::string> expectedNames;
    std::vector<ULONG_PTR> expectedHandles;
    for (const auto &entry : releasesByProvider) {
        for (const Expected &release : entry.second) {
            expectedNames.push_back(release.strFunction);
            expectedHandles.push_back(release.hHandle);
        }
    }

    QvnPlatformClearCallLog();
    CKspProviderManager::DestroyInstance();

    EXPECT_EQ(nullptr, ManagerInstance());
    EXPECT_EQ(expectedNames, unit::CallNames());
    std::vector<ULONG_PTR> handles;
    for (const QVN_CALL_RECORD &record : unit::CallLog()) {
        handles.push_back(record.hHandle);
    }
    EXPECT_EQ(expectedHandles, handles);
    EXPECT_EQ(before, unit::LiveNow());
    EXPECT_EQ((unit::LiveHandles{0, 0, 0}), unit::LiveNow()) << "no CryptoAPI handle is left in the process";
}

TEST_F(KspProviderManager, AfterDestroyInstanceANewEmptyManagerIsMade)
{
    const NCRYPT_PROV_HANDLE hProvider = Open(unit::kKspName);
    CKspProviderManager::DestroyInstance();
    EXPECT_EQ(nullptr, ManagerInstance());
    CKspProviderManager::DestroyInstance(); // nothing to destroy: harmless
    EXPECT_EQ(nullptr, ManagerInstance());
    EXPECT_TRUE(ProvidersOf(Manager()).empty());
    EXPECT_STATUS(NTE_INVALID_HANDLE, StatusOf([&] { Manager().GetProvider(hProvider); }));
}

TEST_F(KspProviderManager, DllMainTearsDownOnlyAtProcessDetach)
{
    MakeContainer(unit::kCedar, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    const unit::LiveHandles before = unit::LiveNow();

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(nullptr, ManagerInstance()) << "nothing is made at attach";

    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, unit::kCedar, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    CKspProviderManager *pManager = ManagerInstance();

    for (DWORD dwReason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH}) {
        EXPECT_TRUE(DllMain(nullptr, dwReason, nullptr));
        EXPECT_EQ(pManager, ManagerInstance()) << "reason " << dwReason;
    }
    EXPECT_NE(before, unit::LiveNow());

    // lpvReserved non-null is process termination, null is FreeLibrary: both tear down.
    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1)));
    EXPECT_EQ(nullptr, ManagerInstance());
    EXPECT_EQ(before, unit::LiveNow());

    EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(nullptr, ManagerInstance());
}

} // namespace
