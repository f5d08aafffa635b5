// The key-container store: containers outlive the process and are shared
// with other processes, two processes may write at once, and the files sit
// where the store directory says.
#include "CapiTestUtil.h"
#include "ChildProcess.h"

#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

using namespace capitest;
using qvntest::CachedTestKey;
using qvntest::PatternBytes;
using qvntest::Reversed;

namespace
{

class PersistenceTest : public qvntest::StoreTest
{
protected:
    // The names of the files in a directory ("." and ".." left out).
    static std::vector<std::string> FilesIn(const std::string &strDirectory)
    {
        std::vector<std::string> files;
        if (DIR *pDir = opendir(strDirectory.c_str())) {
            while (struct dirent *pEntry = readdir(pDir)) {
                const std::string strName = pEntry->d_name;
                if (strName != "." && strName != "..") {
                    files.push_back(strName);
                }
            }
            closedir(pDir);
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    static std::vector<std::string> ContainerFilesIn(const std::string &strDirectory)
    {
        std::vector<std::string> files;
        for (const std::string &strName : FilesIn(strDirectory)) {
            if (strName[0] != '.') {
                files.push_back(strName);
            }
        }
        return files;
    }

    static Bytes FromHex(const std::string &strHex)
    {
        Bytes bytes;
        for (size_t i = 0; i + 1 < strHex.size(); i += 2) {
            bytes.push_back(static_cast<BYTE>(std::stoi(strHex.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    }
};

TEST_F(PersistenceTest, KeyMadeByAnotherProcessIsUsedHere)
{
    const ChildResult child = RunChild({"create-key", StorePath(), "from child", "1024"});
    ASSERT_EQ(0, child.iExitCode);
    const Bytes childPublicBlob = FromHex(child.strOutput);
    const std::unique_ptr<qvntest::TestKey> judge = qvntest::TestKeyFromBlob(childPublicBlob);
    ASSERT_TRUE(judge);

    Prov prov;
    ASSERT_TRUE(Acquire(&prov, u"from child"));
    Key key;
    ASSERT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out()));
    Bytes blob(200);
    DWORD cbBlob = 200;
    ASSERT_TRUE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
    blob.resize(cbBlob);
    EXPECT_EQ(childPublicBlob, blob);
    const Bytes value = PatternBytes(20, 1);
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, value));
    EXPECT_TRUE(qvntest::OpenSslVerify(*judge, CALG_SHA1, value, Reversed(SignWith(hash, AT_KEYEXCHANGE, 0, 128))));
    // The child's key was made exportable, and that was stored too.
    DWORD cbPrivate = 0;
    EXPECT_TRUE(CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &cbPrivate));
}

TEST_F(PersistenceTest, KeyImportedHereSignsInAnotherProcess)
{
    const qvntest::TestKey &key = CachedTestKey(2048);
    ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, u"from parent", AT_KEYEXCHANGE, key));
    const Bytes value = PatternBytes(32, 2);

    const ChildResult child = RunChild({"sign", StorePath(), "from parent", qvntest::Hex(value)});

    ASSERT_EQ(0, child.iExitCode);
    EXPECT_EQ(qvntest::Hex(Reversed(qvntest::OpenSslSign(key, CALG_SHA_256, value))), child.strOutput);
}

TEST_F(PersistenceTest, TwoProcessesWritingAtOnceLoseNothing)
{
    ASSERT_TRUE(qvntest::CreateContainerWithKey(qvntest::kAlderProvider, u"shared", AT_SIGNATURE, CachedTestKey(1024)));
    constexpr int kPerProcess = 12;
    int fdA = -1, fdB = -1;
    const int pidA = StartChild({"churn", StorePath(), "a-", std::to_string(kPerProcess), "shared"}, &fdA);
    const int pidB = StartChild({"churn", StorePath(), "b-", std::to_string(kPerProcess), "shared"}, &fdB);
    ASSERT_GT(pidA, 0);
    ASSERT_GT(pidB, 0);
    const ChildResult resultA = FinishChild(pidA, fdA);
    const ChildResult resultB = FinishChild(pidB, fdB);
    ASSERT_EQ(0, resultA.iExitCode);
    ASSERT_EQ(0, resultB.iExitCode);

    for (const char *pszPrefix : {"a-", "b-"}) {
        for (int i = 0; i < kPerProcess; ++i) {
            const WString strName = qvntest::Wide(pszPrefix + std::to_string(i));
            Prov prov;
            ASSERT_TRUE(Acquire(&prov, strName.c_str()));
            Key key;
            EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, key.Out())) << qvntest::Narrow(strName.c_str());
        }
    }
    // The shared container holds the last exchange pair written and kept the
    // signature pair that neither process touched.
    Prov shared;
    ASSERT_TRUE(Acquire(&shared, u"shared"));
    Key exchange, signature;
    EXPECT_TRUE(CryptGetUserKey(shared, AT_KEYEXCHANGE, exchange.Out()));
    ASSERT_TRUE(CryptGetUserKey(shared, AT_SIGNATURE, signature.Out()));
    Bytes blob(200);
    DWORD cbBlob = 200;
    ASSERT_TRUE(CryptExportKey(signature, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
    blob.resize(cbBlob);
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(CALG_RSA_SIGN), blob);
    // No temporary file is left behind.
    for (const std::string &strFile : FilesIn(StorePath() + "/alder/user")) {
        EXPECT_EQ(std::string::npos, strFile.find(".tmp")) << strFile;
    }
    EXPECT_EQ(2u * kPerProcess + 1, ContainerFilesIn(StorePath() + "/alder/user").size());
}

