// The stand-in's test controls, on which the other suites build their
// verdicts: injected failures (error 0 too), the call log, live handle counts,
// the module's allocation counts, failures and wiping records, the emulated
// Windows version, assertion reports and prompt marks.
#include <TestSupport.h>
#include <qvnplatform.h>

#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <gtest/gtest.h>

#include <cstring>

// What the module's malloc and free are bound to: it is linked with --wrap=malloc,free.
extern "C" void *__wrap_malloc(size_t cb);
extern "C" void __wrap_free(void *pv);

using namespace qvntest;

namespace
{

// A context on a container with an exchange pair, and an empty call log.
class ControlsTest : public StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"c", AT_KEYEXCHANGE, CachedTestKey(1024)));
        ASSERT_TRUE(CryptAcquireContextW(&m_hProv, u"c", kAlderProvider, PROV_RSA_FULL, 0));
        QvnPlatformRecordCalls(TRUE);
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
            EXPECT_TRUE(hHash == 0x77 && cHashes == QvnPlatformLiveHashes());
            return "error " + std::to_string(GetLastError());
        }
        return CryptDestroyHash(hHash) ? "ok" : "not destroyed";
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

    // bcrypt returns the injected status as it is, even one that is no error, and registers nothing.
    CRYPT_IMAGE_REG image = {const_cast<PWSTR>(u"Sample.dll"), 0, nullptr};
    CRYPT_PROVIDER_REG reg = {0, nullptr, &image, nullptr};
    QvnPlatformFailCall("BCryptRegisterProvider", 1, 0x00000103);
    EXPECT_EQ(0x00000103, BCryptRegisterProvider(u"Sample", 0, &reg));
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample"));
    EXPECT_EQ(STATUS_SUCCESS, BCryptRegisterProvider(u"Sample", 0, &reg)) << "the record itself is valid";
}

// Every call is logged with its handle (a named container too) and outcome; live handle counts
// follow creation and release, and a released context takes its keys along.
TEST_F(ControlsTest, CallLogAndLiveHandleCountsFollowEveryCall)
{
    const auto Live = [] {
        return std::vector<LONG>{QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes()};
    };
    const std::vector<LONG> before = Live();
    HCRYPTKEY hKey = 0, hMissing = 0;
    HCRYPTHASH hHash = 0;
    HCRYPTPROV hNull = 0, hNamed = 0;
    Bytes value(32, 3), buffer(128);
    DWORD cbSignature = 128, cbData = 5;
    ASSERT_TRUE(CryptGetUserKey(m_hProv, AT_KEYEXCHANGE, &hKey) &&
                CryptCreateHash(m_hProv, CALG_SHA_256, 0, 0, &hHash));
    EXPECT_FALSE(CryptGetUserKey(m_hProv, AT_SIGNATURE, &hMissing));
    ASSERT_TRUE(CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0));
    ASSERT_TRUE(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, CRYPT_NOHASHOID, buffer.data(), &cbSignature));
    EXPECT_EQ((std::vector<LONG>{before[0], before[1] + 1, before[2] + 1}), Live());
    ASSERT_TRUE(CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, 128) && CryptDestroyHash(hHash));
    ASSERT_TRUE(CryptAcquireContextW(&hNull, nullptr, kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(u"Sample", CRYPT_OVERWRITE, nullptr));
    ASSERT_TRUE(CryptAcquireContextW(&hNamed, u"c", kAlderProvider, PROV_RSA_FULL, 0));
    const std::vector<std::string> expected = {
        "CryptGetUserKey prov ok",         "CryptCreateHash prov ok",      "CryptGetUserKey prov error=8009000d",
        "CryptSetHashParam hash ok",       "CryptSignHashW hash ok",       "CryptEncrypt key ok",
        "CryptDestroyHash hash ok",        "CryptAcquireContextW null ok", "BCryptRegisterProvider none error=c000000d",
        "CryptAcquireContextW c named ok",
    };
    ASSERT_EQ(expected.size(), QvnPlatformGetCallCount());
    QVN_CALL_RECORD r;
    for (DWORD i = 0; i < expected.size() && QvnPlatformGetCall(i, &r); ++i) {
        std::string str = r.szFunction + (r.szContainer[0] != 0 ? " " + Narrow(r.szContainer) : "");
        char sz[32];
        const ULONG_PTR h = r.hHandle;
        str += h == m_hProv  ? " prov"
               : h == hKey   ? " key"
               : h == hHash  ? " hash"
               : h == hNull  ? " null"
               : h == hNamed ? " named"
                             : " none";
        std::snprintf(sz, sizeof(sz), " error=%x", static_cast<unsigned>(r.dwError));
        EXPECT_EQ(expected[i], str + (r.fSucceeded ? " ok" : sz)) << i;
    }
    QvnPlatformClearCallLog();
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
    QvnPlatformRecordCalls(FALSE);
    EXPECT_TRUE(CryptGetUserKey(m_hProv, AT_KEYEXCHANGE, &hKey) && CryptDestroyKey(hKey));
    EXPECT_EQ(0u, QvnPlatformGetCallCount()) << "not recording";
    ASSERT_TRUE(CryptReleaseContext(m_hProv, 0) && CryptReleaseContext(hNull, 0) && CryptReleaseContext(hNamed, 0));
    m_hProv = 0;
    EXPECT_EQ((std::vector<LONG>{before[0] - 1, before[1], before[2]}), Live());
}

