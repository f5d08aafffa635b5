#include "HardeningSupport.h"

#include <cstdio>
#include <cstdlib>

namespace hardening
{

const WCHAR *const kKspName = u"Quorvane TPM Key Storage Provider";
const WCHAR *const kBothContainer = u"hardening-both";
const WCHAR *const kSignatureOnlyContainer = u"hardening-signature";

bool PopulateStore()
{
    using qvntest::CachedTestKey;
    using qvntest::kAlderProvider;
    if (!qvntest::CreateContainerWithKey(kAlderProvider, kBothContainer, AT_KEYEXCHANGE, CachedTestKey(1024, 0)) ||
        !qvntest::CreateContainerWithKey(kAlderProvider, kSignatureOnlyContainer, AT_SIGNATURE,
                                         CachedTestKey(1024, 1))) {
        return false;
    }
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, kBothContainer, kAlderProvider, PROV_RSA_FULL, 0)) {
        ADD_FAILURE() << "CryptAcquireContextW of the container failed with " << StatusText(GetLastError());
        return false;
    }
    const HCRYPTKEY hKey = qvntest::ImportTestKey(hProv, CachedTestKey(1024, 1), AT_SIGNATURE);
    if (hKey != 0) {
        CryptDestroyKey(hKey);
    }
    CryptReleaseContext(hProv, 0);
    return hKey != 0;
}

bool LoadedModule::LoadLibraryOnly(std::string &strError)
{
    Unload();
    const char *pszPath = std::getenv("QVN_HARDENING_MODULE");
    if (pszPath == nullptr || *pszPath == '\0') {
        pszPath = QVN_HARDENING_MODULE_PATH;
    }
    const qvntest::WString strPath = qvntest::Wide(pszPath);
    m_hModule = LoadLibraryW(strPath.c_str());
    if (m_hModule == nullptr) {
        strError = std::string("LoadLibraryW(") + pszPath + ") failed";
        return false;
    }
    return true;
}

bool LoadedModule::OpenTable(std::string &strError)
{
    m_pfnGetInterface =
        reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME));
    if (m_pfnGetInterface == nullptr) {
        strError = "GetProcAddress(GetKeyStorageInterface) failed";
        Unload();
        return false;
    }
    const NTSTATUS status = m_pfnGetInterface(kKspName, &m_pTable, 0);
    if (status != STATUS_SUCCESS || m_pTable == nullptr) {
        strError = "GetKeyStorageInterface failed with " + StatusText(status);
        Unload();
        return false;
    }
    return true;
}

void LoadedModule::Unload()
{
    if (m_hModule != nullptr) {
        FreeLibrary(m_hModule);
    }
    m_hModule = nullptr;
    m_pfnGetInterface = nullptr;
    m_pTable = nullptr;
}

Holdings Holdings::Now()
{
    Holdings holdings;
    holdings.lContexts = QvnPlatformLiveContexts();
    holdings.lKeys = QvnPlatformLiveKeys();
    holdings.lHashes = QvnPlatformLiveHashes();
    holdings.lModuleBlocks = QvnPlatformModuleLiveBlocks();
    return holdings;
}

std::ostream &operator<<(std::ostream &os, const Holdings &holdings)
{
    return os << "{contexts " << holdings.lContexts << ", keys " << holdings.lKeys << ", hashes " << holdings.lHashes
              << ", module blocks " << holdings.lModuleBlocks << "}";
}

std::string StatusText(LONG status)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(status));
    return sz;
}

void ExpectKeySigns(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider,
                    NCRYPT_KEY_HANDLE hKey, const qvntest::TestKey &key, unsigned uSeed)
{
    Bytes hash = qvntest::PatternBytes(32, uSeed);
    BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
    Bytes signature(kKeyBytes, 0);
    DWORD cbResult = 0;
    const SECURITY_STATUS status = table.SignHash(hProvider, hKey, &padding, hash.data(), 32, signature.data(),
                                                  kKeyBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    ASSERT_EQ(ERROR_SUCCESS, status) << "SignHash: " << StatusText(status);
    ASSERT_EQ(kKeyBytes, cbResult);
    EXPECT_TRUE(qvntest::OpenSslVerify(key, CALG_SHA_256, hash, signature))
        << "the signature is not one that the key pair makes";
    EXPECT_EQ(ERROR_SUCCESS, table.VerifySignature(hProvider, hKey, &padding, hash.data(), 32, signature.data(),
                                                   kKeyBytes, NCRYPT_PAD_PKCS1_FLAG));
}

void ExpectKeyEncrypts(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &table, NCRYPT_PROV_HANDLE hProvider,
                       NCRYPT_KEY_HANDLE hKey, const qvntest::TestKey &key, unsigned uSeed)
{
    Bytes plaintext = qvntest::PatternBytes(40, uSeed);
    Bytes ciphertext(kKeyBytes, 0);
    DWORD cbResult = 0;
    SECURITY_STATUS status = table.Encrypt(hProvider, hKey, plaintext.data(), 40, nullptr, ciphertext.data(), kKeyBytes,
                                           &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    ASSERT_EQ(ERROR_SUCCESS, status) << "Encrypt: " << StatusText(status);
    ASSERT_EQ(kKeyBytes, cbResult);
    EXPECT_EQ(plaintext, qvntest::OpenSslDecrypt(key, ciphertext).value_or(Bytes()));
    Bytes decrypted(kKeyBytes - 11, 0);
    status = table.Decrypt(hProvider, hKey, ciphertext.data(), kKeyBytes, nullptr, decrypted.data(), kKeyBytes - 11,
                           &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    ASSERT_EQ(ERROR_SUCCESS, status) << "Decrypt: " << StatusText(status);
    decrypted.resize(cbResult);
    EXPECT_EQ(plaintext, decrypted);
}

} // namespace hardening
