// GetKeyStorageInterface, the function table it hands out, the sixteen
// not-supported slots, the accepted provider names and the version gate.
#include "PrivateAccess.h"
#include "UnitTestSupport.h"

#include "ksp/KspInterface.h"
#include "ksp/KspProviderNames.h"

#include <atomic>
#include <cstring>
#include <thread>

extern "C" NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                                  NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable, DWORD dwFlags);

namespace
{

using unit::kAlder;
using unit::kBirch;
using unit::kCedar;
using unit::kDogwood;
using unit::kKspName;

NCRYPT_KEY_STORAGE_FUNCTION_TABLE *const kUntouched = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(0x5EED);

class KspInterface : public unit::ModuleTest
{
};

TEST_F(KspInterface, EveryAcceptedNameGetsTheSameTable)
{
    for (LPCWSTR pszName : {kKspName, kAlder, kBirch, kCedar, kDogwood}) {
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;
        EXPECT_STATUS(STATUS_SUCCESS, GetKeyStorageInterface(pszName, &pTable, 0)) << unit::Narrow(pszName);
        EXPECT_EQ(&g_KspFunctionTable, pTable) << unit::Narrow(pszName);
    }
}

TEST_F(KspInterface, RefusesEveryOtherNameAndWritesNothing)
{
    const LPCWSTR rgpszRefused[] = {
        TEXT("quorvane tpm key storage provider"),
        TEXT("QUORVANE TPM KEY STORAGE PROVIDER"),
        TEXT("Quorvane TPM Key Storage Provider "),
        TEXT(" Quorvane TPM Key Storage Provider"),
        TEXT("Quorvane TPM Key Storage ProviderX"),
        TEXT("Quorvane TPM Key Storage Provide"),
        TEXT("Quorvane alder Cryptographic Provider"),
        TEXT("Quorvane Dogwood Cryptographic Provider "),
        TEXT("Quorvane Elm Cryptographic Provider"),
        TEXT("Microsoft Software Key Storage Provider"),
        TEXT(""),
    };
    for (LPCWSTR pszName : rgpszRefused) {
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(pszName, &pTable, 0)) << unit::Narrow(pszName);
        EXPECT_EQ(kUntouched, pTable) << unit::Narrow(pszName);
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(nullptr, &pTable, 0));
    EXPECT_EQ(kUntouched, pTable);
}

TEST_F(KspInterface, ChecksNameThenVersionThenTableThenFlags)
{
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;

    QvnPlatformSetWindowsVersion(5, 1);
    // The name comes first: an unknown name on an old system is a bad name.
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(TEXT("Unknown"), &pTable, 0));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(nullptr, nullptr, 1));
    // Then the version, before the out-parameter and the flags.
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, GetKeyStorageInterface(kKspName, &pTable, 0));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, GetKeyStorageInterface(kAlder, nullptr, 0));
    EXPECT_STATUS(STATUS_NOT_SUPPORTED, GetKeyStorageInterface(kDogwood, nullptr, 1));
    EXPECT_EQ(kUntouched, pTable);

    QvnPlatformSetWindowsVersion(10, 0);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(kKspName, nullptr, 0));
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(kKspName, nullptr, 1));
    for (DWORD dwFlags : {0x1u, 0x40u, 0x80000000u}) {
        EXPECT_STATUS(STATUS_INVALID_PARAMETER, GetKeyStorageInterface(kCedar, &pTable, dwFlags)) << dwFlags;
        EXPECT_EQ(kUntouched, pTable);
    }
}

TEST_F(KspInterface, VersionGateOpensAtSixZero)
{
    struct Case {
        DWORD dwMajor;
        DWORD dwMinor;
        bool fSupported;
    } const rgCases[] = {
        {5, 0, false}, {5, 1, false}, {5, 2, false}, {6, 0, true}, {6, 1, true}, {6, 3, true}, {10, 0, true},
    };
    for (const Case &c : rgCases) {
        QvnPlatformSetWindowsVersion(c.dwMajor, c.dwMinor);
        EXPECT_EQ(c.fSupported, IsSupportedOsVersion()) << c.dwMajor << "." << c.dwMinor;
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;
        EXPECT_STATUS(c.fSupported ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED, GetKeyStorageInterface(kBirch, &pTable, 0))
            << c.dwMajor << "." << c.dwMinor;
        EXPECT_EQ(c.fSupported ? &g_KspFunctionTable : kUntouched, pTable);
    }
}

