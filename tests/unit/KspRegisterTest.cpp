// DllRegisterServer and DllUnregisterServer: the record that registration
// enters in the CNG provider configuration, replacing any on every call, the
// HRESULT made of the platform's NTSTATUS, and the operating-system gate
// that only registration applies.
#include "UnitTestSupport.h"

extern "C" HRESULT WINAPI DllRegisterServer(void);
extern "C" HRESULT WINAPI DllUnregisterServer(void);

namespace unit
{
namespace
{

using KspRegister = ModuleTest;

// The provider's key storage record as text: the aliases, then the user-mode
// image with each interface (id/flags and functions), and whether there is a
// kernel-mode image. Empty when there is no record.
std::u16string Record(LPCWSTR pszName = kKspName)
{
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    std::u16string str;
    if (BCryptQueryProviderRegistration(pszName, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg) != 0) {
        return str;
    }
    for (ULONG i = 0; i < pReg->cAliases; ++i) {
        str += std::u16string(pReg->rgpszAliases[i]) + u";";
    }
    str += std::u16string(pReg->pUM->pszImage);
    for (ULONG i = 0; i < pReg->pUM->cInterfaces; ++i) {
        const CRYPT_INTERFACE_REG &entry = *pReg->pUM->rgpInterfaces[i];
        str += qvntest::Wide(" " + std::to_string(entry.dwInterface) + "/" + std::to_string(entry.dwFlags));
        for (ULONG j = 0; j < entry.cFunctions; ++j) {
            str += u" " + std::u16string(entry.rgpszFunctions[j]);
        }
    }
    str += pReg->pKM != nullptr ? u" kernel" : u"";
    BCryptFreeBuffer(pReg);
    return str;
}

const std::u16string kRecord = u"Quorvane Alder Cryptographic Provider;Quorvane Birch Cryptographic Provider;"
                               u"Quorvane Cedar Cryptographic Provider;Quorvane Dogwood Cryptographic Provider;"
                               u"QvnTpmKsp.dll 65537/1 KEY_STORAGE";

// A record under the name is replaced, not refused: registering twice succeeds.
TEST_F(KspRegister, RegistrationEntersTheModulesRecordEveryTime)
{
    for (int i = 0; i < 2; ++i) {
        ASSERT_STATUS(S_OK, DllRegisterServer());
        EXPECT_EQ(kRecord, Record());
    }
    EXPECT_EQ(u"", Record(kAlder)) << "the CSP names are aliases, not providers of their own";
}

TEST_F(KspRegister, PlatformStatusesBecomeTheHresultAndChangeNothing)
{
    const struct {
        bool fRemoval;
        DWORD dwNtStatus;
        HRESULT hrExpected;
    } rgCases[] = {
        {false, 0xC0000022, static_cast<HRESULT>(0xD0000022)}, // STATUS_ACCESS_DENIED
        {false, 0x80000005, static_cast<HRESULT>(0x90000005)}, // STATUS_BUFFER_OVERFLOW, a warning
        {false, 0xE0000001, static_cast<HRESULT>(0xF0000001)}, // customer bit set
        {false, 0x00000103, S_OK},                             // STATUS_PENDING: not a failure
        {false, 0x40000000, S_OK},                             // an informational status
        {true, 0xC0000022, static_cast<HRESULT>(0xD0000022)},
        {true, 0x80000005, static_cast<HRESULT>(0x90000005)},
        {true, 0xC0000225, S_FALSE}, // STATUS_NOT_FOUND: not registered
        {true, 0x00000103, E_FAIL},  // positive, yet not success
        {true, 0x40000000, E_FAIL},
    };
    for (const auto &c : rgCases) {
        SCOPED_TRACE(Hex(static_cast<LONG>(c.dwNtStatus)) + (c.fRemoval ? " removing" : " registering"));
        if (c.fRemoval) {
            ASSERT_STATUS(S_OK, DllRegisterServer());
        }
        QvnPlatformFailCall(c.fRemoval ? "BCryptUnregisterProvider" : "BCryptRegisterProvider", 1, c.dwNtStatus);
        EXPECT_STATUS(c.hrExpected, c.fRemoval ? DllUnregisterServer() : DllRegisterServer());
        EXPECT_EQ(c.fRemoval ? kRecord : u"", Record()) << "the failed call did nothing, whatever it answered";
    }
}

TEST_F(KspRegister, OnlyRegistrationNeedsWindowsSixOrLater)
{
    for (DWORD dwMinor : {0u, 1u, 2u}) {
        QvnPlatformSetWindowsVersion(5, dwMinor);
        QvnPlatformClearCallLog();
        EXPECT_STATUS(S_FALSE, DllRegisterServer()) << "5." << dwMinor;
        EXPECT_EQ(0u, QvnPlatformGetCallCount()) << "nothing reached bcrypt";
    }
    QvnPlatformSetWindowsVersion(6, 0);
    EXPECT_STATUS(S_OK, DllRegisterServer());
    EXPECT_EQ(kRecord, Record());
    QvnPlatformSetWindowsVersion(5, 2);
    EXPECT_STATUS(S_OK, DllUnregisterServer());
    EXPECT_EQ(u"", Record());
    EXPECT_STATUS(S_FALSE, DllUnregisterServer()) << "what is not registered";
}

} // namespace
} // namespace unit
