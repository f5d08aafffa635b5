// GetKeyStorageInterface: the names it accepts, the order of its checks, the
// version gate; the function table it hands out and its not-supported slots.
#include "UnitTestSupport.h"

#include "ksp/KspInterface.h"

#include <cstring>

extern "C" NTSTATUS WINAPI GetKeyStorageInterface(LPCWSTR pszProviderName,
                                                  NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable, DWORD dwFlags);

namespace unit
{
namespace
{

using KspInterface = ModuleTest;

TEST_F(KspInterface, ChecksTheNameThenTheVersionThenTheTableThenTheFlags)
{
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *const pUntouched = reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(0x5EED);
    const struct {
        LPCWSTR pszName;
        DWORD dwMajor, dwMinor;
        bool fNullTable;
        DWORD dwFlags;
        NTSTATUS status;
    } rgCases[] = {
        {kKspName, 10, 0, false, 0, STATUS_SUCCESS},
        {kAlder, 6, 0, false, 0, STATUS_SUCCESS},
        {kBirch, 6, 1, false, 0, STATUS_SUCCESS},
        {kCedar, 6, 3, false, 0, STATUS_SUCCESS},
        {kDogwood, 10, 0, false, 0, STATUS_SUCCESS},
        {TEXT("quorvane tpm key storage provider"), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT("Quorvane TPM Key Storage Provider "), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT(" Quorvane TPM Key Storage Provider"), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT("Quorvane TPM Key Storage ProviderX"), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT("Quorvane TPM Key Storage Provide"), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT("Quorvane alder Cryptographic Provider"), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT(""), 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {nullptr, 10, 0, false, 0, STATUS_INVALID_PARAMETER},
        {TEXT("Unknown"), 5, 1, false, 0, STATUS_INVALID_PARAMETER}, // the name comes first
        {nullptr, 5, 1, true, 1, STATUS_INVALID_PARAMETER},
        {kKspName, 5, 2, false, 0, STATUS_NOT_SUPPORTED}, // then the version
        {kAlder, 5, 1, true, 0, STATUS_NOT_SUPPORTED},
        {kDogwood, 5, 1, true, 1, STATUS_NOT_SUPPORTED},
        {kKspName, 10, 0, true, 0, STATUS_INVALID_PARAMETER}, // then the table
        {kKspName, 10, 0, true, 1, STATUS_INVALID_PARAMETER},
        {kCedar, 10, 0, false, 1, STATUS_INVALID_PARAMETER}, // then the flags
        {kCedar, 10, 0, false, 0x80000000, STATUS_INVALID_PARAMETER},
    };
    for (const auto &c : rgCases) {
        SCOPED_TRACE(Narrow(c.pszName) + " on " + std::to_string(c.dwMajor) + "." + std::to_string(c.dwMinor) +
                     ", flags " + std::to_string(c.dwFlags));
        QvnPlatformSetWindowsVersion(c.dwMajor, c.dwMinor);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = pUntouched;
        EXPECT_STATUS(c.status, GetKeyStorageInterface(c.pszName, c.fNullTable ? nullptr : &pTable, c.dwFlags));
        EXPECT_EQ(c.status == STATUS_SUCCESS ? &g_KspFunctionTable : pUntouched, pTable);
    }
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = pUntouched;
    NTSTATUS status = 0;
    MeasureModuleMemory([&] { status = GetKeyStorageInterface(kKspName, &pTable, 0); }, 1); // copying the name
    EXPECT_STATUS(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(pUntouched, pTable);
}

TEST_F(KspInterface, TakesNoLockAndMakesNoManager)
{
    NTSTATUS status = 0;
    SECURITY_STATUS statusStub = 0;
    WhileAnotherThreadHoldsTheLock([&] {
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
        status = GetKeyStorageInterface(kKspName, &pTable, 0);
        statusStub = pTable != nullptr ? pTable->FreeBuffer(nullptr) : 0;
    });
    EXPECT_STATUS(STATUS_SUCCESS, status);
    EXPECT_STATUS(NTE_NOT_SUPPORTED, statusStub);
    EXPECT_EQ(1u, MeasureModuleMemory([] { KspFreeProvider(0x10); }).cMallocs) << "the first manager is made now";
}

TEST_F(KspInterface, TableIsVersionOneZeroWithTheEntriesInTheirSlots)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = g_KspFunctionTable;
    uint32_t dwVersionWord = 0;
    std::memcpy(&dwVersionWord, &table, sizeof(dwVersionWord));
    EXPECT_EQ(1u, dwVersionWord);
    EXPECT_EQ(sizeof(void *) == 4 ? 108u : 216u, sizeof(table));
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
}

// Every stub gets arguments that an implementation would read or write: a
// provider handle never opened, out-parameters holding sentinels, garbage flags.
TEST_F(KspInterface, StubsAnswerNotSupportedAndTouchNothing)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = g_KspFunctionTable;
    const NCRYPT_PROV_HANDLE hProv = 0xBAD0;
    const NCRYPT_KEY_HANDLE hKey = 0xBAD4;
    NCRYPT_KEY_HANDLE hOutKey = 0x1111;
    DWORD cbResult = 0x2222;
    Bytes buffer(16, 0xCC);
    PBYTE pb = buffer.data();
    NCryptKeyName *pKeyName = nullptr;
    PVOID pvEnumState = nullptr;
    HANDLE hEvent = nullptr;
    NCRYPT_SECRET_HANDLE hSecret = 0x6666;
    std::vector<SECURITY_STATUS> statuses;
    statuses.reserve(17);
    SetLastError(0x0BADF00D);
    const Footprint footprint = MeasureModuleMemory([&] {
        statuses = {
            table.CreatePersistedKey(hProv, &hOutKey, TEXT("RSA"), TEXT("k"), AT_KEYEXCHANGE, 0xFFFFFFFF),
            table.GetKeyProperty(hProv, hKey, TEXT("Length"), pb, 16, &cbResult, 0),
            table.SetProviderProperty(hProv, TEXT("Version"), pb, 16, 0),
            table.SetKeyProperty(hProv, hKey, TEXT("Length"), pb, 16, 0),
            table.FinalizeKey(hProv, hKey, 0),
            table.DeleteKey(hProv, hKey, 0),
            table.FreeBuffer(nullptr),
            table.FreeBuffer(pb),
            table.IsAlgSupported(hProv, TEXT("RSA"), 0),
            table.EnumKeys(hProv, nullptr, &pKeyName, &pvEnumState, 0),
            table.ImportKey(hProv, 0, TEXT("RSAPRIVATEBLOB"), nullptr, &hOutKey, pb, 16, 0),
            table.ExportKey(hProv, hKey, 0, TEXT("RSAPUBLICBLOB"), nullptr, pb, 16, &cbResult, 0),
            table.PromptUser(hProv, hKey, TEXT("op"), 0),
            table.NotifyChangeKey(hProv, &hEvent, 0),
            table.SecretAgreement(hProv, hKey, hKey, &hSecret, 0),
            table.DeriveKey(hProv, hSecret, TEXT("HASH"), nullptr, pb, 16, &cbResult, 0),
            table.FreeSecret(hProv, hSecret),
        };
    });
    EXPECT_EQ(0x0BADF00Du, GetLastError());
    EXPECT_EQ(std::vector<SECURITY_STATUS>(17, NTE_NOT_SUPPORTED), statuses);
    EXPECT_EQ(0u, footprint.cMallocs) << "not even the manager";
    EXPECT_EQ(std::make_tuple(0x1111u, 0x2222u, Bytes(16, 0xCC)), std::make_tuple(hOutKey, cbResult, buffer));
}

} // namespace
} // namespace unit
