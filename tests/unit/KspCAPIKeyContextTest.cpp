// The CAPI key object: opening a container's key pair, what reaches
// CryptoAPI, how its failures come back, the key length, and releasing each
// CryptoAPI handle exactly once.
#include "CapiTestSupport.h"

#include "ksp/KspInterface.h"
#include "provider/KspProviderManager.h"

#include <memory>

namespace
{

using unit::CallLog;
using unit::CallNames;
using unit::CapiKeyOf;
using unit::kAlder;
using unit::KeyContextOf;
using unit::StatusOf;

constexpr LPCWSTR kContainer = TEXT("unit key");

class KspCAPIKeyContext : public unit::CapiTest
{
protected:
    void SetUp() override
    {
        unit::CapiTest::SetUp();
        MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024));
        QvnPlatformClearCallLog();
    }

    // Status of Open on a fresh key object of kContainer in Alder.
    LONG OpenStatus(CKspCapiKeyContext &key, DWORD dwFlags)
    {
        return StatusOf([&] { key.Open(dwFlags, KSP_WSTRING(kAlder), PROV_RSA_FULL); });
    }
};

TEST_F(KspCAPIKeyContext, ConstructionCallsNothingAndKeepsNameAndKeySpec)
{
    CKspCapiKeyContext key(KSP_WSTRING(TEXT("any name at all")), AT_SIGNATURE);
    EXPECT_EQ(KSP_WSTRING(TEXT("any name at all")), key.GetKeyName());
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), key.GetKeySpec());
    EXPECT_EQ(reinterpret_cast<NCRYPT_KEY_HANDLE>(&key), key.GetHandle());
    EXPECT_FALSE(key.IsMachineKey());
    EXPECT_FALSE(key.IsSilent());
    EXPECT_EQ(0u, KeyContextOf(key));
    EXPECT_EQ(0u, CapiKeyOf(key));
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPIKeyContext, OpenFlagsReachCryptoApiUnchanged)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, unit::KeyOfBits(1024), CRYPT_MACHINE_KEYSET);
    for (DWORD dwFlags : {0x00u, 0x20u, 0x40u, 0x60u}) {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        QvnPlatformClearCallLog();
        ASSERT_STATUS(0, OpenStatus(key, dwFlags)) << "flags " << dwFlags;

        const std::vector<QVN_CALL_RECORD> log = CallLog();
        ASSERT_EQ((std::vector<std::string>{"CryptAcquireContextW", "CryptGetUserKey"}), CallNames());
        EXPECT_EQ(dwFlags, log[0].dwFlags);
        EXPECT_EQ(std::u16string(kContainer), unit::ContainerOf(log[0]));
        EXPECT_FALSE(log[0].fContainerNull);
        EXPECT_EQ(std::u16string(kAlder), unit::ProviderOf(log[0]));
        EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), log[0].dwProvType);
        EXPECT_EQ(KeyContextOf(key), log[1].hHandle);
        EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), log[1].dwKeySpec);
        EXPECT_NE(0u, KeyContextOf(key));
        EXPECT_NE(0u, CapiKeyOf(key));

        EXPECT_EQ((dwFlags & 0x20) != 0, key.IsMachineKey());
        EXPECT_EQ((dwFlags & 0x40) != 0, key.IsSilent());
    }
}

TEST_F(KspCAPIKeyContext, UnknownOpenFlagsAreRefusedBeforeCryptoApi)
{
    for (DWORD dwFlags : {0x01u, 0x02u, 0x08u, 0x61u, 0x80u, 0x10000u, CRYPT_VERIFYCONTEXT, 0xFFFFFFFFu}) {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        EXPECT_STATUS(NTE_BAD_FLAGS, OpenStatus(key, dwFlags)) << "flags " << dwFlags;
        EXPECT_FALSE(key.IsMachineKey());
        EXPECT_FALSE(key.IsSilent());
        EXPECT_EQ(0u, KeyContextOf(key));
    }
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
}

