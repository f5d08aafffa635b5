// The ten implemented entries and the frame they run in: the caller's
// last-error value, the entries' own checks before the lock, the global lock,
// the manager made on first use, the statuses made of thrown errors, the
// out-parameters written only on success, the arguments passed on, and the
// key handle rules.
#include "UnitTestSupport.h"

#include "ksp/KspInterface.h"
#include "provider/KspProviderManager.h"

#include <functional>
#include <new>
#include <stdexcept>
#include <tuple>

namespace unit
{
namespace
{

constexpr DWORD kCallersLastError = 0x0BADCAFE;
constexpr LPCWSTR kContainer = TEXT("unit entry key");

// Operation, padding, input, its size, output, its size, result size, flags, g_csKsp held.
typedef std::tuple<std::string, VOID *, PBYTE, DWORD, PBYTE, DWORD, DWORD *, DWORD, bool> FAKE_CALL;

// A key object of the test's making: records each operation, then runs fnAct.
class FakeKey : public CKspBaseKeyContext
{
public:
    FakeKey() : CKspBaseKeyContext(KSP_WSTRING(TEXT("fake"))) {}
    void Decrypt(PBYTE pbIn, DWORD cbIn, VOID *pPad, PBYTE pbOut, DWORD cbOut, DWORD *pcb, DWORD dwFlags) override
    {
        Record("Decrypt", pPad, pbIn, cbIn, pbOut, cbOut, pcb, dwFlags);
    }
    void Encrypt(PBYTE pbIn, DWORD cbIn, VOID *pPad, PBYTE pbOut, DWORD cbOut, DWORD *pcb, DWORD dwFlags) override
    {
        Record("Encrypt", pPad, pbIn, cbIn, pbOut, cbOut, pcb, dwFlags);
    }
    void SignHash(VOID *pPad, PBYTE pbIn, DWORD cbIn, PBYTE pbOut, DWORD cbOut, DWORD *pcb, DWORD dwFlags) override
    {
        Record("SignHash", pPad, pbIn, cbIn, pbOut, cbOut, pcb, dwFlags);
    }
    void VerifySignature(VOID *pPad, PBYTE pbIn, DWORD cbIn, PBYTE pbOut, DWORD cbOut, DWORD dwFlags) override
    {
        Record("VerifySignature", pPad, pbIn, cbIn, pbOut, cbOut, nullptr, dwFlags);
    }
    void Close() override {}
    DWORD GetKeyByteLength() override { return 256; }

