// The ten implemented entries and the frame they run in: the caller's
// last-error value, the entries' own checks before the lock, the global lock,
// the manager created on first use, the statuses made of thrown errors, the
// out-parameters written only on success, and the arguments passed on.
#include "CapiTestSupport.h"
#include "UnitFakes.h"

#include "ksp/KspInterface.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <stdexcept>
#include <thread>

namespace
{

using unit::FakeCall;
using unit::FakeKey;
using unit::FakeProvider;
using unit::Journal;
using unit::ManagerInstance;

constexpr DWORD kCallersLastError = 0x0BADCAFE;
constexpr LPCWSTR kContainer = TEXT("unit entry key");

class KspEntries : public unit::CapiTest
{
protected:
    // A provider object of the test's own making, entered in the manager as
    // OpenProvider enters one.
    FakeProvider *InstallFakeProvider()
    {
        FakeProvider *pProvider = new FakeProvider(&m_journal);
        unit::ProvidersOf(*CKspProviderManager::GetInstance())[pProvider->GetHandle()] = pProvider;
        return pProvider;
    }
    FakeKey *AddFakeKey(FakeProvider *pProvider)
    {
        FakeKey *pKey = new FakeKey(&m_journal);
        pProvider->AddKey(pKey);
        return pKey;
    }