TEST_F(KspCAPIKeyContext, SetOpenFlagsRecordsSetBitsAndKeepsTheOthers)
{
    CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
    key.SetOpenFlags(NCRYPT_MACHINE_KEY_FLAG);
    EXPECT_TRUE(key.IsMachineKey());
    EXPECT_FALSE(key.IsSilent());
    key.SetOpenFlags(NCRYPT_SILENT_FLAG);
    EXPECT_TRUE(key.IsMachineKey()) << "a clear bit leaves its flag as it was";
    EXPECT_TRUE(key.IsSilent());
    key.SetOpenFlags(0);
    EXPECT_TRUE(key.IsMachineKey());
    EXPECT_TRUE(key.IsSilent());

    CKspCapiKeyContext other(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
    EXPECT_STATUS(NTE_BAD_FLAGS, StatusOf([&] { other.SetOpenFlags(NCRYPT_SILENT_FLAG | 0x100); }));
    EXPECT_FALSE(other.IsSilent()) << "a refused value changes nothing";
}

TEST_F(KspCAPIKeyContext, MissingContainerIsBadKeyset)
{
    const unit::LiveHandles before = unit::LiveNow();
    CKspCapiKeyContext key(KSP_WSTRING(TEXT("no such container")), AT_KEYEXCHANGE);
    EXPECT_STATUS(NTE_BAD_KEYSET, OpenStatus(key, 0));
    EXPECT_EQ(0u, KeyContextOf(key));
    EXPECT_EQ(before, unit::LiveNow());
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptGetUserKey"));
}

struct FailureCase {
    DWORD dwError;
    LONG lStatus;
};

TEST_F(KspCAPIKeyContext, AcquireFailuresTranslateOnlyKeysetNotDefined)
{
    const FailureCase rgCases[] = {
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET},
        {static_cast<DWORD>(NTE_BAD_KEYSET), NTE_BAD_KEYSET},
        {static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {static_cast<DWORD>(NTE_NO_KEY), NTE_NO_KEY}, // translated only from CryptGetUserKey
        {static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH), NTE_PROV_TYPE_NO_MATCH},
        {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    const unit::LiveHandles before = unit::LiveNow();
    for (const FailureCase &c : rgCases) {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        QvnPlatformClearCallLog();
        QvnPlatformFailCall("CryptAcquireContextW", 1, c.dwError);
        EXPECT_STATUS(c.lStatus, OpenStatus(key, 0)) << unit::Status{static_cast<LONG>(c.dwError)};
        EXPECT_EQ((std::vector<std::string>{"CryptAcquireContextW"}), CallNames());
        EXPECT_EQ(0u, KeyContextOf(key));
        EXPECT_EQ(before, unit::LiveNow());
    }
}

TEST_F(KspCAPIKeyContext, GetUserKeyFailuresTranslateOnlyNoKeyAndKeepTheContextUntilDestroyed)
{
    const FailureCase rgCases[] = {
        {static_cast<DWORD>(NTE_NO_KEY), NTE_BAD_KEYSET},
        {static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF}, // translated only from the acquisition
        {static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED},
        {static_cast<DWORD>(NTE_FAIL), NTE_FAIL},
    };
    const unit::LiveHandles before = unit::LiveNow();
    for (const FailureCase &c : rgCases) {
        std::unique_ptr<CKspCapiKeyContext> pKey(new CKspCapiKeyContext(KSP_WSTRING(kContainer), AT_KEYEXCHANGE));
        QvnPlatformFailCall("CryptGetUserKey", 1, c.dwError);
        EXPECT_STATUS(c.lStatus, OpenStatus(*pKey, 0)) << unit::Status{static_cast<LONG>(c.dwError)};
        const HCRYPTPROV hContext = KeyContextOf(*pKey);
        EXPECT_NE(0u, hContext) << "half open: the context stays until the object goes";
        EXPECT_EQ(0u, CapiKeyOf(*pKey));

        QvnPlatformClearCallLog();
        pKey.reset();
        EXPECT_EQ((std::vector<std::string>{"CryptReleaseContext"}), CallNames());
        EXPECT_EQ(1u, unit::CountCallsOn("CryptReleaseContext", hContext));
        EXPECT_EQ(before, unit::LiveNow());
    }
}

TEST_F(KspCAPIKeyContext, ContainerWithoutTheRequestedPairIsBadKeyset)
{
    MakeContainer(kAlder, TEXT("signature only"), AT_SIGNATURE, unit::KeyOfBits(1024));
    const unit::LiveHandles before = unit::LiveNow();
    {
        CKspCapiKeyContext key(KSP_WSTRING(TEXT("signature only")), AT_KEYEXCHANGE);
        EXPECT_STATUS(NTE_BAD_KEYSET, OpenStatus(key, 0));
    }
    EXPECT_EQ(before, unit::LiveNow());
    CKspCapiKeyContext key(KSP_WSTRING(TEXT("signature only")), AT_SIGNATURE);
    EXPECT_STATUS(0, OpenStatus(key, 0));
}

TEST_F(KspCAPIKeyContext, SilentOpenOfAContainerThatWantsAPromptIsUiRequired)
{
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlder, kContainer, 0, TRUE));
    const unit::LiveHandles before = unit::LiveNow();
    {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        EXPECT_STATUS(NTE_UI_REQUIRED, OpenStatus(key, NCRYPT_SILENT_FLAG));
        EXPECT_STATUS(NTE_UI_REQUIRED, OpenStatus(key, NCRYPT_SILENT_FLAG)) << "a failed open can be retried";
    }
    EXPECT_EQ(before, unit::LiveNow());
    CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
    EXPECT_STATUS(0, OpenStatus(key, 0)) << "without the silent flag the prompt is answered";
}

