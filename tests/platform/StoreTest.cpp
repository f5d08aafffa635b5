// What outlives a process: key containers, used by other processes and
// written by two at once without loss, and the CNG provider configuration,
// which lives with the key store. The binary started as
// "<binary> --qvn-child <mode> <store> <name> [<count> <shared>]" runs one job
// of such a second process (see ChildMain); its exit code is 0 when it succeeded.
#include <TestSupport.h>
#include <qvnplatform.h>

#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

using namespace qvntest;

namespace
{

// Creates the container if needed with a new exportable exchange pair; its PUBLICKEYBLOB when fPrint.
bool CreateKey(const WString &strContainer, bool fPrint)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    Bytes blob(1024);
    DWORD cbBlob = static_cast<DWORD>(blob.size());
    const bool fOk =
        (CryptAcquireContextW(&hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, 0) ||
         CryptAcquireContextW(&hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) &&
        CryptGenKey(hProv, AT_KEYEXCHANGE, 512u << 16 | CRYPT_EXPORTABLE, &hKey) &&
        CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob);
    if (fOk && fPrint) {
        std::printf("%s", Hex(Bytes(blob.begin(), blob.begin() + cbBlob)).c_str());
    }
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return fOk;
}

HCRYPTPROV g_hProv = 0;
HCRYPTKEY g_hKey = 0;
HCRYPTHASH g_hHash = 0;

// Registered with atexit before OpenSSL's first use, so it runs after
// OpenSSL's clean-up, as a module's process detach would.
void ReleaseAtExit()
{
    if (!CryptDestroyHash(g_hHash) || !CryptDestroyKey(g_hKey) || !CryptReleaseContext(g_hProv, 0)) {
        _exit(4);
    }
}

// Signs the SHA-256 value PatternBytes(32, 2) with the exchange pair and
// prints the signature; the handles are released during process exit.
bool Sign(const WString &strContainer)
{
    std::atexit(ReleaseAtExit);
    const Bytes value = PatternBytes(32, 2);
    Bytes signature(256);
    DWORD cbSignature = static_cast<DWORD>(signature.size());
    const bool fOk = CryptAcquireContextW(&g_hProv, strContainer.c_str(), kAlderProvider, PROV_RSA_FULL, 0) &&
                     CryptGetUserKey(g_hProv, AT_KEYEXCHANGE, &g_hKey) &&
                     CryptCreateHash(g_hProv, CALG_SHA_256, 0, 0, &g_hHash) &&
                     CryptSetHashParam(g_hHash, HP_HASHVAL, value.data(), 0) &&
                     CryptSignHashW(g_hHash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature);
    std::printf("%s", Hex(Bytes(signature.begin(), signature.begin() + cbSignature)).c_str());
    return fOk;
}

// Modes: create-key <container> | sign <container> | register <provider> |
// churn <prefix> <count> <shared>: containers <prefix>0.. with a new
// exchange pair each, replacing the shared container's pair after each one.
int ChildMain(const std::vector<std::string> &args)
{
    QvnPlatformSetStoreDirectory(args.at(1).c_str());
    const WString strName = Wide(args.at(2));
    if (args[0] == "create-key" || args[0] == "sign") {
        return (args[0] == "sign" ? Sign(strName) : CreateKey(strName, true)) ? 0 : 2;
    }
    if (args[0] == "register") {
        PWSTR rgpszAliases[] = {const_cast<PWSTR>(u"Alias One"), const_cast<PWSTR>(u"Alias Two")};
        PWSTR rgpszFunctions[] = {const_cast<PWSTR>(u"KEY_STORAGE"), const_cast<PWSTR>(u"AES")};
        CRYPT_INTERFACE_REG keyStorage = {NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 1, rgpszFunctions};
        CRYPT_INTERFACE_REG cipher = {BCRYPT_CIPHER_INTERFACE, CRYPT_DOMAIN, 1, rgpszFunctions + 1};
        PCRYPT_INTERFACE_REG rgpInterfaces[] = {&cipher, &keyStorage};
        CRYPT_IMAGE_REG image = {const_cast<PWSTR>(u"Sample.dll"), 2, rgpInterfaces};
        CRYPT_PROVIDER_REG reg = {2, rgpszAliases, &image, nullptr};
        return BCryptRegisterProvider(strName.c_str(), 0, &reg) == STATUS_SUCCESS ? 0 : 2;
    }
    bool fOk = args[0] == "churn";
    for (int i = 0; fOk && i < std::atoi(args.at(3).c_str()); ++i) {
        fOk = CreateKey(Wide(args[2] + std::to_string(i)), false) && CreateKey(Wide(args.at(4)), false);
    }
    return fOk ? 0 : 2;
}

using StoreTest = qvntest::StoreTest;

// Started with the arguments; Finish gives its exit code and its output.
FILE *Start(const std::vector<std::string> &args)
{
    std::string strCommand = std::filesystem::read_symlink("/proc/self/exe").string() + " --qvn-child";
    for (const std::string &strArg : args) {
        strCommand += " '" + strArg + "'";
    }
    return popen(strCommand.c_str(), "r");
}
std::pair<int, std::string> Finish(FILE *pChild)
{
    std::string strOutput;
    char buffer[4096];
    for (size_t cb; (cb = std::fread(buffer, 1, sizeof(buffer), pChild)) > 0;) {
        strOutput.append(buffer, cb);
    }
    const int iStatus = pclose(pChild);
    return {WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1, strOutput};
}

