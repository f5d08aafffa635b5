// The provider configuration on disk: it lives with the key store, outlives
// the process that wrote it, loses no change when threads and processes
// register at once, and refuses to work over a file it cannot read.
#include "RegistrationTestSupport.h"

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bcrypt_test
{
namespace
{

constexpr LPCWSTR kSample = TEXT("Sample Provider");

std::u16string NumberedName(const char *pszPrefix, int n)
{
    std::string str = std::string(pszPrefix) + std::to_string(n);
    return std::u16string(str.begin(), str.end());
}

std::string ReadFile(const std::string &strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs fnChild in a child process; its result is the child's exit code.
int RunInChild(const std::function<int()> &fnChild)
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(fnChild());
    }
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus)) {
        return -1;
    }
    return WEXITSTATUS(nStatus);
}

TEST_F(RegistrationTest, RegistrationsLiveInTheKeyStoreDirectory)
{
    EXPECT_FALSE(std::filesystem::exists(DataFile()));
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    EXPECT_TRUE(std::filesystem::is_regular_file(DataFile()));

    // Another key store has a configuration of its own.
    char szTemplate[] = "/tmp/qvn-bcrypt-other-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(szTemplate));
    const std::string strOther = szTemplate;
    QvnPlatformSetStoreDirectory(strOther.c_str());
    NTSTATUS status = 0;
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));

    QvnPlatformSetStoreDirectory(StoreDirectory().c_str());
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_SUCCESS, status);
    std::filesystem::remove_all(strOther);
}

TEST_F(RegistrationTest, KeyStoreDirectoryIsCreatedWhenMissing)
{
    const std::string strNested = StoreDirectory() + "/not/yet/there";
    QvnPlatformSetStoreDirectory(strNested.c_str());
    NTSTATUS status = 0;
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(STATUS_NOT_FOUND, status);
    EXPECT_FALSE(std::filesystem::exists(strNested)); // looking creates nothing

    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    EXPECT_TRUE(std::filesystem::is_regular_file(strNested + "/cng-providers/providers"));
}

TEST_F(RegistrationTest, RegistrationOutlivesTheProcessThatMadeIt)
{
    ASSERT_EQ(0, RunInChild([] { return Register(kSample, 0, SampleProvider()) == STATUS_SUCCESS ? 0 : 1; }));

    NTSTATUS status = 0;
    ProviderSpec expected = SampleProvider();
    expected.userMode->interfaces.pop_back();
    EXPECT_EQ(expected, Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status));
    EXPECT_NT(STATUS_SUCCESS, status);

    // And the other way round: what this process removes is gone for the next.
    ASSERT_NT(STATUS_SUCCESS, BCryptUnregisterProvider(kSample));
    EXPECT_EQ(0, RunInChild([] {
                  NTSTATUS childStatus = 0;
                  Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &childStatus);
                  return childStatus == STATUS_NOT_FOUND ? 0 : 1;
              }));
}

TEST_F(RegistrationTest, ConcurrentRegistrationsFromThreadsAreAllKept)
{
    constexpr int kThreads = 4;
    constexpr int kEach = 15;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kEach; ++i) {
                const std::u16string strName = NumberedName("Thread Provider ", t * kEach + i);
                if (Register(strName.c_str(), 0, SampleProvider()) != STATUS_SUCCESS) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    }
    for (int n = 0; n < kThreads * kEach; ++n) {
        NTSTATUS status = 0;
        Query(NumberedName("Thread Provider ", n).c_str(), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
        EXPECT_NT(STATUS_SUCCESS, status) << "provider " << n;
    }
}

TEST_F(RegistrationTest, ConcurrentRegistrationsFromTwoProcessesAreAllKept)
{
    constexpr int kEach = 30;
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    const char *pszPrefix = pid == 0 ? "Child Provider " : "Parent Provider ";
    int cFailures = 0;
    for (int i = 0; i < kEach; ++i) {
        const std::u16string strName = NumberedName(pszPrefix, i);
        if (Register(strName.c_str(), 0, SampleProvider()) != STATUS_SUCCESS) {
            ++cFailures;
        }
    }
    if (pid == 0) {
        _exit(cFailures == 0 ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(pid, waitpid(pid, &nStatus, 0));
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(0, WEXITSTATUS(nStatus));
    EXPECT_EQ(0, cFailures);

    for (const char *pszName : {"Child Provider ", "Parent Provider "}) {
        for (int i = 0; i < kEach; ++i) {
            NTSTATUS status = 0;
            Query(NumberedName(pszName, i).c_str(), CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
            EXPECT_NT(STATUS_SUCCESS, status) << pszName << i;
        }
    }
}

TEST_F(RegistrationTest, UnreadableConfigurationIsReportedAndLeftAlone)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    const std::string strGarbage = "not a provider configuration\n";
    {
        std::ofstream out(DataFile(), std::ios::binary | std::ios::trunc);
        out << strGarbage;
    }

    EXPECT_NT(kStatusRegistryCorrupt, Register(TEXT("Second Provider"), 0, SampleProvider()));
    EXPECT_NT(kStatusRegistryCorrupt, Register(kSample, CRYPT_OVERWRITE, SampleProvider()));
    EXPECT_NT(kStatusRegistryCorrupt, BCryptUnregisterProvider(kSample));
    NTSTATUS status = 0;
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(kStatusRegistryCorrupt, status);

    EXPECT_EQ(strGarbage, ReadFile(DataFile()));
}

TEST_F(RegistrationTest, TruncatedConfigurationIsUnreadable)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    const std::string strText = ReadFile(DataFile());
    // Cut inside the last function name: a string of half a character.
    {
        std::ofstream out(DataFile(), std::ios::binary | std::ios::trunc);
        out << strText.substr(0, strText.size() - 3);
    }
    NTSTATUS status = 0;
    Query(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    EXPECT_NT(kStatusRegistryCorrupt, status);
}

TEST_F(RegistrationTest, ConfigurationThatCannotBeCreatedFailsTheRegistration)
{
    // The key store would have to be a directory under a regular file.
    const std::string strFile = StoreDirectory() + "/plain-file";
    std::ofstream(strFile) << "x";
    const std::string strStore = strFile + "/store";
    QvnPlatformSetStoreDirectory(strStore.c_str());

    EXPECT_NT(STATUS_UNSUCCESSFUL, Register(kSample, 0, SampleProvider()));
    EXPECT_NT(STATUS_NOT_FOUND, BCryptUnregisterProvider(kSample));
    EXPECT_EQ("x", ReadFile(strFile));
}

} // namespace
} // namespace bcrypt_test
