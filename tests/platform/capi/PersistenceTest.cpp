// The key-container store: containers outlive the process and are shared with
// other processes, and two processes may write at once.
#include "CapiTestUtil.h"

#include <cstdio>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace capitest;

namespace
{

using PersistenceTest = StoreTest;

// The test binary run again as "<binary> --qvn-child <mode> <store> <args...>":
// its exit code and its output without the final newline.
struct ChildResult {
    int iExitCode = -1;
    std::string strOutput;
};

FILE *StartChild(const std::vector<std::string> &args)
{
    char szSelf[4096];
    const ssize_t cb = readlink("/proc/self/exe", szSelf, sizeof(szSelf) - 1);
    std::string strCommand = std::string(szSelf, cb > 0 ? static_cast<size_t>(cb) : 0) + " --qvn-child";
    for (const std::string &strArg : args) {
        strCommand += " '" + strArg + "'";
    }
    return popen(strCommand.c_str(), "r");
}

ChildResult FinishChild(FILE *pOutput)
{
    ChildResult result;
    char buffer[4096];
    for (size_t cb; pOutput != nullptr && (cb = std::fread(buffer, 1, sizeof(buffer), pOutput)) > 0;) {
        result.strOutput.append(buffer, cb);
    }
    const int iStatus = pOutput != nullptr ? pclose(pOutput) : -1;
    result.iExitCode = iStatus != -1 && WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    while (!result.strOutput.empty() && result.strOutput.back() == '\n') {
        result.strOutput.pop_back();
    }
    return result;
}

ChildResult RunChild(const std::vector<std::string> &args)
{
    return FinishChild(StartChild(args));
}

// The files of the Alder user key set ("." entries left out).
std::vector<std::string> AlderUserFiles(const std::string &strStore)
{
    std::vector<std::string> files;
    if (DIR *pDir = opendir((strStore + "/alder/user").c_str())) {
        while (const struct dirent *pEntry = readdir(pDir)) {
            if (pEntry->d_name[0] != '.') {
                files.push_back(pEntry->d_name);
            }
        }
        closedir(pDir);
    }
    return files;
}

TEST_F(PersistenceTest, KeyMadeByAnotherProcessIsUsedHere)
{
    const ChildResult child = RunChild({"create-key", StorePath(), "from child", "1024"});
    ASSERT_EQ(0, child.iExitCode);
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, u"from child"));
    Key key;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out()));
    EXPECT_EQ(child.strOutput, Hex(Export(key, PUBLICKEYBLOB)));
    // The key was made exportable in the child, and that was stored too.
    const std::unique_ptr<TestKey> privateKey = TestKeyFromBlob(Export(key, PRIVATEKEYBLOB));
    ASSERT_TRUE(privateKey);
    const Bytes value = PatternBytes(20, 1);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, value));
    EXPECT_EQ(OpenSslSign(*privateKey, CALG_SHA1, value), Reversed(SignWith(hash, AT_KEYEXCHANGE, 0, 128)));
    EXPECT_EQ(Hex(privateKey->PublicKeyBlob()), child.strOutput);
}

TEST_F(PersistenceTest, KeyImportedHereSignsInAnotherProcessAlsoWhenReleasedAtExit)
{
    const TestKey &key = CachedTestKey(2048);
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"from parent", AT_KEYEXCHANGE, key));
    const std::string strExpected = Hex(Reversed(OpenSslSign(key, CALG_SHA_256, PatternBytes(32, 2))));
    for (const char *pszMode : {"sign", "sign-release-at-exit"}) {
        SCOPED_TRACE(pszMode);
        const ChildResult child = RunChild({pszMode, StorePath(), "from parent"});
        EXPECT_EQ(0, child.iExitCode);
        EXPECT_EQ(strExpected, child.strOutput);
    }
}

TEST_F(PersistenceTest, TwoProcessesWritingAtOnceLoseNothing)
{
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"shared", AT_SIGNATURE, CachedTestKey(1024)));
    constexpr int kPerProcess = 12;
    FILE *pA = StartChild({"churn", StorePath(), "a-", std::to_string(kPerProcess), "shared"});
    FILE *pB = StartChild({"churn", StorePath(), "b-", std::to_string(kPerProcess), "shared"});
    ASSERT_EQ(0, FinishChild(pA).iExitCode);
    ASSERT_EQ(0, FinishChild(pB).iExitCode);

    for (const char *pszPrefix : {"a-", "b-"}) {
        for (int i = 0; i < kPerProcess; ++i) {
            const WString strName = Wide(pszPrefix + std::to_string(i));
            Prov prov;
            ASSERT_TRUE(Acquire(&prov, strName.c_str()));
            Key key;
            EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out())) << Narrow(strName.c_str());
        }
    }
    // The shared container holds an exchange pair written by one of them and
    // kept the signature pair that neither touched.
    Prov shared;
    ASSERT_TRUE(Acquire(&shared, u"shared"));
    Key exchange, signature;
    EXPECT_TRUE(CryptGetUserKey(shared, AT_KEYEXCHANGE, exchange.Out()));
    ASSERT_TRUE(CryptGetUserKey(shared, AT_SIGNATURE, signature.Out()));
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(CALG_RSA_SIGN), Export(signature, PUBLICKEYBLOB));
    // One file per container, and no temporary file left behind.
    const std::vector<std::string> files = AlderUserFiles(StorePath());
    EXPECT_EQ(2u * kPerProcess + 1, files.size());
    for (const std::string &strFile : files) {
        EXPECT_EQ(std::string::npos, strFile.find(".tmp")) << strFile;
    }
}

} // namespace