TEST_F(KspInterface, AllocationFailureWhileCopyingTheNameIsUnsuccessful)
{
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = kUntouched;
    NTSTATUS status = 0;
    {
        unit::ScopedMallocFailure failure(1);
        status = GetKeyStorageInterface(kKspName, &pTable, 0);
    }
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(kUntouched, pTable);
}

TEST_F(KspInterface, TakesNoLockAndCreatesNoManager)
{
    // Another thread holds the entry lock for the whole call: were it taken
    // here, the call would never return.
    std::atomic<int> stage{0};
    std::thread holder([&] {
        CTSSyncLock slock(&g_csKsp, TRUE);
        stage = 1;
        while (stage.load() < 2) {
            std::this_thread::yield();
        }
    });
    while (stage.load() < 1) {
        std::this_thread::yield();
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    const NTSTATUS status = GetKeyStorageInterface(kKspName, &pTable, 0);
    const SECURITY_STATUS statusStub = pTable != nullptr ? pTable->FreeBuffer(nullptr) : 0;
    stage = 2;
    holder.join();

    EXPECT_STATUS(STATUS_SUCCESS, status);
    EXPECT_STATUS(NTE_NOT_SUPPORTED, statusStub);
    EXPECT_EQ(nullptr, unit::ManagerInstance());
}

TEST_F(KspInterface, TableVersionIsOneZero)
{
    EXPECT_EQ(1, g_KspFunctionTable.Version.MajorVersion);
    EXPECT_EQ(0, g_KspFunctionTable.Version.MinorVersion);
    uint32_t dwVersionWord = 0;
    std::memcpy(&dwVersionWord, &g_KspFunctionTable, sizeof(dwVersionWord));
    EXPECT_EQ(1u, dwVersionWord);
    EXPECT_EQ(sizeof(void *) == 4 ? 108u : 216u, sizeof(g_KspFunctionTable));
}

TEST_F(KspInterface, ImplementedSlotsHoldTheEntries)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = g_KspFunctionTable;
    EXPECT_EQ(&KspOpenProvider, table.OpenProvider);
    EXPECT_EQ(&KspOpenKey, table.OpenKey);
    EXPECT_EQ(&KspGetProviderProperty, table.GetProviderProperty);
    EXPECT_EQ(&KspFreeProvider, table.FreeProvider);
    EXPECT_EQ(&KspFreeKey, table.FreeKey);
    EXPECT_EQ(&KspEncrypt, table.Encrypt);
    EXPECT_EQ(&KspDecrypt, table.Decrypt);
    EXPECT_EQ(&KspEnumAlgorithms, table.EnumAlgorithms);
    EXPECT_EQ(&KspSignHash, table.SignHash);
    EXPECT_EQ(&KspVerifySignature, table.VerifySignature);

    // And they behave as entries: an unknown provider handle is an invalid
    // handle, where a stub would answer NTE_NOT_SUPPORTED.
    const NCRYPT_PROV_HANDLE hBogus = 0x4242;
    DWORD cb = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    BYTE rgb[8] = {};
    EXPECT_STATUS(NTE_INVALID_PARAMETER, table.OpenProvider(nullptr, kKspName, 0));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.OpenKey(hBogus, &hKey, TEXT("k"), AT_KEYEXCHANGE, 0));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.GetProviderProperty(hBogus, TEXT("Version"), rgb, 8, &cb, 0));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.FreeProvider(hBogus));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.FreeKey(hBogus, 1));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.Encrypt(hBogus, 1, rgb, 1, nullptr, rgb, 8, &cb, 2));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.Decrypt(hBogus, 1, rgb, 8, nullptr, rgb, 8, &cb, 2));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.EnumAlgorithms(hBogus, 0, &cb, nullptr, 0));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.SignHash(hBogus, 1, nullptr, rgb, 8, rgb, 8, &cb, 2));
    EXPECT_STATUS(NTE_INVALID_HANDLE, table.VerifySignature(hBogus, 1, nullptr, rgb, 8, rgb, 8, 2));
}