TEST_F(KspCAPIKeyContext, KeyByteLengthIsAskedOfCryptoApiEveryTime)
{
    struct Case {
        DWORD dwBits;
        DWORD cbKey;
    } const rgCases[] = {{1023, 128}, {1024, 128}, {2048, 256}, {4096, 512}};
    for (const Case &c : rgCases) {
        const std::u16string strName = u"bits " + qvntest::Wide(std::to_string(c.dwBits));
        MakeContainer(kAlder, strName.c_str(), AT_KEYEXCHANGE, unit::KeyOfBits(c.dwBits));
        std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, strName.c_str(), AT_KEYEXCHANGE);
        ASSERT_NE(nullptr, pKey);

        QvnPlatformClearCallLog();
        DWORD cbFirst = 0;
        DWORD cbSecond = 0;
        EXPECT_STATUS(0, StatusOf([&] { cbFirst = pKey->GetKeyByteLength(); }));
        EXPECT_STATUS(0, StatusOf([&] { cbSecond = pKey->GetKeyByteLength(); }));
        EXPECT_EQ(c.cbKey, cbFirst) << c.dwBits << " bits";
        EXPECT_EQ(c.cbKey, cbSecond);

        const std::vector<QVN_CALL_RECORD> log = CallLog();
        ASSERT_EQ((std::vector<std::string>{"CryptGetKeyParam", "CryptGetKeyParam"}), CallNames());
        for (const QVN_CALL_RECORD &record : log) {
            EXPECT_EQ(static_cast<DWORD>(KP_KEYLEN), record.dwParam);
            EXPECT_EQ(CapiKeyOf(*pKey), record.hHandle);
        }
    }
}

TEST_F(KspCAPIKeyContext, KeyByteLengthFailureCarriesTheLastError)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, kContainer, AT_KEYEXCHANGE);
    ASSERT_NE(nullptr, pKey);
    QvnPlatformFailCall("CryptGetKeyParam", 1, static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_STATUS(NTE_BAD_KEY, StatusOf([&] { pKey->GetKeyByteLength(); }));
    QvnPlatformFailCall("CryptGetKeyParam", 1, static_cast<DWORD>(NTE_SILENT_CONTEXT));
    EXPECT_STATUS(NTE_UI_REQUIRED, StatusOf([&] { pKey->GetKeyByteLength(); }));
    DWORD cbKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { cbKey = pKey->GetKeyByteLength(); }));
    EXPECT_EQ(128u, cbKey);
}

TEST_F(KspCAPIKeyContext, CloseDestroysTheKeyThenReleasesTheContextOnce)
{
    const unit::LiveHandles before = unit::LiveNow();
    std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, kContainer, AT_KEYEXCHANGE);
    ASSERT_NE(nullptr, pKey);
    const HCRYPTPROV hContext = KeyContextOf(*pKey);
    const HCRYPTKEY hCapiKey = CapiKeyOf(*pKey);

    QvnPlatformClearCallLog();
    pKey->Close();
    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ((std::vector<std::string>{"CryptDestroyKey", "CryptReleaseContext"}), CallNames());
    EXPECT_EQ(hCapiKey, log[0].hHandle);
    EXPECT_EQ(hContext, log[1].hHandle);
    EXPECT_EQ(0u, log[1].dwFlags);
    EXPECT_EQ(0u, KeyContextOf(*pKey));
    EXPECT_EQ(0u, CapiKeyOf(*pKey));
    EXPECT_EQ(before, unit::LiveNow());

    pKey->Close();
    pKey.reset();
    EXPECT_EQ(2u, QvnPlatformGetCallCount()) << "a second Close and the destructor release nothing again";
}