TEST_F(PersistenceTest, OneDirectoryPerProviderAndKeySetOneFilePerContainer)
{
    Prov a, b, c, d;
    ASSERT_TRUE(CryptAcquireContextW(a.Out(), u"one", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptAcquireContextW(b.Out(), u"two", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    ASSERT_TRUE(CryptAcquireContextW(c.Out(), u"one", qvntest::kBirchProvider, PROV_RSA_SCHANNEL,
                                     CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET));
    ASSERT_TRUE(CryptAcquireContextW(d.Out(), u"one", qvntest::kDogwoodProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(2u, ContainerFilesIn(StorePath() + "/alder/user").size());
    EXPECT_EQ(1u, ContainerFilesIn(StorePath() + "/birch/machine").size());
    EXPECT_EQ(1u, ContainerFilesIn(StorePath() + "/dogwood/user").size());
    EXPECT_TRUE(ContainerFilesIn(StorePath() + "/alder/machine").empty());
    EXPECT_TRUE(ContainerFilesIn(StorePath() + "/cedar/user").empty());
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"two", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_EQ(1u, ContainerFilesIn(StorePath() + "/alder/user").size());
}

TEST_F(PersistenceTest, ContextKeepsTheStoreItWasAcquiredIn)
{
    Prov prov;
    ASSERT_TRUE(CryptAcquireContextW(prov.Out(), u"here", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    {
        qvntest::ScopedStore elsewhere;
        Key key;
        ASSERT_TRUE(CryptGenKey(prov, AT_KEYEXCHANGE, 512u << 16, key.Out()));
        EXPECT_TRUE(ContainerFilesIn(elsewhere.Path() + "/alder/user").empty());
        HCRYPTPROV hProv = 0;
        EXPECT_FALSE(CryptAcquireContextW(&hProv, u"here", qvntest::kAlderProvider, PROV_RSA_FULL, 0));
        EXPECT_EQ(Code(NTE_BAD_KEYSET), GetLastError());
    }
    Prov reopened;
    ASSERT_TRUE(Acquire(&reopened, u"here"));
    Key stored;
    EXPECT_TRUE(CryptGetUserKey(reopened, AT_KEYEXCHANGE, stored.Out()));
}

TEST_F(PersistenceTest, StoreDirectoryDefaultsToEnvironment)
{
    const std::string strOwn = QvnPlatformGetStoreDirectory();
    EXPECT_EQ(StorePath(), strOwn);
    const char *pszOld = std::getenv("QVNPLATFORM_STORE");
    const std::string strOld = pszOld != nullptr ? pszOld : "";
    setenv("QVNPLATFORM_STORE", "/tmp/qvn-env-store", 1);
    QvnPlatformSetStoreDirectory(nullptr);
    EXPECT_STREQ("/tmp/qvn-env-store", QvnPlatformGetStoreDirectory());
    unsetenv("QVNPLATFORM_STORE");
    const char *pszHome = std::getenv("HOME");
    QvnPlatformSetStoreDirectory("");
    if (pszHome != nullptr && pszHome[0] != 0) {
        EXPECT_EQ(std::string(pszHome) + "/.local/share/qvnplatform/store", QvnPlatformGetStoreDirectory());
    }
    if (pszOld != nullptr) {
        setenv("QVNPLATFORM_STORE", strOld.c_str(), 1);
    }
    QvnPlatformSetStoreDirectory(strOwn.c_str());
    EXPECT_EQ(strOwn, QvnPlatformGetStoreDirectory());
}

TEST_F(PersistenceTest, DamagedContainerIsReportedAndCanBeDeleted)
{
    Prov created;
    ASSERT_TRUE(
        CryptAcquireContextW(created.Out(), u"damaged", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    created.Reset();
    const std::vector<std::string> files = ContainerFilesIn(StorePath() + "/alder/user");
    ASSERT_EQ(1u, files.size());
    std::ofstream(StorePath() + "/alder/user/" + files[0], std::ios::trunc) << "not a container\n";

    HCRYPTPROV hProv = 0;
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"damaged", qvntest::kAlderProvider, PROV_RSA_FULL, 0));
    EXPECT_EQ(Code(NTE_KEYSET_ENTRY_BAD), GetLastError());
    EXPECT_TRUE(CryptAcquireContextW(&hProv, u"damaged", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
    EXPECT_TRUE(ContainerFilesIn(StorePath() + "/alder/user").empty());
}

TEST_F(PersistenceTest, PromptMarkIsSeenByAnotherProcess)
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(qvntest::kAlderProvider, u"marked", AT_KEYEXCHANGE, CachedTestKey(1024)));
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(qvntest::kAlderProvider, u"marked", 0, TRUE));
    // The child acquires without CRYPT_SILENT, so it answers the prompt and signs.
    const ChildResult child = RunChild({"sign", StorePath(), "marked", qvntest::Hex(PatternBytes(32, 3))});
    EXPECT_EQ(0, child.iExitCode);
    HCRYPTPROV hProv = 0;
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"marked", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT));
    EXPECT_EQ(Code(NTE_SILENT_CONTEXT), GetLastError());
}

TEST_F(PersistenceTest, HandlesCanBeReleasedDuringProcessExit)
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(qvntest::kAlderProvider, u"at exit", AT_KEYEXCHANGE, CachedTestKey(1024)));
    const ChildResult child = RunChild({"release-at-exit", StorePath(), "at exit"});
    EXPECT_EQ(0, child.iExitCode);
    EXPECT_EQ("ok", child.strOutput);
}

} // namespace
