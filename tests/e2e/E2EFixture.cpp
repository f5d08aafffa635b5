#include "E2EFixture.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace e2e
{

const CspName kCsps[4] = {
    {"Alder", E2E_ALDER_NAME, PROV_RSA_FULL},
    {"Birch", E2E_BIRCH_NAME, PROV_RSA_SCHANNEL},
    {"Cedar", E2E_CEDAR_NAME, PROV_RSA_AES},
    {"Dogwood", E2E_DOGWOOD_NAME, PROV_RSA_FULL},
};

namespace
{

std::string Narrow(LPCWSTR psz)
{
    std::string str;
    for (; psz != nullptr && *psz != 0; ++psz) {
        str.push_back(*psz < 0x80 ? static_cast<char>(*psz) : '?');
    }
    return str;
}

[[noreturn]] void ThrowCapi(const char *pszCall, LPCWSTR pszProvider, LPCWSTR pszContainer)
{
    const DWORD dwError = GetLastError();
    char sz[64];
    std::snprintf(sz, sizeof(sz), " failed with 0x%08lX", static_cast<unsigned long>(dwError));
    throw std::runtime_error(std::string(pszCall) + "(" + Narrow(pszProvider) + ", " + Narrow(pszContainer) + ")" + sz);
}

// One CryptoAPI context on a container, released on scope exit.
class Container
{
public:
    Container(LPCWSTR pszProvider, DWORD dwProvType, LPCWSTR pszContainer, DWORD dwFlags)
        : m_pszProvider(pszProvider), m_pszContainer(pszContainer)
    {
        if (!CryptAcquireContextW(&m_hProv, pszContainer, pszProvider, dwProvType, dwFlags)) {
            ThrowCapi("CryptAcquireContextW", pszProvider, pszContainer);
        }
    }
    ~Container() { CryptReleaseContext(m_hProv, 0); }
    Container(const Container &) = delete;
    Container &operator=(const Container &) = delete;

    void Generate(DWORD dwKeySpec, DWORD dwBits)
    {
        HCRYPTKEY hKey = 0;
        if (!CryptGenKey(m_hProv, dwKeySpec, dwBits << 16, &hKey)) {
            ThrowCapi("CryptGenKey", m_pszProvider, m_pszContainer);
        }
        CryptDestroyKey(hKey);
    }

    void Import(const Bytes &blob)
    {
        HCRYPTKEY hKey = 0;
        if (!CryptImportKey(m_hProv, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &hKey)) {
            ThrowCapi("CryptImportKey", m_pszProvider, m_pszContainer);
        }
        CryptDestroyKey(hKey);
    }

    Bytes ExportPublic(DWORD dwKeySpec)
    {
        HCRYPTKEY hKey = 0;
        if (!CryptGetUserKey(m_hProv, dwKeySpec, &hKey)) {
            ThrowCapi("CryptGetUserKey", m_pszProvider, m_pszContainer);
        }
        DWORD cbBlob = 0;
        Bytes blob;
        bool fOk = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, nullptr, &cbBlob) != FALSE;
        if (fOk) {
            blob.resize(cbBlob);
            fOk = CryptExportKey(hKey, 0, PUBLICKEYBLOB, 0, blob.data(), &cbBlob) != FALSE;
        }
        if (!fOk) {
            const DWORD dwError = GetLastError();
            CryptDestroyKey(hKey);
            SetLastError(dwError);
            ThrowCapi("CryptExportKey", m_pszProvider, m_pszContainer);
        }
        CryptDestroyKey(hKey);
        blob.resize(cbBlob);
        return blob;
    }

private:
    HCRYPTPROV m_hProv = 0;
    LPCWSTR m_pszProvider;
    LPCWSTR m_pszContainer;
};

void DeleteContainer(const CspName &csp, LPCWSTR pszContainer, DWORD dwFlags)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, pszContainer, csp.pszName, csp.dwProvType, CRYPT_DELETEKEYSET | dwFlags);
}

// A new, empty container (an old one of the same name is deleted first).
std::unique_ptr<Container> NewContainer(const CspName &csp, LPCWSTR pszContainer, DWORD dwFlags = 0)
{
    DeleteContainer(csp, pszContainer, dwFlags);
    return std::make_unique<Container>(csp.pszName, csp.dwProvType, pszContainer, CRYPT_NEWKEYSET | dwFlags);
}