TEST(ModuleAllocTest, MallocsAreCountedTheNthFailsOnceAndFreesRecordSizeAndWiping)
{
    QvnPlatformReset();
    const LONG cLiveAtStart = QvnPlatformModuleLiveBlocks();
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformFailModuleMalloc(3);
    void *rgpv[4];
    for (size_t i = 0; i < 4; ++i) {
        rgpv[i] = __wrap_malloc(16 + i);
    }
    EXPECT_TRUE(rgpv[0] && rgpv[1] && !rgpv[2] && rgpv[3]) << "the third fails";
    EXPECT_EQ(4u, QvnPlatformModuleMallocCount()) << "a failed malloc counts";
    EXPECT_EQ(3, QvnPlatformModuleLiveBlocks() - cLiveAtStart);
    std::memset(rgpv[0], 0xA5, 16);
    std::memset(rgpv[1], 0, 17);
    std::memset(rgpv[3], 0, 18); // one byte of 19 left as it was
    static_cast<char *>(rgpv[3])[18] = 1;
    for (void *pv : {rgpv[0], rgpv[1], rgpv[2], rgpv[3], std::malloc(24)}) { // the last not the module's
        __wrap_free(pv);
    }
    QvnPlatformTrackModuleFrees(FALSE);
    __wrap_free(__wrap_malloc(8));
    EXPECT_EQ(0, QvnPlatformModuleLiveBlocks() - cLiveAtStart);
    std::string strFrees;
    SIZE_T cb = 0;
    BOOL fZero = FALSE;
    for (DWORD i = 0; QvnPlatformGetModuleFree(i, &cb, &fZero); ++i) {
        strFrees += std::to_string(cb) + (fZero ? " zero, " : ", ");
    }
    EXPECT_EQ("16, 17 zero, 19, ", strFrees) << "the module's blocks freed while tracking";
    QvnPlatformFailModuleMalloc(1);
    QvnPlatformReset(); // cancels the failure and clears the counts
    __wrap_free(rgpv[0] = __wrap_malloc(8));
    EXPECT_TRUE(rgpv[0] != nullptr && QvnPlatformModuleMallocCount() == 1 && !QvnPlatformGetModuleFree(0, &cb, &fZero));
}

// VerifyVersionInfoW answers for the emulated version, 10.0 unless set.
TEST(VersionTest, VerifyVersionInfoComparesWithTheEmulatedVersion)
{
    ULONGLONG ullConditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    ullConditions = VerSetConditionMask(ullConditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    const auto AtLeast = [&](DWORD dwMajor, DWORD dwMinor) {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        info.dwMajorVersion = dwMajor;
        info.dwMinorVersion = dwMinor;
        return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, ullConditions) != FALSE;
    };
    QvnPlatformSetWindowsVersion(6, 1);
    EXPECT_TRUE(AtLeast(6, 0) && AtLeast(6, 1) && !AtLeast(6, 2) && !AtLeast(7, 0));
    QvnPlatformSetWindowsVersion(5, 2);
    EXPECT_TRUE(AtLeast(5, 2) && !AtLeast(6, 0));
    QvnPlatformReset();
    EXPECT_TRUE(AtLeast(10, 0) && !AtLeast(10, 1));
    OSVERSIONINFOEXW info{};
    EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_EQUAL)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError()) << "a question it does not answer is refused";
}

TEST(AssertTest, RecordModeKeepsTheCountAndTheLastReportUntilTheResetThenAborts)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    _wassert(u"first", u"unit", 1);
    _wassert(u"m_hObject != NULL", u"KspCAPIKeyContext", 455);
    WCHAR szMessage[32] = {}, szFile[32] = {};
    DWORD dwLine = 0;
    ASSERT_TRUE(QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
    EXPECT_EQ(u"KspCAPIKeyContext:455: m_hObject != NULL",
              std::u16string(szFile) + u":" + Wide(std::to_string(dwLine)) + u": " + szMessage);
    EXPECT_EQ(2u, QvnPlatformAssertCount());
    QvnPlatformReset();
    EXPECT_FALSE(QvnPlatformAssertCount() != 0 || QvnPlatformGetLastAssert(szMessage, 32, szFile, 32, &dwLine));
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
        const DWORD dwError = CryptAcquireContextW(&hProv, u"c", kAlderProvider, 1, dwFlags) ? 0 : GetLastError();
        CryptReleaseContext(hProv, 0);
        return dwError;
    };
    const DWORD dwPrompt = static_cast<DWORD>(NTE_SILENT_CONTEXT), dwMachine = CRYPT_MACHINE_KEYSET;
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", 0, TRUE));
    EXPECT_EQ((std::vector<DWORD>{dwPrompt, 0, 0}),
              (std::vector<DWORD>{Acquire(CRYPT_SILENT), Acquire(0), Acquire(CRYPT_SILENT | dwMachine)}));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", 0, FALSE));
    EXPECT_EQ(0u, Acquire(CRYPT_SILENT));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"c", dwMachine, TRUE));
    QvnPlatformReset();
    EXPECT_EQ(0u, Acquire(CRYPT_SILENT | dwMachine));
    EXPECT_FALSE(QvnPlatformSetContainerNeedsPrompt(kAlderProvider, u"missing", 0, TRUE));
}

} // namespace
