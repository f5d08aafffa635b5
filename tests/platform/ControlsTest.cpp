// The stand-in's test controls, on which the other suites build their
// verdicts: injected failures (with error 0 too), the call log, live handle
// counts, the module's allocation counts, failures and wiping records, the
// emulated Windows version, assertion reports and prompt marks.
#include <TestSupport.h>
#include <qvnplatform.h>

#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <gtest/gtest.h>

#include <cstring>

// In a library linked as the module is: malloc(cb) filled with bFill, and free.
extern "C" void *WrappedAllocate(size_t cb, unsigned char bFill);
extern "C" void WrappedFree(void *pv);

using namespace qvntest;

namespace
{

class ControlsTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"c", AT_KEYEXCHANGE, CachedTestKey(1024)));
        ASSERT_TRUE(CryptAcquireContextW(&m_hProv, u"c", kAlderProvider, PROV_RSA_FULL, 0));
        QvnPlatformClearCallLog();
    }
    void TearDown() override
    {
        CryptReleaseContext(m_hProv, 0);
        StoreTest::TearDown();
    }
    // Makes and destroys a hash: "ok", or "error <last error>" with nothing made or written.
    std::string CreateHash()
    {
        const LONG cHashes = QvnPlatformLiveHashes();
        HCRYPTHASH hHash = 0x77;
        SetLastError(0x5EED);
        if (!CryptCreateHash(m_hProv, CALG_SHA1, 0, 0, &hHash)) {
            EXPECT_EQ(0x77u, hHash);
            EXPECT_EQ(cHashes, QvnPlatformLiveHashes());
            return "error " + std::to_string(GetLastError());
        }
        CryptDestroyHash(hHash);
        return "ok";
    }
    HCRYPTPROV m_hProv = 0;
};

TEST_F(ControlsTest, InjectedFailureFailsTheNthCallOnceWithItsErrorAndNoEffect)
{
    QvnPlatformFailCall("CryptCreateHash", 1, 11);
    QvnPlatformFailCall("CryptCreateHash", 3, 0);  // fails all the same, with a last error of 0
    QvnPlatformFailCall("CryptCreateHash", 5, 51); // two due on the same call: once, with the first error
    QvnPlatformFailCall("CryptCreateHash", 5, 52);
    QvnPlatformFailCall("CryptCreatehash", 1, 7); // names compare exactly
    QvnPlatformFailCall("CryptCreateHash", 0, 7); // the zeroth call and a null name are ignored
    QvnPlatformFailCall(nullptr, 1, 7);
    for (const char *pszExpected : {"error 11", "ok", "error 0", "ok", "error 51", "ok"}) {
        EXPECT_EQ(pszExpected, CreateHash());
    }
    QvnPlatformFailCall("CryptCreateHash", 1, 7);
    QvnPlatformClearFailures();
    EXPECT_EQ("ok", CreateHash());
    QvnPlatformFailCall("CryptCreateHash", 1, 7);
    QvnPlatformReset();
    EXPECT_EQ("ok", CreateHash());

    // A failed acquisition creates nothing; a failed release keeps the context.
    const LONG cContexts = QvnPlatformLiveContexts();
    QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));
    HCRYPTPROV hProv = 0x11;
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"new", kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL), GetLastError());
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"new", kAlderProvider, PROV_RSA_FULL, 0));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
    EXPECT_EQ(0x11u, hProv);
    QvnPlatformFailCall("CryptReleaseContext", 1, static_cast<DWORD>(NTE_FAIL));
    EXPECT_FALSE(CryptReleaseContext(m_hProv, 0));
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
    EXPECT_EQ("ok", CreateHash());

    // bcrypt returns the injected status as it is, even one that is no error, and registers nothing.
    CRYPT_PROVIDER_REG reg = {0, nullptr, nullptr, nullptr};
    QvnPlatformFailCall("BCryptRegisterProvider", 1, 0x00000103);
    EXPECT_EQ(0x00000103, BCryptRegisterProvider(u"Sample", 0, &reg));
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample"));
}