std::mutex g_storeMutex;
std::unique_ptr<KeyStore> g_pStore;
std::string g_strStoreError;

// Removes the containers when the tests are over.
class KeyStoreEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { platform::PrepareKeyStore(); }
    void TearDown() override { KeyStore::RemoveIfBuilt(); }
};

const ::testing::Environment *const g_pEnvironment = ::testing::AddGlobalTestEnvironment(new KeyStoreEnvironment);

} // namespace

KeyStore::KeyStore()
{
    for (size_t i = 0; i < 4; ++i) {
        const CspName &csp = kCsps[i];
        std::unique_ptr<Container> pMain = NewContainer(csp, E2E_MAIN_CONTAINER);

        m_exchange[i].pPrivate = GenerateJudgeKey(2048);
        pMain->Import(m_exchange[i].pPrivate->PrivateKeyBlob(CALG_RSA_KEYX));
        m_exchange[i].pPublic = JudgeKeyFromPublicKeyBlob(pMain->ExportPublic(AT_KEYEXCHANGE));
        m_exchange[i].dwBytes = kMainExchangeBytes;

        pMain->Generate(AT_SIGNATURE, 1024);
        m_signature[i].pPublic = JudgeKeyFromPublicKeyBlob(pMain->ExportPublic(AT_SIGNATURE));
        m_signature[i].dwBytes = kMainSignatureBytes;
    }

    const CspName &alder = kCsps[0];
    NewContainer(alder, E2E_SIGNATURE_ONLY_CONTAINER)->Generate(AT_SIGNATURE, 1024);
    NewContainer(alder, E2E_EMPTY_CONTAINER);
    DeleteContainer(alder, E2E_MISSING_CONTAINER, 0);
    DeleteContainer(alder, E2E_MISSING_CONTAINER, CRYPT_MACHINE_KEYSET);

    std::unique_ptr<Container> pMachine = NewContainer(alder, E2E_MACHINE_CONTAINER, CRYPT_MACHINE_KEYSET);
    pMachine->Generate(AT_KEYEXCHANGE, 1024);
    m_machine.pPublic = JudgeKeyFromPublicKeyBlob(pMachine->ExportPublic(AT_KEYEXCHANGE));
    m_machine.dwBytes = kSmallKeyBytes;
    pMachine.reset();
    DeleteContainer(alder, E2E_MACHINE_CONTAINER, 0); // not in the user key set

    NewContainer(alder, E2E_PROMPT_CONTAINER)->Generate(AT_KEYEXCHANGE, 1024);
    if (!platform::MarkContainerNeedsPrompt(alder.pszName, E2E_PROMPT_CONTAINER, 0)) {
        throw std::runtime_error("the platform refused to mark the prompt container");
    }
}

KeyStore &KeyStore::Get()
{
    std::lock_guard<std::mutex> lock(g_storeMutex);
    if (!g_pStore && g_strStoreError.empty()) {
        try {
            g_pStore.reset(new KeyStore);
        } catch (const std::exception &ex) {
            g_strStoreError = ex.what();
        }
    }
    if (!g_pStore) {
        throw std::runtime_error("setting up the key containers failed: " + g_strStoreError);
    }
    return *g_pStore;
}

void KeyStore::RemoveIfBuilt()
{
    std::lock_guard<std::mutex> lock(g_storeMutex);
    if (g_pStore) {
        g_pStore->Remove();
        g_pStore.reset();
    }
}

void KeyStore::Remove()
{
    for (const CspName &csp : kCsps) {
        DeleteContainer(csp, E2E_MAIN_CONTAINER, 0);
    }
    const CspName &alder = kCsps[0];
    DeleteContainer(alder, E2E_SIGNATURE_ONLY_CONTAINER, 0);
    DeleteContainer(alder, E2E_EMPTY_CONTAINER, 0);
    DeleteContainer(alder, E2E_MACHINE_CONTAINER, CRYPT_MACHINE_KEYSET);
    DeleteContainer(alder, E2E_PROMPT_CONTAINER, 0);
}

