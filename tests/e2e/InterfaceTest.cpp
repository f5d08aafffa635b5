// The export GetKeyStorageInterface and the shape of the table it hands out:
// names, version gate, argument checks, the interface version and the
// sixteen slots that the provider does not support.
#include "E2EFixture.h"
#include "E2ERecord.h"

#include <functional>

namespace e2e
{
namespace
{

const NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
const NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);

class GetKeyStorageInterfaceTest : public KspTest
{
protected:
    NTSTATUS Call(const char *pszLabel, LPCWSTR pszName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppTable, DWORD dwFlags)
    {
        const NTSTATUS status = Module().GetKeyStorageInterface(pszName, ppTable, dwFlags);
        Record(std::string("GetKeyStorageInterface.") + pszLabel, status);
        return status;
    }

    // Something for a refused call to leave alone.
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *Sentinel() const
    {
        return reinterpret_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE *>(static_cast<ULONG_PTR>(0x5EB7));
    }
};

TEST_F(GetKeyStorageInterfaceTest, AcceptsEveryProviderNameWithTheSameTable)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
    } names[] = {
        {"ksp", E2E_KSP_NAME},     {"alder", E2E_ALDER_NAME},     {"birch", E2E_BIRCH_NAME},
        {"cedar", E2E_CEDAR_NAME}, {"dogwood", E2E_DOGWOOD_NAME},
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name.pszLabel);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = Sentinel();
        EXPECT_EQ(0, Call(name.pszLabel, name.pszName, &pTable, 0));
        EXPECT_EQ(TablePointer(), pTable);
    }
}

TEST_F(GetKeyStorageInterfaceTest, RefusesEveryOtherNameAndLeavesTheOutParameter)
{
    const struct {
        const char *pszLabel;
        LPCWSTR pszName;
    } names[] = {
        {"null", nullptr},
        {"empty", TEXT("")},
        {"lower-case", TEXT("quorvane tpm key storage provider")},
        {"upper-case", TEXT("QUORVANE TPM KEY STORAGE PROVIDER")},
        {"trailing-blank", TEXT("Quorvane TPM Key Storage Provider ")},
        {"leading-blank", TEXT(" Quorvane TPM Key Storage Provider")},
        {"extra-character", TEXT("Quorvane TPM Key Storage Providers")},
        {"prefix", TEXT("Quorvane TPM Key Storage")},
        {"csp-lower-case", TEXT("Quorvane alder Cryptographic Provider")},
        {"csp-trailing-blank", TEXT("Quorvane Dogwood Cryptographic Provider ")},
        {"other-provider", TEXT("Microsoft Software Key Storage Provider")},
        {"csp-family-name", TEXT("Quorvane Cryptographic Provider")},
    };
    for (const auto &name : names) {
        SCOPED_TRACE(name.pszLabel);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = Sentinel();
        EXPECT_EQ(kStatusInvalidParameter, Call(name.pszLabel, name.pszName, &pTable, 0));
        EXPECT_EQ(Sentinel(), pTable);
    }
}

TEST_F(GetKeyStorageInterfaceTest, RefusesANullOutParameter)
{
    EXPECT_EQ(kStatusInvalidParameter, Call("null-out", E2E_KSP_NAME, nullptr, 0));
    EXPECT_EQ(kStatusInvalidParameter, Call("null-out-csp", E2E_CEDAR_NAME, nullptr, 0));
}