// Every stub is called with arguments that would be written or read by an
// implementation: a provider handle that was never opened, out-parameters
// holding sentinels, and garbage flags.
TEST_F(KspInterface, StubsAnswerNotSupportedAndTouchNothing)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = g_KspFunctionTable;
    const NCRYPT_PROV_HANDLE hProv = 0xBAD0;
    const NCRYPT_KEY_HANDLE hKey = 0xBAD4;
    NCRYPT_KEY_HANDLE hOutKey = 0x1111;
    DWORD cbResult = 0x2222;
    BYTE rgb[16];
    std::memset(rgb, 0xCC, sizeof(rgb));
    NCryptKeyName *pKeyName = reinterpret_cast<NCryptKeyName *>(0x3333);
    PVOID pvEnumState = reinterpret_cast<PVOID>(0x4444);
    HANDLE hEvent = reinterpret_cast<HANDLE>(0x5555);
    NCRYPT_SECRET_HANDLE hSecret = 0x6666;

    QvnPlatformResetModuleCounters();
    SetLastError(0x0BADF00D);
    const SECURITY_STATUS rgStatus[] = {
        table.CreatePersistedKey(hProv, &hOutKey, TEXT("RSA"), TEXT("k"), AT_KEYEXCHANGE, 0xFFFFFFFF),
        table.GetKeyProperty(hProv, hKey, TEXT("Length"), rgb, sizeof(rgb), &cbResult, 0),
        table.SetProviderProperty(hProv, TEXT("Version"), rgb, sizeof(rgb), 0),
        table.SetKeyProperty(hProv, hKey, TEXT("Length"), rgb, sizeof(rgb), 0),
        table.FinalizeKey(hProv, hKey, 0),
        table.DeleteKey(hProv, hKey, 0),
        table.FreeBuffer(nullptr),
        table.FreeBuffer(rgb),
        table.IsAlgSupported(hProv, TEXT("RSA"), 0),
        table.EnumKeys(hProv, nullptr, &pKeyName, &pvEnumState, 0),
        table.ImportKey(hProv, 0, TEXT("RSAPRIVATEBLOB"), nullptr, &hOutKey, rgb, sizeof(rgb), 0),
        table.ExportKey(hProv, hKey, 0, TEXT("RSAPUBLICBLOB"), nullptr, rgb, sizeof(rgb), &cbResult, 0),
        table.PromptUser(hProv, hKey, TEXT("op"), 0),
        table.NotifyChangeKey(hProv, &hEvent, 0),
        table.SecretAgreement(hProv, hKey, hKey, &hSecret, 0),
        table.DeriveKey(hProv, hSecret, TEXT("HASH"), nullptr, rgb, sizeof(rgb), &cbResult, 0),
        table.FreeSecret(hProv, hSecret),
    };
    const DWORD dwLastError = GetLastError();
    const DWORD cMallocs = QvnPlatformModuleMallocCount();

    for (size_t i = 0; i < sizeof(rgStatus) / sizeof(rgStatus[0]); ++i) {
        EXPECT_STATUS(NTE_NOT_SUPPORTED, rgStatus[i]) << "stub call #" << i;
    }
    EXPECT_EQ(0x0BADF00Du, dwLastError);
    EXPECT_EQ(0u, cMallocs);
    EXPECT_EQ(nullptr, unit::ManagerInstance()) << "stubs do not create the manager";
    EXPECT_EQ(0x1111u, hOutKey);
    EXPECT_EQ(0x2222u, cbResult);
    for (BYTE b : rgb) {
        EXPECT_EQ(0xCC, b);
    }
    EXPECT_EQ(reinterpret_cast<NCryptKeyName *>(0x3333), pKeyName);
    EXPECT_EQ(reinterpret_cast<PVOID>(0x4444), pvEnumState);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x5555), hEvent);
    EXPECT_EQ(0x6666u, hSecret);
}

TEST_F(KspInterface, CapiProviderNamesAreExactlyTheFourInOrder)
{
    EXPECT_EQ(KSP_WSTRING(kAlder), g_CapiProviderNames[0]);
    EXPECT_EQ(KSP_WSTRING(kBirch), g_CapiProviderNames[1]);
    EXPECT_EQ(KSP_WSTRING(kCedar), g_CapiProviderNames[2]);
    EXPECT_EQ(KSP_WSTRING(kDogwood), g_CapiProviderNames[3]);

    struct Case {
        LPCWSTR pszName;
        bool fCapi;
    } const rgCases[] = {
        {kAlder, true},
        {kBirch, true},
        {kCedar, true},
        {kDogwood, true},
        {kKspName, false},
        {TEXT("Quorvane birch Cryptographic Provider"), false},
        {TEXT("Quorvane Cedar Cryptographic Provider "), false},
        {TEXT("Quorvane Cedar Cryptographic"), false},
        {TEXT(""), false},
    };
    for (const Case &c : rgCases) {
        EXPECT_EQ(c.fCapi, IsCapiProviderName(KSP_WSTRING(c.pszName))) << unit::Narrow(c.pszName);
    }
}

} // namespace