TEST_F(StoreTest, KeysMadeInOneProcessAreUsedInAnother)
{
    const auto created = Finish(Start({"create-key", StorePath(), "from child"}));
    ASSERT_EQ(0, created.first);
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"from child", kAlderProvider, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    Bytes blob(2048);
    DWORD cbBlob = static_cast<DWORD>(blob.size());
    ASSERT_TRUE(CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &cbBlob)) << "exportable, as made";
    blob.resize(cbBlob);
    EXPECT_EQ(created.second, Hex(TestKeyFromBlob(blob)->PublicKeyBlob()));
    CryptReleaseContext(hProv, 0);

    const TestKey &key = CachedTestKey(2048);
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"from parent", AT_KEYEXCHANGE, key));
    const auto signature = Finish(Start({"sign", StorePath(), "from parent"}));
    EXPECT_EQ(0, signature.first) << "the handles released at exit";
    EXPECT_EQ(Hex(Reversed(OpenSslSign(key, CALG_SHA_256, PatternBytes(32, 2)))), signature.second);
}

TEST_F(StoreTest, TwoProcessesWritingAtOnceLoseNothing)
{
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"shared", AT_SIGNATURE, CachedTestKey(1024)));
    FILE *pA = Start({"churn", StorePath(), "a-", "12", "shared"});
    FILE *pB = Start({"churn", StorePath(), "b-", "12", "shared"});
    ASSERT_EQ(0, Finish(pA).first);
    ASSERT_EQ(0, Finish(pB).first);
    for (const char *pszName : {"a-0", "a-11", "b-0", "b-11", "shared"}) {
        HCRYPTPROV hProv = 0;
        HCRYPTKEY hKey = 0;
        ASSERT_TRUE(CryptAcquireContextW(&hProv, Wide(pszName).c_str(), kAlderProvider, PROV_RSA_FULL, 0));
        EXPECT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey)) << pszName;
        CryptReleaseContext(hProv, 0);
    }
    // The shared container kept the pair that neither touched; no temporary file is left.
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    Bytes blob(1024);
    DWORD cbBlob = static_cast<DWORD>(blob.size());
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"shared", kAlderProvider, PROV_RSA_FULL, 0) &&
                CryptGetUserKey(hProv, AT_SIGNATURE, &hKey) &&
                CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob));
    blob.resize(cbBlob);
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(CALG_RSA_SIGN), blob);
    CryptReleaseContext(hProv, 0);
    size_t cFiles = 0;
    for (const auto &entry : std::filesystem::directory_iterator(StorePath() + "/alder/user")) {
        EXPECT_EQ(std::string::npos, entry.path().string().find(".tmp")) << entry.path();
        cFiles += entry.path().filename().string()[0] != '.';
    }
    EXPECT_EQ(25u, cFiles) << "one file per container";
}

// What bcrypt hands back is one buffer: the interface asked for, field by field.
TEST_F(StoreTest, ProviderRegistrationLivesWithTheKeyStoreAndReadsBackInOneBuffer)
{
    ASSERT_EQ(0, Finish(Start({"register", StorePath(), "Sample Provider"})).first);
    EXPECT_TRUE(std::filesystem::is_regular_file(StorePath() + "/cng-providers/providers"));
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, BCryptQueryProviderRegistration(u"sample provider", CRYPT_ANY,
                                                              NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    ASSERT_TRUE(pReg->cAliases == 2 && pReg->pUM != nullptr && pReg->pUM->cInterfaces == 1);
    const CRYPT_INTERFACE_REG &entry = *pReg->pUM->rgpInterfaces[0];
    ASSERT_EQ(1u, entry.cFunctions);
    EXPECT_EQ(u"Alias One, Alias Two, Sample.dll, KEY_STORAGE",
              std::u16string(pReg->rgpszAliases[0]) + u", " + pReg->rgpszAliases[1] + u", " + pReg->pUM->pszImage +
                  u", " + entry.rgpszFunctions[0]);
    EXPECT_EQ(std::make_pair(static_cast<ULONG>(NCRYPT_KEY_STORAGE_INTERFACE), static_cast<ULONG>(CRYPT_LOCAL)),
              std::make_pair(entry.dwInterface, entry.dwFlags));
    EXPECT_EQ(nullptr, pReg->pKM);
    const BYTE *pbStart = reinterpret_cast<const BYTE *>(pReg);
    for (const void *pv : {static_cast<const void *>(pReg->rgpszAliases[1]), static_cast<const void *>(&entry),
                           static_cast<const void *>(entry.rgpszFunctions[0])}) {
        EXPECT_TRUE(pv >= pbStart && pv < pbStart + cbBuffer);
    }
    BCryptFreeBuffer(pReg);
    const std::string strOther = StorePath() + "/other";
    QvnPlatformSetStoreDirectory(strOther.c_str());
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample Provider")) << "another store, another configuration";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--qvn-child") == 0) {
        return ChildMain(std::vector<std::string>(argv + 2, argv + argc));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