TEST_F(GetKeyStorageInterfaceTest, RefusesAnyFlagAndLeavesTheOutParameter)
{
    for (DWORD dwFlags : std::initializer_list<DWORD>{0x1u, 0x40u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(dwFlags);
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = Sentinel();
        EXPECT_EQ(kStatusInvalidParameter,
                  Call(("flags-" + std::to_string(dwFlags)).c_str(), E2E_KSP_NAME, &pTable, dwFlags));
        EXPECT_EQ(Sentinel(), pTable);
    }
}

TEST_F(GetKeyStorageInterfaceTest, AcceptsWindowsSixAndLaterOnly)
{
    const struct {
        DWORD dwMajor;
        DWORD dwMinor;
        bool fSupported;
    } versions[] = {{5, 0, false}, {5, 2, false}, {5, 99, false}, {6, 0, true}, {6, 1, true}, {10, 0, true}};
    for (const auto &version : versions) {
        E2E_REQUIRE_CONTROLS(platform::SetWindowsVersion(version.dwMajor, version.dwMinor));
        SCOPED_TRACE(std::to_string(version.dwMajor) + "." + std::to_string(version.dwMinor));
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = Sentinel();
        const NTSTATUS status =
            Call(("version-" + std::to_string(version.dwMajor) + "." + std::to_string(version.dwMinor)).c_str(),
                 E2E_ALDER_NAME, &pTable, 0);
        if (version.fSupported) {
            EXPECT_EQ(0, status);
            EXPECT_EQ(TablePointer(), pTable);
        } else {
            EXPECT_EQ(kStatusNotSupported, status);
            EXPECT_EQ(Sentinel(), pTable);
        }
    }
}

TEST_F(GetKeyStorageInterfaceTest, OnAnOldSystemChecksTheNameFirstAndTheOutParameterLast)
{
    E2E_REQUIRE_CONTROLS(platform::SetWindowsVersion(5, 1));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = Sentinel();
    EXPECT_EQ(kStatusInvalidParameter, Call("old-bad-name", TEXT("Quorvane"), &pTable, 0));
    EXPECT_EQ(kStatusInvalidParameter, Call("old-null-name", nullptr, &pTable, 0));
    EXPECT_EQ(kStatusNotSupported, Call("old-null-out", E2E_KSP_NAME, nullptr, 0));
    EXPECT_EQ(kStatusNotSupported, Call("old-bad-flags", E2E_KSP_NAME, &pTable, 1));
    EXPECT_EQ(Sentinel(), pTable);
}

TEST_F(KspTest, TableIsInterfaceVersionOneZeroWithEverySlotFilled)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table = ksp().Table();
    EXPECT_EQ(1, table.Version.MajorVersion);
    EXPECT_EQ(0, table.Version.MinorVersion);
    const void *const *ppSlots = reinterpret_cast<const void *const *>(&table.OpenProvider);
    for (int i = 0; i < 26; ++i) {
        EXPECT_NE(nullptr, ppSlots[i]) << "slot " << i + 1;
    }
}