TEST_F(ControlsTest, CallLogRecordsArgumentsAndOutcomesInOrder)
{
    HCRYPTKEY hKey = 0, hMissing = 0;
    HCRYPTHASH hHash = 0;
    HCRYPTPROV hNull = 0;
    ASSERT_TRUE(CryptGetUserKey(m_hProv, AT_KEYEXCHANGE, &hKey));
    EXPECT_FALSE(CryptGetUserKey(m_hProv, AT_SIGNATURE, &hMissing));
    ASSERT_TRUE(CryptCreateHash(m_hProv, CALG_SHA_256, 0, 0, &hHash));
    const Bytes value(32, 3);
    ASSERT_TRUE(CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0));
    Bytes signature(128), buffer(128);
    DWORD cbSignature = 128, cbData = 5;
    ASSERT_TRUE(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, CRYPT_NOHASHOID, signature.data(), &cbSignature));
    ASSERT_TRUE(CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, 128));
    ASSERT_TRUE(CryptDestroyHash(hHash) && CryptDestroyKey(hKey));
    ASSERT_TRUE(CryptAcquireContextW(&hNull, nullptr, kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(hNull, 0));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(u"Sample", CRYPT_OVERWRITE, nullptr));

    const auto Name = [&](ULONG_PTR h) {
        return h == m_hProv ? "prov" : h == hKey ? "key" : h == hHash ? "hash" : h == hNull ? "null" : "?";
    };
    const std::vector<std::string> expected = {
        "CryptGetUserKey spec=1 prov ok",
        "CryptGetUserKey spec=2 prov error=8009000d",
        "CryptCreateHash alg=800c prov ok",
        "CryptSetHashParam param=2 cb=20 hash ok",
        "CryptSignHashW flags=1 spec=1 cb=80 hash ok",
        "CryptEncrypt cb=5 buf=80 key ok",
        "CryptDestroyHash hash ok",
        "CryptDestroyKey key ok",
        "CryptAcquireContextW Quorvane Cedar Cryptographic Provider, no container type=18 flags=f0000000 null ok",
        "CryptReleaseContext null ok",
        "BCryptRegisterProvider Sample flags=1 ? error=c000000d",
    };
    ASSERT_EQ(expected.size(), QvnPlatformGetCallCount());
    QVN_CALL_RECORD r;
    for (DWORD i = 0; i < expected.size() && QvnPlatformGetCall(i, &r); ++i) {
        std::string str = r.szFunction;
        str += r.szProvider[0] != 0 ? " " + Narrow(r.szProvider) + (r.fContainerNull ? ", no container" : "") : "";
        const std::pair<const char *, DWORD> fields[] = {
            {"type", r.dwProvType}, {"flags", r.dwFlags}, {"spec", r.dwKeySpec}, {"alg", r.dwAlgId},
            {"param", r.dwParam},   {"cb", r.cbData},     {"buf", r.dwBufLen}};
        for (const auto &field : fields) {
            char sz[32];
            std::snprintf(sz, sizeof(sz), " %s=%x", field.first, static_cast<unsigned>(field.second));
            str += field.second != 0 ? sz : "";
        }
        char szError[32];
        std::snprintf(szError, sizeof(szError), " error=%x", static_cast<unsigned>(r.dwError));
        EXPECT_EQ(expected[i], str + " " + Name(r.hHandle) + (r.fSucceeded ? " ok" : szError)) << i;
    }
    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptGetUserKey"));
    EXPECT_FALSE(QvnPlatformGetCall(11, &r));
    QvnPlatformClearCallLog();
    EXPECT_EQ(0u, QvnPlatformGetCallCount() + QvnPlatformCountCalls("CryptGetUserKey"));
}

// Releasing a context takes its keys and hashes with it; failed calls leave nothing.
TEST_F(ControlsTest, LiveHandleCountsFollowCreationReleaseAndFailures)
{
    const auto Live = [] {
        return std::vector<LONG>{QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes()};
    };
    const std::vector<LONG> before = Live();
    HCRYPTPROV hProv = 0, hFailed = 0;
    HCRYPTKEY hKey = 0, hFailedKey = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"c", kAlderProvider, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey) && CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash));
    EXPECT_FALSE(CryptAcquireContextW(&hFailed, u"absent", kAlderProvider, PROV_RSA_FULL, 0));
    EXPECT_FALSE(CryptGetUserKey(hProv, AT_SIGNATURE, &hFailedKey));
    EXPECT_FALSE(CryptCreateHash(hProv, CALG_SHA1, 0, 1, &hHash));
    EXPECT_EQ((std::vector<LONG>{before[0] + 1, before[1] + 2, before[2] + 1}), Live());
    EXPECT_TRUE(CryptDestroyKey(hKey));
    EXPECT_EQ(before[1] + 1, QvnPlatformLiveKeys());
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
    EXPECT_EQ(before, Live());
}

TEST(ModuleAllocTest, MallocsAreCountedTheNthFailsOnceAndFreesRecordSizeAndWiping)
{
    QvnPlatformReset();
    const LONG cLiveAtStart = QvnPlatformModuleLiveBlocks();
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformFailModuleMalloc(3);
    void *rgpv[4];
    for (unsigned char i = 0; i < 4; ++i) {
        rgpv[i] = WrappedAllocate(16 + i, i == 1 ? 0 : 0xA5);
    }
    EXPECT_EQ(nullptr, rgpv[2]) << "the third";
    EXPECT_TRUE(rgpv[0] && rgpv[1] && rgpv[3]);
    EXPECT_EQ(4u, QvnPlatformModuleMallocCount()) << "a failed malloc counts";
    EXPECT_EQ(3, QvnPlatformModuleLiveBlocks() - cLiveAtStart);
    std::memset(rgpv[3], 0, 18);       // one byte of 19 left unwiped
    void *pvForeign = std::malloc(24); // not through the wrapped library: not the module's
    for (void *pv : {rgpv[0], rgpv[1], rgpv[2], rgpv[3], pvForeign}) {
        WrappedFree(pv);
    }
    QvnPlatformTrackModuleFrees(FALSE);
    WrappedFree(WrappedAllocate(8, 0));
    EXPECT_EQ(0, QvnPlatformModuleLiveBlocks() - cLiveAtStart);
    std::string strFrees;
    SIZE_T cb = 0;
    BOOL fZero = FALSE;
    for (DWORD i = 0; QvnPlatformGetModuleFree(i, &cb, &fZero); ++i) {
        strFrees += std::to_string(cb) + (fZero ? " zero, " : ", ");
    }
    EXPECT_EQ("16, 17 zero, 19, ", strFrees) << "only the module's blocks while tracking";
    QvnPlatformResetModuleCounters();
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount() + QvnPlatformModuleFreeCount());
    QvnPlatformFailModuleMalloc(1);
    QvnPlatformReset();
    void *pv = WrappedAllocate(8, 0);
    EXPECT_NE(nullptr, pv) << "the reset cancelled the failure";
    WrappedFree(pv);
}

