// What outlives a process: key containers, written by two processes at once
// without loss and used by a third, handles left to process exit, and the CNG
// provider configuration, kept with the key store. Started as "<binary>
// --qvn-child <store> <key spec> <count>", the binary is such a Writer.
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

// A key's PUBLICKEYBLOB; empty if it cannot be exported.
Bytes PublicBlobOf(HCRYPTKEY hKey)
{
    Bytes blob(1024);
    DWORD cbBlob = 1024;
    return CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob) ? Bytes(blob.data(), blob.data() + cbBlob)
                                                                           : Bytes();
}

// The public blob of the shared container's pair, as a new context reads it from the store.
Bytes StoredPublicBlob(DWORD dwKeySpec)
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    const bool fOk = CryptAcquireContextW(&hProv, u"shared", kAlderProvider, PROV_RSA_FULL, 0) &&
                     CryptGetUserKey(hProv, dwKeySpec, &hKey);
    const Bytes blob = fOk ? PublicBlobOf(hKey) : Bytes();
    CryptReleaseContext(hProv, 0);
    return blob;
}

// Replaces the shared container's pair of dwKeySpec cWrites times, each time
// reading back that the store holds the new pair (another writer of the other
// pair must not undo it); then a context, key and hash are left for the exit
// to release. 0 when every call succeeded.
int Writer(const char *pszStore, DWORD dwKeySpec, int cWrites)
{
    std::atexit(ReleaseAtExit);
    QvnPlatformSetStoreDirectory(pszStore);
    bool fOk = CryptAcquireContextW(&g_hProv, u"shared", kAlderProvider, PROV_RSA_FULL, 0);
    for (int i = 0; fOk && i < cWrites; ++i) {
        fOk =
            CryptGenKey(g_hProv, dwKeySpec, 512u << 16, &g_hKey) && PublicBlobOf(g_hKey) == StoredPublicBlob(dwKeySpec);
        CryptDestroyKey(g_hKey);
    }
    fOk = fOk && CryptGetUserKey(g_hProv, dwKeySpec, &g_hKey) && CryptCreateHash(g_hProv, CALG_SHA1, 0, 0, &g_hHash);
    return fOk ? 0 : 2;
}

TEST_F(StoreTest, TwoProcessesWritingAtOnceLoseNothingAndReleaseTheirHandlesAtExit)
{
    const TestKey &key = CachedTestKey(1024);
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, u"shared", AT_SIGNATURE, key));
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"shared", kAlderProvider, PROV_RSA_FULL, 0));
    ASSERT_NE(0u, ImportTestKey(hProv, key, AT_KEYEXCHANGE));
    CryptReleaseContext(hProv, 0);
    const std::string strCommand =
        std::filesystem::read_symlink("/proc/self/exe").string() + " --qvn-child '" + StorePath() + "' ";
    FILE *pExchange = popen((strCommand + "1 40").c_str(), "r");
    FILE *pSignature = popen((strCommand + "2 40").c_str(), "r");
    EXPECT_EQ(0, WEXITSTATUS(pclose(pExchange)));
    EXPECT_EQ(0, WEXITSTATUS(pclose(pSignature)));
    for (DWORD dwKeySpec : {AT_KEYEXCHANGE, AT_SIGNATURE}) {
        const Bytes blob = StoredPublicBlob(dwKeySpec);
        EXPECT_TRUE(!blob.empty() && blob != key.PublicKeyBlob()) << "written by the other process " << dwKeySpec;
    }
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
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, BCryptRegisterProvider(u"SAMPLE PROVIDER", 0, &reg));
    EXPECT_EQ(STATUS_NOT_SUPPORTED, BCryptQueryProviderRegistration(u"Sample Provider", CRYPT_KM,
                                                                    NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    const std::string strOther = StorePath() + "/other";
    QvnPlatformSetStoreDirectory(strOther.c_str());
    EXPECT_EQ(STATUS_NOT_FOUND, BCryptUnregisterProvider(u"Sample Provider")) << "another store, another configuration";
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--qvn-child") == 0) {
        return Writer(argv[2], static_cast<DWORD>(std::atoi(argv[3])), std::atoi(argv[4]));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