    std::vector<FAKE_CALL> calls;
    std::function<void()> fnAct;

private:
    void Record(const char *pszOp, VOID *pPad, PBYTE pbIn, DWORD cbIn, PBYTE pbOut, DWORD cbOut, DWORD *pcb,
                DWORD dwFlags)
    {
        calls.emplace_back(pszOp, pPad, pbIn, cbIn, pbOut, cbOut, pcb, dwFlags, IsHeld(g_csKsp));
        if (fnAct) {
            fnAct();
        }
    }
};

// Enters a key object in any provider object as its OpenKey does: EnterKey is
// protected, reached through a pointer to member named in a derived class.
struct KeyEntrant : CKspBaseProviderContext {
    static void Enter(NCRYPT_PROV_HANDLE hProvider, CKspBaseKeyContext *pKey)
    {
        (CKspProviderManager::GetInstance()->GetProvider(hProvider)->*(&KeyEntrant::EnterKey))(pKey);
    }
};

// A provider of the key storage provider's own name holding cKeys fake keys.
NCRYPT_PROV_HANDLE ProviderWithFakeKeys(size_t cKeys, std::vector<FakeKey *> *pKeys)
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    EXPECT_STATUS(0, KspOpenProvider(&hProvider, kKspName, 0));
    for (size_t i = 0; i < cKeys; ++i) {
        pKeys->push_back(new FakeKey);
        KeyEntrant::Enter(hProvider, pKeys->back());
    }
    return hProvider;
}

// Every key entry with the given handles; each entry's status.
std::vector<SECURITY_STATUS> CallKeyEntries(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    BYTE rgb[512] = {};
    DWORD cb = 0;
    return {KspEncrypt(hProvider, hKey, rgb, 16, nullptr, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
            KspDecrypt(hProvider, hKey, rgb, 128, nullptr, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
            KspSignHash(hProvider, hKey, nullptr, rgb, 32, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
            KspVerifySignature(hProvider, hKey, nullptr, rgb, 32, rgb, 128, NCRYPT_PAD_PKCS1_FLAG),
            KspFreeKey(hProvider, hKey)};
}

using KspEntries = ModuleTest;

TEST_F(KspEntries, EveryEntryRestoresTheLastErrorReleasesTheLockAndWritesOnlyOnSuccess)
{
    const NCRYPT_PROV_HANDLE hBogus = 0x10;
    NCRYPT_PROV_HANDLE hKsp = 0, hProvider = 0, hNotWritten = 0x5EED;
    NCRYPT_KEY_HANDLE hKey = 0, hKeyNotWritten = 0x5EED;
    BYTE rgb[128] = {1, 2, 3};
    BYTE rgbSignature[128] = {};
    DWORD cb = 0;
    const auto Sign = [&] { return KspSignHash(hProvider, hKey, nullptr, rgb, 32, rgbSignature, 128, &cb, 2); };
    const auto Verify = [&] { return KspVerifySignature(hProvider, hKey, nullptr, rgb, 32, rgbSignature, 128, 2); };
    const std::pair<LONG, std::function<SECURITY_STATUS()>> rgCalls[] = {
        {NTE_INVALID_PARAMETER, [&] { return KspOpenProvider(nullptr, kAlder, 0); }},
        {NTE_INVALID_PARAMETER, [&] { return KspOpenProvider(&hNotWritten, TEXT("Quorvane Alder"), 0); }},
        {NTE_INVALID_PARAMETER, [&] { return KspOpenProvider(&hNotWritten, nullptr, 0); }},
        {NTE_INVALID_PARAMETER, [&] { return KspOpenKey(hBogus, nullptr, TEXT("k"), AT_KEYEXCHANGE, 0); }},
        {NTE_INVALID_HANDLE, [&] { return KspOpenKey(hBogus, &hKeyNotWritten, kContainer, AT_KEYEXCHANGE, 0); }},
        {NTE_INVALID_HANDLE, [&] { return KspFreeProvider(hBogus); }},
        {NTE_INVALID_HANDLE, [&] { return KspFreeKey(hBogus, 0x20); }},
        {NTE_INVALID_HANDLE, [&] { return KspEncrypt(hBogus, 0x20, rgb, 1, nullptr, rgb, 16, &cb, 2); }},
        {NTE_INVALID_HANDLE, [&] { return KspDecrypt(hBogus, 0x20, rgb, 16, nullptr, rgb, 16, &cb, 2); }},
        {NTE_INVALID_HANDLE, [&] { return KspSignHash(hBogus, 0x20, nullptr, rgb, 16, rgb, 16, &cb, 2); }},
        {NTE_INVALID_HANDLE, [&] { return KspVerifySignature(hBogus, 0x20, nullptr, rgb, 16, rgb, 16, 2); }},
        {NTE_INVALID_HANDLE, [&] { return KspEnumAlgorithms(hBogus, 0, &cb, nullptr, 0); }},
        {NTE_INVALID_HANDLE, [&] { return KspGetProviderProperty(hBogus, TEXT("Version"), rgb, 16, &cb, 0); }},
        // Calls that run CryptoAPI, which sets last-error values of its own.
        {0, [&] { return KspOpenProvider(&hKsp, kKspName, 0); }},
        {0, [&] { return KspOpenProvider(&hProvider, kAlder, 0); }},
        {NTE_PROV_DLL_NOT_FOUND,
         [&] {
             QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
             return KspOpenProvider(&hNotWritten, kAlder, 0);
         }},
        {NTE_NOT_SUPPORTED, [&] { return KspOpenKey(hKsp, &hKeyNotWritten, kContainer, AT_KEYEXCHANGE, 0); }},
        {NTE_INVALID_PARAMETER, [&] { return KspOpenKey(hProvider, &hKeyNotWritten, kContainer, 0, 0); }},
        {NTE_BAD_KEYSET, [&] { return KspOpenKey(hProvider, &hKeyNotWritten, kContainer, AT_KEYEXCHANGE, 0); }},
        {0,
         [&] {
             MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE);
             return KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0);
         }},
        {0, Sign},
        {0, Verify},
        {NTE_BAD_SIGNATURE, [&] { return rgbSignature[5] ^= 1, Verify(); }},
        {NTE_FAIL, [&] { return QvnPlatformFailCall("CryptSignHashW", 1, static_cast<DWORD>(NTE_FAIL)), Sign(); }},
        {0, [&] { return KspFreeKey(hProvider, hKey); }},
        {0, [&] { return KspFreeProvider(hProvider); }},
    };
    for (size_t i = 0; i < std::size(rgCalls); ++i) {
        SetLastError(kCallersLastError);
        EXPECT_STATUS(rgCalls[i].first, rgCalls[i].second()) << "call " << i;
        EXPECT_EQ(kCallersLastError, GetLastError()) << "call " << i;
        EXPECT_FALSE(IsHeld(g_csKsp)) << "call " << i;
    }
    EXPECT_EQ(0x5EEDu, hNotWritten);
    EXPECT_EQ(0x5EEDu, hKeyNotWritten);
    EXPECT_NE(hKsp, hProvider);
}

TEST_F(KspEntries, OwnChecksComeBeforeTheLockAndTheManager)
{
    std::vector<SECURITY_STATUS> statuses;
    statuses.reserve(6); // the test's own allocations are counted too
    Footprint footprint;
    WhileAnotherThreadHoldsTheLock([&] {
        footprint = MeasureModuleMemory([&] {
            for (LPCWSTR pszName : {kKspName, kAlder, static_cast<LPCWSTR>(nullptr), TEXT("unknown")}) {
                statuses.push_back(KspOpenProvider(nullptr, pszName, 0));
            }
            // The null out-pointer wins over a provider handle that was never opened.
            statuses.push_back(KspOpenKey(0x1234, nullptr, TEXT("k"), AT_KEYEXCHANGE, 0));
            statuses.push_back(KspOpenKey(0, nullptr, nullptr, 0, 0xFFFFFFFF));
        });
    });
    EXPECT_EQ(std::vector<SECURITY_STATUS>(6, NTE_INVALID_PARAMETER), statuses);
    EXPECT_EQ(0u, footprint.cMallocs) << "no manager for a call that failed its own check";
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspEntries, TheFirstOperationMakesTheManagerEvenWhenItFails)
{
    SECURITY_STATUS status = 0;
    EXPECT_EQ(1u, MeasureModuleMemory([&] { status = KspFreeProvider(0x10); }, 1).cMallocs);
    EXPECT_STATUS(NTE_NO_MEMORY, status);
    for (DWORD cMallocs : {1u, 0u}) { // made once, on the next try
        EXPECT_EQ(cMallocs, MeasureModuleMemory([&] { status = KspFreeProvider(0x10); }).cMallocs);
        EXPECT_STATUS(NTE_INVALID_HANDLE, status);
    }
}

TEST_F(KspEntries, ArgumentsPassOnUnchangedWithTheLockHeldAndThrownErrorsBecomeTheStatus)
{
    std::vector<FakeKey *> keys;
    const NCRYPT_PROV_HANDLE hProvider = ProviderWithFakeKeys(1, &keys);
    const NCRYPT_KEY_HANDLE hKey = keys[0]->GetHandle();
    BYTE rgbIn[7] = {};
    BYTE rgbOut[9] = {};
    DWORD cb = 0;
    int iPad = 0;
    EXPECT_STATUS(0, KspEncrypt(hProvider, hKey, rgbIn, 7, &iPad, rgbOut, 9, &cb, 0xDEADBEEF));
    EXPECT_STATUS(0, KspDecrypt(hProvider, hKey, rgbIn, 6, &iPad, rgbOut, 8, &cb, 0xFEEDFACE));
    EXPECT_STATUS(0, KspSignHash(hProvider, hKey, &iPad, rgbIn, 5, rgbOut, 4, &cb, 0x12345678));
    EXPECT_STATUS(0, KspVerifySignature(hProvider, hKey, &iPad, rgbIn, 3, rgbOut, 2, 0x87654321));
    EXPECT_EQ((std::vector<FAKE_CALL>{
                  {"Encrypt", &iPad, rgbIn, 7, rgbOut, 9, &cb, 0xDEADBEEF, true},
                  {"Decrypt", &iPad, rgbIn, 6, rgbOut, 8, &cb, 0xFEEDFACE, true},
                  {"SignHash", &iPad, rgbIn, 5, rgbOut, 4, &cb, 0x12345678, true},
                  {"VerifySignature", &iPad, rgbIn, 3, rgbOut, 2, nullptr, 0x87654321, true},
              }),
              keys[0]->calls);
    // The provider entries reach the key storage provider's own object.
    Bytes version(6, 0xEE);
    EXPECT_STATUS(0, KspGetProviderProperty(hProvider, TEXT("Version"), version.data() + 1, 5, &cb, 0x40));
    EXPECT_EQ((Bytes{0xEE, 0x00, 0x00, 0x01, 0x00, 0xEE}), version);
    EXPECT_EQ(4u, cb);
    EXPECT_STATUS(0, KspEnumAlgorithms(hProvider, NCRYPT_SIGNATURE_OPERATION, &cb, nullptr, 0));
    EXPECT_EQ(0u, cb);

    const std::pair<std::function<void()>, LONG> rgThrown[] = {
        {[] { throw CKspError(NTE_PERM); }, NTE_PERM},
        {[] { throw CKspError(NTE_SILENT_CONTEXT); }, NTE_SILENT_CONTEXT},
        {[] { throw CKspCapiError(static_cast<DWORD>(NTE_SILENT_CONTEXT)); }, NTE_UI_REQUIRED},
        {[] { throw CKspCapiError(ERROR_ACCESS_DENIED); }, ERROR_ACCESS_DENIED},
        {[] { throw CKspCapiError(0); }, 0},
        {[] { throw std::runtime_error("x"); }, NTE_INTERNAL_ERROR},
        {[] { throw std::bad_alloc(); }, NTE_INTERNAL_ERROR},
        {[] { throw static_cast<DWORD>(NTE_PERM); }, NTE_INTERNAL_ERROR},
    };
    for (size_t i = 0; i < std::size(rgThrown); ++i) {
        keys[0]->fnAct = rgThrown[i].first;
        SetLastError(kCallersLastError);
        EXPECT_STATUS(rgThrown[i].second, KspSignHash(hProvider, hKey, nullptr, rgbIn, 4, rgbOut, 4, &cb, 2)) << i;
        EXPECT_EQ(kCallersLastError, GetLastError());
        EXPECT_FALSE(IsHeld(g_csKsp));
    }
}

TEST_F(KspEntries, KeyHandlesAreValidOnlyWhileOpenUnderTheirOwnProvider)
{
    std::vector<FakeKey *> keys;
    const NCRYPT_PROV_HANDLE hProvider = ProviderWithFakeKeys(3, &keys);
    const NCRYPT_PROV_HANDLE hOther = ProviderWithFakeKeys(0, &keys);
    const NCRYPT_KEY_HANDLE hKey = keys[0]->GetHandle(), hSecond = keys[1]->GetHandle();
    const NCRYPT_KEY_HANDLE hFreed = keys[2]->GetHandle();
    EXPECT_STATUS(0, KspFreeKey(hProvider, hFreed));
    // Never dereferenced: the freed key's memory is released, AddressSanitizer watches it.
    for (NCRYPT_KEY_HANDLE hBad : {hFreed, hKey + 1, hKey - 1, hKey + sizeof(void *), NCRYPT_KEY_HANDLE(0),
                                   NCRYPT_KEY_HANDLE(1), ~NCRYPT_KEY_HANDLE(0)}) {
        EXPECT_EQ(std::vector<SECURITY_STATUS>(5, NTE_INVALID_HANDLE), CallKeyEntries(hProvider, hBad)) << hBad;
    }
    EXPECT_EQ(std::vector<SECURITY_STATUS>(5, NTE_INVALID_HANDLE), CallKeyEntries(hOther, hKey));
    EXPECT_TRUE(keys[0]->calls.empty());

    EXPECT_STATUS(0, KspFreeProvider(hProvider));
    for (NCRYPT_KEY_HANDLE hGone : {hKey, hSecond}) {
        EXPECT_EQ(std::vector<SECURITY_STATUS>(5, NTE_INVALID_HANDLE), CallKeyEntries(hProvider, hGone));
    }
    DWORD cb = 0;
    EXPECT_STATUS(NTE_INVALID_HANDLE, KspEnumAlgorithms(hProvider, 0, &cb, nullptr, 0));
    EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeProvider(hProvider));
}

} // namespace
} // namespace unit