TEST(VersionTest, VerifyVersionInfoComparesWithTheEmulatedVersion)
{
    const struct {
        DWORD dwMajor, dwMinor; // emulated; 0.0: the default
        DWORD dwWantMajor, dwWantMinor;
        bool fAtLeast;
    } rgCases[] = {{0, 0, 10, 0, true}, {0, 0, 10, 1, false}, {6, 0, 6, 0, true},  {5, 2, 6, 0, false},
                   {6, 1, 6, 2, false}, {6, 3, 6, 2, true},   {10, 0, 6, 3, true}, {10, 0, 11, 0, false}};
    ULONGLONG ullConditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    ullConditions = VerSetConditionMask(ullConditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    for (const auto &c : rgCases) {
        QvnPlatformReset();
        if (c.dwMajor != 0) {
            QvnPlatformSetWindowsVersion(c.dwMajor, c.dwMinor);
        }
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = c.dwWantMajor;
        info.dwMinorVersion = c.dwWantMinor;
        SetLastError(0x5EA1);
        EXPECT_EQ(c.fAtLeast, VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, ullConditions) != 0)
            << c.dwMajor << "." << c.dwMinor << " >= " << c.dwWantMajor << "." << c.dwWantMinor;
        EXPECT_EQ(c.fAtLeast ? 0x5EA1u : static_cast<DWORD>(ERROR_OLD_WIN_VERSION), GetLastError());
    }
    QvnPlatformReset();
}

TEST(AssertTest, RecordModeKeepsTheCountAndTheLastReportUntilTheReset)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"first", u"unit", 1);
    _wassert(u"m_hObject != NULL", u"KspCAPIKeyContext", 455);
    WCHAR szMessage[32] = {}, szFile[32] = {};
    DWORD dwLine = 0;
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    EXPECT_EQ(u"KspCAPIKeyContext: m_hObject != NULL", std::u16string(szFile) + u": " + szMessage);
    EXPECT_EQ(2u, QvnPlatformAssertCount());
    EXPECT_EQ(455u, dwLine);
    QvnPlatformReset();
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_FALSE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(_wassert(u"m_hObject != NULL", u"mt", 311), "Assertion failed: m_hObject != NULL, file mt, line 311");
}

// A marked container fails a silent acquisition; without CRYPT_SILENT the stand-in answers the prompt.
TEST_F(ControlsTest, PromptMarkHoldsForItsKeySetUntilClearedOrReset)
{
    ASSERT_TRUE(
        CreateContainerWithKey(kAlderProvider, u"c", AT_KEYEXCHANGE, CachedTestKey(1024), CRYPT_MACHINE_KEYSET));
    const auto Acquire = [](DWORD dwFlags) {
        HCRYPTPROV hProv = 0;
        const DWORD dwError =
            CryptAcquireContextW(&hProv, u"c", kAlderProvider, PROV_RSA_FULL, dwFlags) ? 0 : GetLastError();
        CryptReleaseContext(hProv, 0);
        return dwError;
    };
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", 0, TRUE));
    EXPECT_EQ(static_cast<DWORD>(NTE_SILENT_CONTEXT), Acquire(CRYPT_SILENT));
    EXPECT_EQ(0u, Acquire(0));
    EXPECT_EQ(0u, Acquire(CRYPT_SILENT | CRYPT_MACHINE_KEYSET)) << "the other key set is not marked";
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", 0, FALSE));
    EXPECT_EQ(0u, Acquire(CRYPT_SILENT));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", CRYPT_MACHINE_KEYSET, TRUE));
    EXPECT_EQ(static_cast<DWORD>(NTE_SILENT_CONTEXT), Acquire(CRYPT_SILENT | CRYPT_MACHINE_KEYSET));
    QvnPlatformReset();
    EXPECT_EQ(0u, Acquire(CRYPT_SILENT | CRYPT_MACHINE_KEYSET));
    EXPECT_FALSE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"missing", 0, TRUE));
    EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
}

} // namespace