// Every slot beyond the ten implemented ones answers NTE_NOT_SUPPORTED at
// once, for handles that were never opened and for real ones alike, touching
// no out-parameter and not the thread's last-error value.
class UnsupportedSlotTest : public KspTest
{
protected:
    void ExpectEverySlotRefuses(const char *pszCase, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
        const ULONG_PTR kSentinel = 0xA5A5A5A5u;
        NCRYPT_KEY_HANDLE hOutKey = kSentinel;
        DWORD dwResult = 0x5A5A;
        BYTE rgbBuffer[16] = {0x11, 0x22, 0x33};
        HANDLE hEvent = reinterpret_cast<HANDLE>(kSentinel);
        NCryptKeyName *pKeyName = reinterpret_cast<NCryptKeyName *>(kSentinel);
        PVOID pvEnumState = reinterpret_cast<PVOID>(kSentinel);
        NCRYPT_SECRET_HANDLE hSecret = kSentinel;
        const NCRYPT_SECRET_HANDLE hSomeSecret = 0x1234;

        const std::pair<const char *, std::function<SECURITY_STATUS()>> calls[] = {
            {"CreatePersistedKey",
             [&] { return t.CreatePersistedKey(hProvider, &hOutKey, TEXT("RSA"), E2E_MAIN_CONTAINER, 1, 0); }},
            {"GetKeyProperty",
             [&] {
                 return t.GetKeyProperty(hProvider, hKey, TEXT("Length"), rgbBuffer, sizeof(rgbBuffer), &dwResult, 0);
             }},
            {"SetProviderProperty", [&] { return t.SetProviderProperty(hProvider, TEXT("Version"), rgbBuffer, 4, 0); }},
            {"SetKeyProperty", [&] { return t.SetKeyProperty(hProvider, hKey, TEXT("Length"), rgbBuffer, 4, 0); }},
            {"FinalizeKey", [&] { return t.FinalizeKey(hProvider, hKey, 0); }},
            {"DeleteKey", [&] { return t.DeleteKey(hProvider, hKey, 0); }},
            {"FreeBuffer-null", [&] { return t.FreeBuffer(nullptr); }},
            {"FreeBuffer-pointer", [&] { return t.FreeBuffer(rgbBuffer); }},
            {"IsAlgSupported", [&] { return t.IsAlgSupported(hProvider, TEXT("RSA"), 0); }},
            {"EnumKeys", [&] { return t.EnumKeys(hProvider, nullptr, &pKeyName, &pvEnumState, 0); }},
            {"ImportKey",
             [&] {
                 return t.ImportKey(hProvider, 0, TEXT("RSAPUBLICBLOB"), nullptr, &hOutKey, rgbBuffer,
                                    sizeof(rgbBuffer), 0);
             }},
            {"ExportKey",
             [&] {
                 return t.ExportKey(hProvider, hKey, 0, TEXT("RSAPUBLICBLOB"), nullptr, rgbBuffer, sizeof(rgbBuffer),
                                    &dwResult, 0);
             }},
            {"PromptUser", [&] { return t.PromptUser(hProvider, hKey, TEXT("Sign"), 0); }},
            {"NotifyChangeKey", [&] { return t.NotifyChangeKey(hProvider, &hEvent, 0); }},
            {"SecretAgreement", [&] { return t.SecretAgreement(hProvider, hKey, hKey, &hSecret, 0); }},
            {"DeriveKey",
             [&] {
                 return t.DeriveKey(hProvider, hSomeSecret, TEXT("HASH"), nullptr, rgbBuffer, sizeof(rgbBuffer),
                                    &dwResult, 0);
             }},
            {"FreeSecret", [&] { return t.FreeSecret(hProvider, hSomeSecret); }},
        };
        for (const auto &call : calls) {
            SCOPED_TRACE(call.first);
            SetLastError(0x0BADF00D);
            const SECURITY_STATUS status = call.second();
            Record(std::string(call.first) + "." + pszCase, status);
            EXPECT_EQ(NTE_NOT_SUPPORTED, status);
            EXPECT_EQ(0x0BADF00Du, GetLastError());
        }
        EXPECT_EQ(kSentinel, hOutKey);
        EXPECT_EQ(0x5A5Au, dwResult);
        EXPECT_EQ(0x11, rgbBuffer[0]);
        EXPECT_EQ(0x22, rgbBuffer[1]);
        EXPECT_EQ(0x33, rgbBuffer[2]);
        EXPECT_EQ(0, rgbBuffer[3]);
        EXPECT_EQ(reinterpret_cast<HANDLE>(kSentinel), hEvent);
        EXPECT_EQ(reinterpret_cast<NCryptKeyName *>(kSentinel), pKeyName);
        EXPECT_EQ(reinterpret_cast<PVOID>(kSentinel), pvEnumState);
        EXPECT_EQ(kSentinel, hSecret);
    }
};

TEST_F(UnsupportedSlotTest, RefuseHandlesThatWereNeverOpened)
{
    ExpectEverySlotRefuses("never-opened", 0x4000, 0x8000);
    ExpectEverySlotRefuses("zero", 0, 0);
}

TEST_F(UnsupportedSlotTest, RefuseOpenProvidersAndKeys)
{
    E2E_KEYS(pKeys);
    const NCRYPT_PROV_HANDLE hKsp = OpenProvider(E2E_KSP_NAME);
    ExpectEverySlotRefuses("ksp-provider", hKsp, 0);
    const NCRYPT_PROV_HANDLE hAlder = OpenProvider(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hAlder, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
    ExpectEverySlotRefuses("open-key", hAlder, hKey);

    // The key is untouched by all of it.
    BYTE rgbHash[32] = {1};
    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
    Bytes signature(kMainExchangeBytes);
    DWORD cbResult = 0;
    EXPECT_EQ(0, ksp().SignHash("after", hAlder, hKey, &padding, rgbHash, sizeof(rgbHash), signature.data(),
                                static_cast<DWORD>(signature.size()), &cbResult, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, ksp().FreeKey("after", hAlder, hKey));
    EXPECT_EQ(0, ksp().FreeProvider("after-alder", hAlder));
    EXPECT_EQ(0, ksp().FreeProvider("after-ksp", hKsp));
}

} // namespace
} // namespace e2e