const KeyPair &KeyStore::Main(size_t iCsp, DWORD dwKeySpec) const
{
    return dwKeySpec == AT_SIGNATURE ? m_signature[iCsp] : m_exchange[iCsp];
}

Bytes Pattern(size_t cb, BYTE bSeed)
{
    Bytes bytes(cb);
    DWORD dwState = 0x9E3779B9u ^ bSeed;
    for (BYTE &b : bytes) {
        dwState = dwState * 1664525u + 1013904223u;
        b = static_cast<BYTE>(dwState >> 24);
    }
    return bytes;
}

Bytes UndecryptableBlock(const KeyPair &keyPair, BYTE bSeed)
{
    for (int iTry = 0; iTry < 64; ++iTry, ++bSeed) {
        Bytes block = Pattern(keyPair.dwBytes, bSeed);
        block[0] = 0x00; // below the modulus
        Bytes plaintext;
        if (keyPair.pPrivate->Decrypt(block, plaintext).verdict == Verdict::Rejected) {
            return block;
        }
    }
    throw std::runtime_error("the judge decrypts every block: it cannot tell a bad ciphertext");
}

Bytes Reversed(Bytes bytes)
{
    return Bytes(bytes.rbegin(), bytes.rend());
}

std::string Hex(const Bytes &bytes)
{
    static const char s_digits[] = "0123456789abcdef";
    std::string str;
    for (BYTE b : bytes) {
        str.push_back(s_digits[b >> 4]);
        str.push_back(s_digits[b & 15]);
    }
    return str;
}

void KspTest::SetUp()
{
    platform::ResetPlatformControls();
    m_fHaveBaseline =
        platform::GetLiveHandleCounts(m_baselineHandles) && platform::GetModuleLiveBlocks(m_lBaselineBlocks);

    std::string strError;
    ASSERT_TRUE(m_module.Load(strError)) << strError;
    ASSERT_EQ(0, m_module.GetKeyStorageInterface(E2E_KSP_NAME, &m_pTable, 0));
    ASSERT_NE(nullptr, m_pTable);
    m_pKsp = std::make_unique<Ksp>(m_pTable);
}

void KspTest::TearDown()
{
    m_pKsp.reset();
    m_pTable = nullptr;
    m_module.Unload();
    platform::ResetPlatformControls();

    platform::HandleCounts after;
    LONG lBlocks = 0;
    if (m_fHaveBaseline && platform::GetLiveHandleCounts(after) && platform::GetModuleLiveBlocks(lBlocks)) {
        EXPECT_EQ(m_baselineHandles.lContexts, after.lContexts) << "CryptoAPI contexts outlived the module";
        EXPECT_EQ(m_baselineHandles.lKeys, after.lKeys) << "CryptoAPI keys outlived the module";
        EXPECT_EQ(m_baselineHandles.lHashes, after.lHashes) << "CryptoAPI hashes outlived the module";
        EXPECT_EQ(m_lBaselineBlocks, lBlocks) << "allocations of the module outlived it";
    }
}

NCRYPT_PROV_HANDLE KspTest::OpenProvider(LPCWSTR pszName)
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    const SECURITY_STATUS status = ksp().OpenProvider("fixture", &hProvider, pszName, 0);
    EXPECT_EQ(0, status) << "OpenProvider(" << Narrow(pszName) << ")";
    EXPECT_NE(0u, hProvider);
    return status == 0 ? hProvider : 0;
}

NCRYPT_KEY_HANDLE KspTest::OpenKey(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszKeyName, DWORD dwKeySpec, DWORD dwFlags)
{
    NCRYPT_KEY_HANDLE hKey = 0;
    const SECURITY_STATUS status = ksp().OpenKey("fixture", hProvider, &hKey, pszKeyName, dwKeySpec, dwFlags);
    EXPECT_EQ(0, status) << "OpenKey(" << Narrow(pszKeyName) << ", " << dwKeySpec << ", " << dwFlags << ")";
    EXPECT_NE(0u, hKey);
    return status == 0 ? hKey : 0;
}

const KeyStore *KspTest::Keys()
{
    try {
        return &KeyStore::Get();
    } catch (const std::exception &ex) {
        ADD_FAILURE() << ex.what();
        return nullptr;
    }
}

} // namespace e2e