TEST_F(KspCAPIKeyContext, DestructorCloses)
{
    const unit::LiveHandles before = unit::LiveNow();
    std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, kContainer, AT_KEYEXCHANGE);
    ASSERT_NE(nullptr, pKey);
    const HCRYPTPROV hContext = KeyContextOf(*pKey);
    const HCRYPTKEY hCapiKey = CapiKeyOf(*pKey);
    QvnPlatformClearCallLog();
    pKey.reset();
    EXPECT_EQ((std::vector<std::string>{"CryptDestroyKey", "CryptReleaseContext"}), CallNames());
    EXPECT_EQ(1u, unit::CountCallsOn("CryptDestroyKey", hCapiKey));
    EXPECT_EQ(1u, unit::CountCallsOn("CryptReleaseContext", hContext));
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPIKeyContext, EachKeyObjectHasItsOwnHandles)
{
    std::unique_ptr<CKspCapiKeyContext> pFirst = OpenKeyObject(kAlder, kContainer, AT_KEYEXCHANGE);
    std::unique_ptr<CKspCapiKeyContext> pSecond = OpenKeyObject(kAlder, kContainer, AT_KEYEXCHANGE);
    ASSERT_NE(nullptr, pFirst);
    ASSERT_NE(nullptr, pSecond);
    EXPECT_NE(KeyContextOf(*pFirst), KeyContextOf(*pSecond));
    EXPECT_NE(CapiKeyOf(*pFirst), CapiKeyOf(*pSecond));
    pFirst.reset();
    DWORD cbKey = 0;
    EXPECT_STATUS(0, StatusOf([&] { cbKey = pSecond->GetKeyByteLength(); }));
    EXPECT_EQ(128u, cbKey);
}

TEST_F(KspCAPIKeyContext, FreeKeyThenProviderReleasesEveryHandleOnce)
{
    const unit::LiveHandles before = unit::LiveNow();
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    CKspCapiKeyContext *pKey = nullptr;
    EXPECT_STATUS(0, StatusOf([&] {
                      pKey = dynamic_cast<CKspCapiKeyContext *>(
                          CKspProviderManager::GetInstance()->GetProvider(hProvider)->GetKey(hKey));
                  }));
    ASSERT_NE(nullptr, pKey);
    const HCRYPTPROV hContext = KeyContextOf(*pKey);
    const HCRYPTKEY hCapiKey = CapiKeyOf(*pKey);

    QvnPlatformClearCallLog();
    EXPECT_STATUS(0, KspFreeKey(hProvider, hKey));
    EXPECT_STATUS(0, KspFreeProvider(hProvider));
    EXPECT_EQ(1u, unit::CountCallsOn("CryptDestroyKey", hCapiKey));
    EXPECT_EQ(1u, unit::CountCallsOn("CryptReleaseContext", hContext));
    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptReleaseContext")) << "the key's context and the verification context";
    EXPECT_EQ(1u, QvnPlatformCountCalls("CryptDestroyKey"));
    EXPECT_EQ(before, unit::LiveNow());
}

TEST_F(KspCAPIKeyContext, OpeningAnOpenObjectIsReported)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    WCHAR szMessage[64] = {};
    WCHAR szFile[64] = {};
    DWORD dwLine = 0;
    {
        // A context already recorded: Open overwrites the stand-in value.
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        KeyContextOf(key) = 1;
        EXPECT_STATUS(0, OpenStatus(key, 0));
        EXPECT_EQ(1u, QvnPlatformAssertCount());
        ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine));
        EXPECT_EQ(u"m_hCapiProvider == NULL", std::u16string(szMessage));
        EXPECT_EQ(u"KspCAPIKeyContext", std::u16string(szFile));
        EXPECT_NE(0u, dwLine);
    }
    {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        CapiKeyOf(key) = 1;
        EXPECT_STATUS(0, OpenStatus(key, 0));
        EXPECT_EQ(2u, QvnPlatformAssertCount());
        ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine));
        EXPECT_EQ(u"m_hCapiKey == NULL", std::u16string(szMessage));
        EXPECT_EQ(u"KspCAPIKeyContext", std::u16string(szFile));
    }
}

} // namespace
