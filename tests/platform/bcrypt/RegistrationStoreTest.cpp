// The provider configuration on disk and under the test controls: it lives
// with the key store and outlives the process that wrote it; injected failures
// change nothing and every call is logged.
#include "RegistrationTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

namespace bcrypt_test
{
namespace
{

TEST_F(RegistrationTest, RegistrationsLiveWithTheKeyStoreAndOutliveTheProcess)
{
    // Registered by a child process; looking creates nothing.
    const std::string strNested = m_strStore + "/not/yet/there";
    QvnPlatformSetStoreDirectory(strNested.c_str());
    EXPECT_EQ(kNotFound, Query(kSample));
    EXPECT_FALSE(std::filesystem::exists(strNested));
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(Register(kSample, 0, Sample()) == STATUS_SUCCESS ? 0 : 1);
    }
    int iStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &iStatus, 0));
    ASSERT_EQ(0, WEXITSTATUS(iStatus));
    EXPECT_TRUE(std::filesystem::is_regular_file(strNested + "/cng-providers/providers"));
    EXPECT_EQ(kSampleKeyStorage, Query(kSample));

    // Another key store has a configuration of its own.
    QvnPlatformSetStoreDirectory(m_strStore.c_str());
    EXPECT_EQ(kNotFound, Query(kSample));
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));
}

TEST_F(RegistrationTest, InjectedFailureIsReturnedAndChangesNothing)
{
    QvnPlatformFailCall("BCryptRegisterProvider", 2, static_cast<DWORD>(STATUS_NO_MEMORY));
    EXPECT_EQ(STATUS_SUCCESS, Register(u"First", 0, Sample()));
    EXPECT_EQ(STATUS_NO_MEMORY, Register(kSample, CRYPT_OVERWRITE, Sample()));
    EXPECT_EQ(kNotFound, Query(kSample));
    QvnPlatformFailCall("BCryptRegisterProvider", 1, 0x00000103); // a status that is no error, returned as it is
    EXPECT_EQ(0x00000103, Register(kSample, 0, Sample()));
    EXPECT_EQ(kNotFound, Query(kSample));
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, 0, Sample()));

    QvnPlatformFailCall("BCryptUnregisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    QvnPlatformFailCall("BCryptQueryProviderRegistration", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    EXPECT_EQ(STATUS_ACCESS_DENIED, BCryptUnregisterProvider(kSample));
    EXPECT_EQ("status 0xC0000022", Query(kSample));
    EXPECT_EQ(kSampleKeyStorage, Query(kSample));
    EXPECT_EQ(kSampleKeyStorage, Query(u"First"));
}

TEST_F(RegistrationTest, CallLogRecordsNameFlagsAndOutcomeAndLastErrorIsLeftAlone)
{
    SetLastError(0x1234ABCD);
    ASSERT_EQ(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, Sample()));
    ASSERT_EQ(STATUS_OBJECT_NAME_COLLISION, Register(kSample, 0, Sample()));
    ASSERT_EQ(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(nullptr, CRYPT_OVERWRITE, nullptr));
    QvnPlatformFailCall("BCryptUnregisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    ASSERT_EQ(STATUS_ACCESS_DENIED, BCryptUnregisterProvider(kSample));
    ULONG cbBuffer = 0;
    ASSERT_EQ(STATUS_BUFFER_TOO_SMALL,
              BCryptQueryProviderRegistration(kSample, CRYPT_MM, BCRYPT_CIPHER_INTERFACE, &cbBuffer, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, BCryptUnregisterProvider(kSample));
    EXPECT_EQ(0x1234ABCDu, GetLastError());

    const struct {
        const char *pszFunction;
        const char16_t *pszProvider;
        DWORD dwFlags, dwParam;
        NTSTATUS status;
    } expected[] = {
        {"BCryptRegisterProvider", kSample, CRYPT_OVERWRITE, 0, STATUS_SUCCESS},
        {"BCryptRegisterProvider", kSample, 0, 0, STATUS_OBJECT_NAME_COLLISION},
        {"BCryptRegisterProvider", u"", CRYPT_OVERWRITE, 0, STATUS_INVALID_PARAMETER},
        {"BCryptUnregisterProvider", kSample, 0, 0, STATUS_ACCESS_DENIED},
        {"BCryptQueryProviderRegistration", kSample, CRYPT_MM, BCRYPT_CIPHER_INTERFACE, STATUS_BUFFER_TOO_SMALL},
        {"BCryptUnregisterProvider", kSample, 0, 0, STATUS_SUCCESS},
    };
    ASSERT_EQ(6u, QvnPlatformGetCallCount());
    for (DWORD i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        QVN_CALL_RECORD record;
        ASSERT_TRUE(QvnPlatformGetCall(i, &record));
        EXPECT_STREQ(expected[i].pszFunction, record.szFunction);
        EXPECT_EQ(std::u16string(expected[i].pszProvider), std::u16string(record.szProvider));
        EXPECT_EQ(expected[i].dwFlags, record.dwFlags);
        EXPECT_EQ(expected[i].dwParam, record.dwParam);
        EXPECT_EQ(0u, record.cbData);
        EXPECT_EQ(expected[i].status == STATUS_SUCCESS, record.fSucceeded != FALSE);
        EXPECT_EQ(expected[i].status == STATUS_SUCCESS ? 0u : static_cast<DWORD>(expected[i].status), record.dwError);
    }
    EXPECT_EQ(3u, QvnPlatformCountCalls("BCryptRegisterProvider"));
}

} // namespace
} // namespace bcrypt_test