    Journal m_journal;
};

// Runs an entry with a known last-error value in place and checks that the
// caller gets it back whatever happened inside.
SECURITY_STATUS CallKeepingLastError(const std::function<SECURITY_STATUS()> &fnEntry)
{
    SetLastError(kCallersLastError);
    const SECURITY_STATUS status = fnEntry();
    EXPECT_EQ(kCallersLastError, GetLastError());
    EXPECT_FALSE(unit::IsHeld(g_csKsp)) << "the lock is free when the entry returns";
    return status;
}

// Every key entry with the given handles; each entry's status.
std::vector<SECURITY_STATUS> CallKeyEntries(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    BYTE rgb[512] = {};
    DWORD cb = 0;
    return {
        KspEncrypt(hProvider, hKey, rgb, 16, nullptr, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
        KspDecrypt(hProvider, hKey, rgb, 128, nullptr, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
        KspSignHash(hProvider, hKey, nullptr, rgb, 32, rgb, 512, &cb, NCRYPT_PAD_PKCS1_FLAG),
        KspVerifySignature(hProvider, hKey, nullptr, rgb, 32, rgb, 128, NCRYPT_PAD_PKCS1_FLAG),
        KspFreeKey(hProvider, hKey),
    };
}

TEST_F(KspEntries, FailedEntriesRestoreTheLastErrorAndReleaseTheLock)
{
    const NCRYPT_PROV_HANDLE hBogus = 0x10;
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    BYTE rgb[16] = {};
    DWORD cb = 0;
    const struct {
        const char *pszEntry;
        LONG lStatus;
        std::function<SECURITY_STATUS()> fnEntry;
    } rgCases[] = {
        {"OpenProvider null out", NTE_INVALID_PARAMETER, [&] { return KspOpenProvider(nullptr, unit::kAlder, 0); }},
        {"OpenProvider bad name", NTE_INVALID_PARAMETER, [&] { return KspOpenProvider(&hProvider, TEXT("x"), 0); }},
        {"OpenKey null out", NTE_INVALID_PARAMETER,
         [&] { return KspOpenKey(hBogus, nullptr, TEXT("k"), AT_KEYEXCHANGE, 0); }},
        {"OpenKey", NTE_INVALID_HANDLE, [&] { return KspOpenKey(hBogus, &hKey, TEXT("k"), AT_KEYEXCHANGE, 0); }},
        {"FreeProvider", NTE_INVALID_HANDLE, [&] { return KspFreeProvider(hBogus); }},
        {"FreeKey", NTE_INVALID_HANDLE, [&] { return KspFreeKey(hBogus, 0x20); }},
        {"Encrypt", NTE_INVALID_HANDLE, [&] { return KspEncrypt(hBogus, 0x20, rgb, 1, nullptr, rgb, 16, &cb, 2); }},
        {"Decrypt", NTE_INVALID_HANDLE, [&] { return KspDecrypt(hBogus, 0x20, rgb, 16, nullptr, rgb, 16, &cb, 2); }},
        {"SignHash", NTE_INVALID_HANDLE, [&] { return KspSignHash(hBogus, 0x20, nullptr, rgb, 16, rgb, 16, &cb, 2); }},
        {"VerifySignature", NTE_INVALID_HANDLE,
         [&] { return KspVerifySignature(hBogus, 0x20, nullptr, rgb, 16, rgb, 16, 2); }},
        {"EnumAlgorithms", NTE_INVALID_HANDLE, [&] { return KspEnumAlgorithms(hBogus, 0, &cb, nullptr, 0); }},
        {"GetProviderProperty", NTE_INVALID_HANDLE,
         [&] { return KspGetProviderProperty(hBogus, TEXT("Version"), rgb, 16, &cb, 0); }},
    };
    for (const auto &c : rgCases) {
        SCOPED_TRACE(c.pszEntry);
        EXPECT_STATUS(c.lStatus, CallKeepingLastError(c.fnEntry));
    }
}

TEST_F(KspEntries, CallsThatRunCryptoApiKeepTheCallersLastError)
{
    const qvntest::TestKey &key = unit::KeyOfBits(1024);
    MakeContainer(unit::kAlder, kContainer, AT_KEYEXCHANGE, key);
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, CallKeepingLastError([&] { return KspOpenProvider(&hProvider, unit::kAlder, 0); }));
    EXPECT_STATUS(0, CallKeepingLastError([&] { return KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0); }));

    BYTE rgbHash[32] = {1, 2, 3};
    BYTE rgbSignature[128] = {};
    DWORD cbResult = 0;
    EXPECT_STATUS(0, CallKeepingLastError([&] {
                      return KspSignHash(hProvider, hKey, nullptr, rgbHash, 32, rgbSignature, 128, &cbResult,
                                         NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_STATUS(0, CallKeepingLastError([&] {
                      return KspVerifySignature(hProvider, hKey, nullptr, rgbHash, 32, rgbSignature, 128,
                                                NCRYPT_PAD_PKCS1_FLAG);
                  }));
    // A signature that does not verify: the CSP sets NTE_BAD_SIGNATURE as its last error.
    rgbSignature[5] ^= 1;
    EXPECT_STATUS(NTE_BAD_SIGNATURE, CallKeepingLastError([&] {
                      return KspVerifySignature(hProvider, hKey, nullptr, rgbHash, 32, rgbSignature, 128,
                                                NCRYPT_PAD_PKCS1_FLAG);
                  }));
    QvnPlatformFailCall("CryptSignHashW", 1, static_cast<DWORD>(NTE_FAIL));
    EXPECT_STATUS(NTE_FAIL, CallKeepingLastError([&] {
                      return KspSignHash(hProvider, hKey, nullptr, rgbHash, 32, rgbSignature, 128, &cbResult,
                                         NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_STATUS(0, CallKeepingLastError([&] { return KspFreeKey(hProvider, hKey); }));
    EXPECT_STATUS(0, CallKeepingLastError([&] { return KspFreeProvider(hProvider); }));
}

TEST_F(KspEntries, OwnChecksComeBeforeTheLockAndTheManager)
{
    // Another thread holds the lock throughout: a check made after taking it
    // would never return.
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
    std::vector<SECURITY_STATUS> statuses;
    for (LPCWSTR pszName : {unit::kKspName, unit::kAlder, static_cast<LPCWSTR>(nullptr), TEXT("unknown")}) {
        statuses.push_back(KspOpenProvider(nullptr, pszName, 0));
    }
    // The null out-pointer wins over a provider handle that was never opened.
    statuses.push_back(KspOpenKey(0x1234, nullptr, TEXT("k"), AT_KEYEXCHANGE, 0));
    statuses.push_back(KspOpenKey(0, nullptr, nullptr, 0, 0xFFFFFFFF));
    stage = 2;
    holder.join();

    for (SECURITY_STATUS status : statuses) {
        EXPECT_STATUS(NTE_INVALID_PARAMETER, status);
    }
    EXPECT_EQ(nullptr, ManagerInstance()) << "no manager for a call that failed its own check";
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspEntries, AnyOperationCreatesTheManagerEvenWhenItFails)
{
    ASSERT_EQ(nullptr, ManagerInstance());
    SECURITY_STATUS status = 0;
    {
        unit::ScopedMallocFailure failure(1);
        status = KspFreeProvider(0x10);
    }
    EXPECT_STATUS(NTE_NO_MEMORY, status);
    EXPECT_EQ(nullptr, ManagerInstance()) << "still absent; the next call tries again";

    EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeProvider(0x10));
    EXPECT_NE(nullptr, ManagerInstance());
}

TEST_F(KspEntries, OutParametersAreWrittenOnlyOnSuccess)
{
    const NCRYPT_PROV_HANDLE hUntouched = 0x5EED;
    NCRYPT_PROV_HANDLE hProvider = hUntouched;
    EXPECT_STATUS(NTE_INVALID_PARAMETER, KspOpenProvider(&hProvider, nullptr, 0));
    EXPECT_STATUS(NTE_INVALID_PARAMETER, KspOpenProvider(&hProvider, TEXT("Quorvane Alder"), 0));
    QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
    EXPECT_STATUS(NTE_PROV_DLL_NOT_FOUND, KspOpenProvider(&hProvider, unit::kAlder, 0));
    EXPECT_EQ(hUntouched, hProvider);

    NCRYPT_PROV_HANDLE hKsp = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hKsp, unit::kKspName, 0));
    NCRYPT_PROV_HANDLE hCapi = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hCapi, unit::kAlder, 0));
    EXPECT_EQ(2u,
              unit::ProvidersOf(*ManagerInstance()).count(hKsp) + unit::ProvidersOf(*ManagerInstance()).count(hCapi));

    NCRYPT_KEY_HANDLE hKey = hUntouched;
    EXPECT_STATUS(NTE_INVALID_HANDLE, KspOpenKey(0x10, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    EXPECT_STATUS(NTE_NOT_SUPPORTED, KspOpenKey(hKsp, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    EXPECT_STATUS(NTE_INVALID_PARAMETER, KspOpenKey(hCapi, &hKey, kContainer, 0, 0));
    EXPECT_STATUS(NTE_BAD_KEYSET, KspOpenKey(hCapi, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    EXPECT_EQ(hUntouched, hKey);

    MakeContainer(unit::kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
    EXPECT_STATUS(0, KspOpenKey(hCapi, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    CKspBaseKeyContext *pKey = nullptr;
    EXPECT_STATUS(0, unit::StatusOf([&] { pKey = ManagerInstance()->GetProvider(hCapi)->GetKey(hKey); }));
    ASSERT_NE(nullptr, pKey);
    EXPECT_EQ(hKey, pKey->GetHandle());
}

TEST_F(KspEntries, OpenKeyOfAFakeProviderHandsBackItsHandle)
{
    FakeProvider *pProvider = InstallFakeProvider();
    NCRYPT_KEY_HANDLE hKey = 0;
    EXPECT_STATUS(0, KspOpenKey(pProvider->GetHandle(), &hKey, TEXT("name"), 0xABC, 0xDEF));
    ASSERT_EQ(1u, unit::KeysOf(*pProvider).size());
    EXPECT_EQ(unit::KeysOf(*pProvider).begin()->first, hKey);

    pProvider->fnAct = [] { throw CKspError(NTE_BAD_KEYSET); };
    NCRYPT_KEY_HANDLE hFailed = 0x5EED;
    EXPECT_STATUS(NTE_BAD_KEYSET, KspOpenKey(pProvider->GetHandle(), &hFailed, TEXT("name"), 1, 0));
    EXPECT_EQ(0x5EEDu, hFailed);
}

TEST_F(KspEntries, EntriesPassEveryArgumentOnUnchangedWithTheLockHeld)
{
    FakeProvider *pProvider = InstallFakeProvider();
    FakeKey *pKey = AddFakeKey(pProvider);
    const NCRYPT_PROV_HANDLE hProvider = pProvider->GetHandle();
    const NCRYPT_KEY_HANDLE hKey = pKey->GetHandle();

    BYTE rgbIn[7] = {};
    BYTE rgbOut[9] = {};
    DWORD cbResult = 0;
    int iPadding = 0;
    VOID *const pPadding = &iPadding;
    EXPECT_STATUS(0, KspEncrypt(hProvider, hKey, rgbIn, 7, pPadding, rgbOut, 9, &cbResult, 0xDEADBEEF));
    EXPECT_STATUS(0, KspDecrypt(hProvider, hKey, rgbIn, 6, pPadding, rgbOut, 8, &cbResult, 0xFEEDFACE));
    EXPECT_STATUS(0, KspSignHash(hProvider, hKey, pPadding, rgbIn, 5, rgbOut, 4, &cbResult, 0x12345678));
    EXPECT_STATUS(0, KspVerifySignature(hProvider, hKey, pPadding, rgbIn, 3, rgbOut, 2, 0x87654321));

    ASSERT_EQ(4u, pKey->calls.size());
    const struct {
        const char *pszOperation;
        DWORD cbInput;
        DWORD cbOutput;
        DWORD *pcbResult;
        DWORD dwFlags;
    } rgExpected[] = {
        {"Encrypt", 7, 9, &cbResult, 0xDEADBEEF},
        {"Decrypt", 6, 8, &cbResult, 0xFEEDFACE},
        {"SignHash", 5, 4, &cbResult, 0x12345678},
        {"VerifySignature", 3, 2, nullptr, 0x87654321},
    };
    for (size_t i = 0; i < 4; ++i) {
        const FakeCall &call = pKey->calls[i];
        EXPECT_EQ(rgExpected[i].pszOperation, call.strOperation);
        EXPECT_EQ(pPadding, call.pPaddingInfo) << call.strOperation;
        EXPECT_EQ(rgbIn, call.pbInput) << call.strOperation;
        EXPECT_EQ(rgExpected[i].cbInput, call.cbInput) << call.strOperation;
        EXPECT_EQ(rgbOut, call.pbOutput) << call.strOperation;
        EXPECT_EQ(rgExpected[i].cbOutput, call.cbOutput) << call.strOperation;
        EXPECT_EQ(rgExpected[i].pcbResult, call.pcbResult) << call.strOperation;
        EXPECT_EQ(rgExpected[i].dwFlags, call.dwFlags) << call.strOperation;
        EXPECT_TRUE(call.fLockHeld) << call.strOperation;
    }

    NCryptAlgorithmName *pList = nullptr;
    EXPECT_STATUS(0, KspEnumAlgorithms(hProvider, 0x1F, &cbResult, &pList, 0xA5A5A5A5));
    EXPECT_STATUS(0, KspGetProviderProperty(hProvider, TEXT("Any"), rgbOut, 9, &cbResult, 0x5A5A5A5A));
    NCRYPT_KEY_HANDLE hNewKey = 0;
    const LPCWSTR pszKeyName = TEXT("key name");
    EXPECT_STATUS(0, KspOpenKey(hProvider, &hNewKey, pszKeyName, 0x77, 0xC3C3C3C3));

    ASSERT_EQ(3u, pProvider->calls.size());
    const FakeCall &enumCall = pProvider->calls[0];
    EXPECT_EQ("EnumAlgorithms", enumCall.strOperation);
    EXPECT_EQ(0x1Fu, enumCall.dwValue);
    EXPECT_EQ(&cbResult, enumCall.pcbResult);
    EXPECT_EQ(&pList, enumCall.ppAlgList);
    EXPECT_EQ(0xA5A5A5A5u, enumCall.dwFlags);
    const FakeCall &propertyCall = pProvider->calls[1];
    EXPECT_EQ("GetProviderProperty", propertyCall.strOperation);
    EXPECT_EQ(std::u16string(u"Any"), std::u16string(propertyCall.pszName));
    EXPECT_EQ(rgbOut, propertyCall.pbOutput);
    EXPECT_EQ(9u, propertyCall.cbOutput);
    EXPECT_EQ(&cbResult, propertyCall.pcbResult);
    EXPECT_EQ(0x5A5A5A5Au, propertyCall.dwFlags);
    const FakeCall &openCall = pProvider->calls[2];
    EXPECT_EQ("OpenKey", openCall.strOperation);
    EXPECT_EQ(pszKeyName, openCall.pszName);
    EXPECT_EQ(0x77u, openCall.dwValue);
    EXPECT_EQ(0xC3C3C3C3u, openCall.dwFlags);
    for (const FakeCall &call : pProvider->calls) {
        EXPECT_TRUE(call.fLockHeld) << call.strOperation;
    }
}

TEST_F(KspEntries, ThrownErrorsBecomeTheStatus)
{
    FakeProvider *pProvider = InstallFakeProvider();
    FakeKey *pKey = AddFakeKey(pProvider);
    const struct {
        const char *pszWhat;
        std::function<void()> fnThrow;
        LONG lStatus;
    } rgCases[] = {
        {"CKspError", [] { throw CKspError(NTE_PERM); }, NTE_PERM},
        {"CKspError silent context", [] { throw CKspError(NTE_SILENT_CONTEXT); }, NTE_SILENT_CONTEXT},
        {"CKspCapiError silent context", [] { throw CKspCapiError(static_cast<DWORD>(NTE_SILENT_CONTEXT)); },
         NTE_UI_REQUIRED},
        {"CKspCapiError win32", [] { throw CKspCapiError(ERROR_ACCESS_DENIED); }, ERROR_ACCESS_DENIED},
        {"CKspCapiError zero", [] { throw CKspCapiError(0); }, 0},
        {"runtime_error", [] { throw std::runtime_error("x"); }, NTE_INTERNAL_ERROR},
        {"bad_alloc", [] { throw std::bad_alloc(); }, NTE_INTERNAL_ERROR},
        {"int", [] { throw 5; }, NTE_INTERNAL_ERROR},
        {"DWORD", [] { throw static_cast<DWORD>(NTE_PERM); }, NTE_INTERNAL_ERROR},
    };
    for (const auto &c : rgCases) {
        pKey->fnAct = c.fnThrow;
        pProvider->fnAct = c.fnThrow;
        BYTE rgb[4] = {};
        DWORD cb = 0;
        EXPECT_STATUS(c.lStatus, CallKeepingLastError([&] {
                          return KspSignHash(pProvider->GetHandle(), pKey->GetHandle(), nullptr, rgb, 4, rgb, 4, &cb,
                                             2);
                      }))
            << c.pszWhat;
        EXPECT_STATUS(c.lStatus, CallKeepingLastError(
                                     [&] { return KspEnumAlgorithms(pProvider->GetHandle(), 0, &cb, nullptr, 0); }))
            << c.pszWhat;
    }
}

TEST_F(KspEntries, KeyHandlesAreValidOnlyUnderTheirOwnProvider)
{
    FakeProvider *pProviderA = InstallFakeProvider();
    FakeProvider *pProviderB = InstallFakeProvider();
    FakeKey *pKey = AddFakeKey(pProviderA);
    for (SECURITY_STATUS status : CallKeyEntries(pProviderB->GetHandle(), pKey->GetHandle())) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, status);
    }
    EXPECT_TRUE(pKey->calls.empty());
    EXPECT_TRUE(m_journal.empty()) << "nothing was closed or destroyed";
}

TEST_F(KspEntries, FreedKeysAndProvidersAreInvalidHandles)
{
    FakeProvider *pProvider = InstallFakeProvider();
    const NCRYPT_PROV_HANDLE hProvider = pProvider->GetHandle();
    FakeKey *pFreedKey = AddFakeKey(pProvider);
    const NCRYPT_KEY_HANDLE hFreedKey = pFreedKey->GetHandle();
    const NCRYPT_KEY_HANDLE hKey = AddFakeKey(pProvider)->GetHandle();

    EXPECT_STATUS(0, KspFreeKey(hProvider, hFreedKey));
    for (SECURITY_STATUS status : CallKeyEntries(hProvider, hFreedKey)) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, status);
    }

    EXPECT_STATUS(0, KspFreeProvider(hProvider));
    EXPECT_EQ((Journal{{"key closed", hFreedKey},
                       {"key destroyed", hFreedKey},
                       {"provider closed", hProvider},
                       {"provider destroyed", hProvider},
                       {"key destroyed", hKey}}),
              m_journal);
    for (SECURITY_STATUS status : CallKeyEntries(hProvider, hKey)) {
        EXPECT_STATUS(NTE_INVALID_HANDLE, status);
    }
    EXPECT_STATUS(NTE_INVALID_HANDLE, KspFreeProvider(hProvider));
    DWORD cb = 0;
    EXPECT_STATUS(NTE_INVALID_HANDLE, KspEnumAlgorithms(hProvider, 0, &cb, nullptr, 0));
}

TEST_F(KspEntries, NullMapEntriesAreInternalErrors)
{
    unit::ProvidersOf(*CKspProviderManager::GetInstance())[0x40] = nullptr;
    EXPECT_STATUS(NTE_INTERNAL_ERROR, KspFreeProvider(0x40));
    DWORD cb = 0;
    EXPECT_STATUS(NTE_INTERNAL_ERROR, KspEnumAlgorithms(0x40, 0, &cb, nullptr, 0));
    unit::ProvidersOf(*CKspProviderManager::GetInstance()).erase(0x40);

    FakeProvider *pProvider = InstallFakeProvider();
    unit::KeysOf(*pProvider)[0x80] = nullptr;
    for (SECURITY_STATUS status : CallKeyEntries(pProvider->GetHandle(), 0x80)) {
        EXPECT_STATUS(NTE_INTERNAL_ERROR, status);
    }
    unit::KeysOf(*pProvider).erase(0x80);
}

TEST_F(KspEntries, TwoThreadsNeverOverlapInsideTheEntries)
{
    FakeProvider *pProvider = InstallFakeProvider();
    FakeKey *pFirstKey = AddFakeKey(pProvider);
    FakeKey *pSecondKey = AddFakeKey(pProvider);

    std::atomic<bool> fFirstInside{false};
    std::atomic<bool> fSecondCalling{false};
    std::atomic<bool> fOverlap{false};
    pFirstKey->fnAct = [&] {
        fFirstInside = true;
        while (!fSecondCalling.load()) {
            std::this_thread::yield();
        }
        // The second thread is in its entry call now: give it every chance
        // to get into its operation while this one is still running.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        fFirstInside = false;
    };
    pSecondKey->fnAct = [&] {
        if (fFirstInside.load()) {
            fOverlap = true;
        }
    };

    BYTE rgb[4] = {};
    DWORD cb = 0;
    std::thread first([&] {
        EXPECT_STATUS(0, KspSignHash(pProvider->GetHandle(), pFirstKey->GetHandle(), nullptr, rgb, 4, rgb, 4, &cb, 2));
    });
    while (!fFirstInside.load()) {
        std::this_thread::yield();
    }
    std::thread second([&] {
        DWORD cbSecond = 0;
        BYTE rgbSecond[4] = {};
        fSecondCalling = true;
        EXPECT_STATUS(0, KspEncrypt(pProvider->GetHandle(), pSecondKey->GetHandle(), rgbSecond, 4, nullptr, rgbSecond,
                                    4, &cbSecond, 2));
    });
    first.join();
    second.join();
    EXPECT_FALSE(fOverlap.load());
    EXPECT_EQ(1u, pFirstKey->calls.size());
    EXPECT_EQ(1u, pSecondKey->calls.size());
}

} // namespace
