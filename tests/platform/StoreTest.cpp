// What outlives a process: key containers, written by two processes at once
// without loss and used by a third, handles left to process exit, and the CNG
// provider configuration, kept with the key store. Started as "<binary>
// --qvn-child <store> <prefix> <count> <shared>", the binary is such a Writer.
#include <TestSupport.h>
#include <qvnplatform.h>

#include <bcrypt.h>
#include <ntstatus.h>
#include <bcrypt_provider.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace qvntest;

namespace
{

HCRYPTPROV g_hProv = 0;
HCRYPTKEY g_hKey = 0;
HCRYPTHASH g_hHash = 0;

// Registered before OpenSSL's first use, so that it runs after OpenSSL's
// clean-up at exit, as a module's process detach would.
void ReleaseAtExit()
{
    if (!CryptDestroyHash(g_hHash) || !CryptDestroyKey(g_hKey) || !CryptReleaseContext(g_hProv, 0)) {
        _exit(4);
    }
}

// A new exchange pair in the container, made first if need be.
bool CreateKey(const std::string &strContainer)
{
    const WString strName = Wide(strContainer);
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    const bool fOk = (CryptAcquireContextW(&hProv, strName.c_str(), kAlderProvider, PROV_RSA_FULL, 0) ||
                      CryptAcquireContextW(&hProv, strName.c_str(), kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET)) &&
                     CryptGenKey(hProv, AT_KEYEXCHANGE, 512u << 16, &hKey);
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    return fOk;
}

// Containers <prefix>0.. with a new pair each, replacing the shared
// container's pair after each one; then a context, key and hash on the shared
// container are left for the exit to release. 0 when every call succeeded.
int Writer(const char *pszStore, const std::string &strPrefix, int cContainers, const std::string &strShared)
{
    std::atexit(ReleaseAtExit);
    QvnPlatformSetStoreDirectory(pszStore);
    bool fOk = true;
    for (int i = 0; fOk && i < cContainers; ++i) {
        fOk = CreateKey(strPrefix + std::to_string(i)) && CreateKey(strShared);
    }
    const WString strName = Wide(strShared);
    fOk = fOk && CryptAcquireContextW(&g_hProv, strName.c_str(), kAlderProvider, PROV_RSA_FULL, 0) &&
          CryptGetUserKey(g_hProv, AT_KEYEXCHANGE, &g_hKey) && CryptCreateHash(g_hProv, CALG_SHA1, 0, 0, &g_hHash);
    return fOk ? 0 : 2;
}

// The public blob of a container's pair, through a new context.
Bytes PublicBlob(const WCHAR *pszContainer, DWORD dwKeySpec)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    Bytes blob(1024);
    DWORD cbBlob = 1024;
    const bool fOk = CryptAcquireContextW(&hProv, pszContainer, kAlderProvider, PROV_RSA_FULL, 0) &&
                     CryptGetUserKey(hProv, dwKeySpec, &hKey) &&
                     CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob);
    CryptReleaseContext(hProv, 0);
    return fOk ? Bytes(blob.begin(), blob.begin() + cbBlob) : Bytes();
}

TEST_F(StoreTest, TwoProcessesWritingAtOnceLoseNothingAndReleaseTheirHandlesAtExit)
{
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"shared", AT_SIGNATURE, CachedTestKey(1024)));
    const std::string strCommand =
        std::filesystem::read_symlink("/proc/self/exe").string() + " --qvn-child '" + StorePath() + "' ";
    FILE *pA = popen((strCommand + "a- 12 shared").c_str(), "r");
    FILE *pB = popen((strCommand + "b- 12 shared").c_str(), "r");
    EXPECT_EQ(0, WEXITSTATUS(pclose(pA)));
    EXPECT_EQ(0, WEXITSTATUS(pclose(pB)));
    for (const WCHAR *pszName : {u"a-0", u"a-11", u"b-0", u"b-11", u"shared"}) {
        EXPECT_NE(Bytes(), PublicBlob(pszName, AT_KEYEXCHANGE)) << Narrow(pszName);
    }
    EXPECT_EQ(CachedTestKey(1024).PublicKeyBlob(CALG_RSA_SIGN), PublicBlob(u"shared", AT_SIGNATURE))
        << "the pair that neither touched";
}

// bcrypt hands back the interface asked for, in one buffer that one BCryptFreeBuffer releases.
TEST_F(StoreTest, ProviderRegistrationReadsBackAndLivesWithTheKeyStore)
{
    PWSTR rgpszStrings[] = {const_cast<PWSTR>(u"Alias"), const_cast<PWSTR>(u"KEY_STORAGE"), const_cast<PWSTR>(u"AES")};
    CRYPT_INTERFACE_REG keyStorage = {NCRYPT_KEY_STORAGE_INTERFACE, CRYPT_LOCAL, 1, rgpszStrings + 1};
    CRYPT_INTERFACE_REG cipher = {BCRYPT_CIPHER_INTERFACE, CRYPT_DOMAIN, 1, rgpszStrings + 2};
    PCRYPT_INTERFACE_REG rgpInterfaces[] = {&cipher, &keyStorage};
    CRYPT_IMAGE_REG image = {const_cast<PWSTR>(u"Sample.dll"), 2, rgpInterfaces};
    CRYPT_PROVIDER_REG reg = {1, rgpszStrings, &image, nullptr};
    ASSERT_EQ(STATUS_SUCCESS, BCryptRegisterProvider(u"Sample Provider", 0, &reg));
    ULONG cbBuffer = 0;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, BCryptQueryProviderRegistration(u"sample provider", CRYPT_ANY,
                                                              NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    ASSERT_TRUE(pReg->cAliases == 1 && pReg->pUM != nullptr && pReg->pUM->cInterfaces == 1);
    const CRYPT_INTERFACE_REG &entry = *pReg->pUM->rgpInterfaces[0];
    ASSERT_EQ(1u, entry.cFunctions);
    EXPECT_EQ(u"Alias Sample.dll KEY_STORAGE",
              std::u16string(pReg->rgpszAliases[0]) + u" " + pReg->pUM->pszImage + u" " + entry.rgpszFunctions[0]);
    EXPECT_TRUE(entry.dwInterface == NCRYPT_KEY_STORAGE_INTERFACE && entry.dwFlags == CRYPT_LOCAL);
    EXPECT_EQ(nullptr, pReg->pKM);
    BCryptFreeBuffer(pReg);
    EXPECT_TRUE(std::filesystem::is_regular_file(StorePath() + "/cng-providers/providers"));
    const std::string strOther = StorePath() + "/other";
    QvnPlatformSetStoreDirectory(strOther.c_str());
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample Provider")) << "another store, another configuration";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--qvn-child") == 0) {
        return Writer(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
