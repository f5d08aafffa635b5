// DllRegisterServer and DllUnregisterServer: the record that registration
// enters in the CNG provider configuration, replacing on every call, the
// mapping of the platform's NTSTATUS to the HRESULT of each entry, and the
// operating-system gate that only registration applies.
#include "UnitTestSupport.h"

#include <string>
#include <vector>

extern "C" HRESULT WINAPI DllRegisterServer(void);
extern "C" HRESULT WINAPI DllUnregisterServer(void);

namespace unit
{
namespace
{

class KspRegisterTest : public ModuleTest
{
};

// The registration under the key storage provider's name, read back for
// NCRYPT_KEY_STORAGE_INTERFACE; the query's status in *pStatus.
struct ReadBack {
    NTSTATUS status = 0;
    std::vector<std::u16string> aliases;
    bool fUserMode = false;
    bool fKernelMode = false;
    std::u16string strImage;
    std::vector<ULONG> interfaces;
    std::vector<ULONG> interfaceFlags;
    std::vector<std::u16string> functions; // of the first interface
};

ReadBack QueryKspRegistration()
{
    ReadBack result;
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    result.status =
        BCryptQueryProviderRegistration(kKspName, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg);
    if (result.status != STATUS_SUCCESS) {
        return result;
    }
    for (ULONG i = 0; i < pReg->cAliases; ++i) {
        result.aliases.emplace_back(pReg->rgpszAliases[i]);
    }
    result.fKernelMode = pReg->pKM != nullptr;
    result.fUserMode = pReg->pUM != nullptr;
    if (pReg->pUM != nullptr) {
        result.strImage = pReg->pUM->pszImage;
        for (ULONG i = 0; i < pReg->pUM->cInterfaces; ++i) {
            const CRYPT_INTERFACE_REG &entry = *pReg->pUM->rgpInterfaces[i];
            result.interfaces.push_back(entry.dwInterface);
            result.interfaceFlags.push_back(entry.dwFlags);
            for (ULONG j = 0; i == 0 && j < entry.cFunctions; ++j) {
                result.functions.emplace_back(entry.rgpszFunctions[j]);
            }
        }
    }
    BCryptFreeBuffer(pReg);
    return result;
}

bool IsKspRegistered()
{
    return QueryKspRegistration().status == STATUS_SUCCESS;
}

// A different record under the key storage provider's name.
NTSTATUS RegisterStaleRecord()
{
    PWSTR rgpszFunctions[] = {const_cast<PWSTR>(TEXT("OLD_FUNCTION"))};
    CRYPT_INTERFACE_REG keyStorage = {NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_DOMAIN, 1, rgpszFunctions};
    CRYPT_INTERFACE_REG cipher = {BCRYPT_CIPHER_INTERFACE, CRYPT_LOCAL, 1, rgpszFunctions};
    PCRYPT_INTERFACE_REG rgpInterfaces[] = {&keyStorage, &cipher};
    CRYPT_IMAGE_REG image = {const_cast<PWSTR>(TEXT("Stale.dll")), 2, rgpInterfaces};
    PWSTR rgpszAliases[] = {const_cast<PWSTR>(TEXT("Stale Alias"))};
    CRYPT_PROVIDER_REG reg = {1, rgpszAliases, &image, &image};
    return BCryptRegisterProvider(kKspName, 0, &reg);
}

void ExpectTheModulesRecord(const ReadBack &record)
{
    ASSERT_STATUS(STATUS_SUCCESS, record.status);
    const std::vector<std::u16string> expectedAliases = {kAlder, kBirch, kCedar, kDogwood};
    EXPECT_EQ(expectedAliases, record.aliases);
    EXPECT_TRUE(record.fUserMode);
    EXPECT_FALSE(record.fKernelMode);
    EXPECT_EQ(u"QvnTpmKsp.dll", record.strImage);
    EXPECT_EQ(std::vector<ULONG>{0x00010001u}, record.interfaces);
    EXPECT_EQ(std::vector<ULONG>{CRYPT_LOCAL}, record.interfaceFlags);
    EXPECT_EQ(std::vector<std::u16string>{u"KEY_STORAGE"}, record.functions);
}

TEST_F(KspRegisterTest, RegistrationRecordReadsBackFieldByField)
{
    ASSERT_STATUS(S_OK, DllRegisterServer());
    ExpectTheModulesRecord(QueryKspRegistration());

    // The key storage interface is the only one, in user mode only.
    const ULONG otherInterfaces[] = {
        BCRYPT_CIPHER_INTERFACE,           BCRYPT_HASH_INTERFACE,      BCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE,
        BCRYPT_SECRET_AGREEMENT_INTERFACE, BCRYPT_SIGNATURE_INTERFACE, BCRYPT_RNG_INTERFACE,
        NCRYPT_SCHANNEL_INTERFACE};
    for (ULONG dwInterface : otherInterfaces) {
        SCOPED_TRACE(dwInterface);
        ULONG cbBuffer = 0;
        PCRYPT_PROVIDER_REG pReg = nullptr;
        EXPECT_STATUS(STATUS_NOT_FOUND,
                      BCryptQueryProviderRegistration(kKspName, CRYPT_ANY, dwInterface, &cbBuffer, &pReg));
    }
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    EXPECT_STATUS(STATUS_NOT_FOUND,
                  BCryptQueryProviderRegistration(kKspName, CRYPT_KM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));

    // The four CSPs are aliases, not providers of their own.
    for (LPCWSTR pszCapiName : kCapiNames) {
        SCOPED_TRACE(Narrow(pszCapiName));
        EXPECT_STATUS(STATUS_NOT_FOUND, BCryptQueryProviderRegistration(
                                            pszCapiName, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    }
}

TEST_F(KspRegisterTest, RegistrationCallsBcryptOnceWithOverwrite)
{
    ASSERT_STATUS(S_OK, DllRegisterServer());
    const std::vector<QVN_CALL_RECORD> calls = CallsOf("BCryptRegisterProvider");
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(std::u16string(kKspName), std::u16string(calls[0].szProvider));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_OVERWRITE), calls[0].dwFlags);
    EXPECT_EQ(0u, QvnPlatformCountCalls("BCryptUnregisterProvider"));
}

TEST_F(KspRegisterTest, RegisteringAgainReplacesTheRecordEveryTime)
{
    ASSERT_STATUS(STATUS_SUCCESS, RegisterStaleRecord());
    QvnPlatformClearCallLog();

    ASSERT_STATUS(S_OK, DllRegisterServer());
    ExpectTheModulesRecord(QueryKspRegistration());
    ASSERT_STATUS(S_OK, DllRegisterServer());
    ExpectTheModulesRecord(QueryKspRegistration());

    const std::vector<QVN_CALL_RECORD> calls = CallsOf("BCryptRegisterProvider");
    ASSERT_EQ(2u, calls.size());
    for (const QVN_CALL_RECORD &call : calls) {
        EXPECT_EQ(std::u16string(kKspName), std::u16string(call.szProvider));
        EXPECT_EQ(static_cast<DWORD>(CRYPT_OVERWRITE), call.dwFlags);
        EXPECT_TRUE(call.fSucceeded);
    }
    // The stale record's cipher interface and kernel-mode image are gone.
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    EXPECT_STATUS(STATUS_NOT_FOUND,
                  BCryptQueryProviderRegistration(kKspName, CRYPT_ANY, BCRYPT_CIPHER_INTERFACE, &cbBuffer, &pReg));
}

TEST_F(KspRegisterTest, UnregisterAfterRegisterThenAgain)
{
    EXPECT_STATUS(S_OK, DllRegisterServer());
    EXPECT_STATUS(S_OK, DllUnregisterServer());
    EXPECT_FALSE(IsKspRegistered());
    EXPECT_STATUS(S_FALSE, DllUnregisterServer());

    const std::vector<QVN_CALL_RECORD> calls = CallsOf("BCryptUnregisterProvider");
    ASSERT_EQ(2u, calls.size());
    for (const QVN_CALL_RECORD &call : calls) {
        EXPECT_EQ(std::u16string(kKspName), std::u16string(call.szProvider));
    }
}

TEST_F(KspRegisterTest, UnregisterOnACleanSystemIsFalse)
{
    EXPECT_STATUS(S_FALSE, DllUnregisterServer());
    EXPECT_FALSE(IsKspRegistered());
}

TEST_F(KspRegisterTest, RegistrationFailureBecomesTheNtHresult)
{
    struct Case {
        DWORD dwNtStatus;
        HRESULT hrExpected;
    };
    const Case cases[] = {
        {0xC0000022, static_cast<HRESULT>(0xD0000022)}, // STATUS_ACCESS_DENIED
        {0xC0000017, static_cast<HRESULT>(0xD0000017)}, // STATUS_NO_MEMORY
        {0xC0000035, static_cast<HRESULT>(0xD0000035)}, // STATUS_OBJECT_NAME_COLLISION
        {0x80000005, static_cast<HRESULT>(0x90000005)}, // STATUS_BUFFER_OVERFLOW, a warning
        {0xE0000001, static_cast<HRESULT>(0xF0000001)}, // customer bit set
        // Not failures: success whatever the value.
        {0x00000103, S_OK}, // STATUS_PENDING
        {0x40000000, S_OK}, // an informational status
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Status{static_cast<LONG>(c.dwNtStatus)});
        QvnPlatformFailCall("BCryptRegisterProvider", 1, c.dwNtStatus);
        EXPECT_STATUS(c.hrExpected, DllRegisterServer());
        // The injected call did nothing, whatever it answered.
        EXPECT_FALSE(IsKspRegistered());
    }
    EXPECT_EQ(static_cast<DWORD>(sizeof(cases) / sizeof(cases[0])), QvnPlatformCountCalls("BCryptRegisterProvider"));
}

TEST_F(KspRegisterTest, RemovalStatusMapsToHresult)
{
    struct Case {
        DWORD dwNtStatus;
        HRESULT hrExpected;
    };
    const Case cases[] = {
        {0xC0000022, static_cast<HRESULT>(0xD0000022)}, // STATUS_ACCESS_DENIED
        {0xC000000D, static_cast<HRESULT>(0xD000000D)}, // STATUS_INVALID_PARAMETER
        {0x80000005, static_cast<HRESULT>(0x90000005)}, // STATUS_BUFFER_OVERFLOW
        {0xC0000225, S_FALSE},                          // STATUS_NOT_FOUND: not registered
        {0x00000103, E_FAIL},                           // STATUS_PENDING: positive, not success
        {0x40000000, E_FAIL},
        {0x00000001, E_FAIL},
    };
    ASSERT_STATUS(S_OK, DllRegisterServer());
    for (const Case &c : cases) {
        SCOPED_TRACE(Status{static_cast<LONG>(c.dwNtStatus)});
        QvnPlatformFailCall("BCryptUnregisterProvider", 1, c.dwNtStatus);
        EXPECT_STATUS(c.hrExpected, DllUnregisterServer());
        // Nothing was removed.
        EXPECT_TRUE(IsKspRegistered());
    }
}

TEST_F(KspRegisterTest, RegistrationNeedsWindowsSixOrLater)
{
    const struct {
        DWORD dwMajor;
        DWORD dwMinor;
    } olderSystems[] = {{5, 0}, {5, 1}, {5, 2}};
    for (const auto &version : olderSystems) {
        SCOPED_TRACE(std::to_string(version.dwMajor) + "." + std::to_string(version.dwMinor));
        QvnPlatformSetWindowsVersion(version.dwMajor, version.dwMinor);
        QvnPlatformClearCallLog();
        EXPECT_STATUS(S_FALSE, DllRegisterServer());
        // Nothing reached bcrypt.
        EXPECT_EQ(0u, QvnPlatformCountCalls("BCryptRegisterProvider"));
        EXPECT_EQ(0u, QvnPlatformCountCalls("BCryptUnregisterProvider"));
        EXPECT_FALSE(IsKspRegistered());
    }

    QvnPlatformSetWindowsVersion(6, 0);
    EXPECT_STATUS(S_OK, DllRegisterServer());
    ExpectTheModulesRecord(QueryKspRegistration());
}

TEST_F(KspRegisterTest, RemovalDoesNotLookAtTheVersion)
{
    ASSERT_STATUS(S_OK, DllRegisterServer());
    QvnPlatformSetWindowsVersion(5, 2);
    QvnPlatformClearCallLog();

    EXPECT_STATUS(S_OK, DllUnregisterServer());
    EXPECT_EQ(1u, QvnPlatformCountCalls("BCryptUnregisterProvider"));
    EXPECT_FALSE(IsKspRegistered());
    EXPECT_STATUS(S_FALSE, DllUnregisterServer());
}

} // namespace
} // namespace unit
