#include "E2E.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#ifndef _WIN32
#include <TestSupport.h>
#endif

namespace e2e
{

const Csp kCsps[4] = {{"Alder", E2E_ALDER_NAME, PROV_RSA_FULL},
                      {"Birch", E2E_BIRCH_NAME, PROV_RSA_SCHANNEL},
                      {"Cedar", E2E_CEDAR_NAME, PROV_RSA_AES},
                      {"Dogwood", E2E_DOGWOOD_NAME, PROV_RSA_FULL}};
const LPCWSTR kAllNames[5] = {E2E_KSP_NAME, E2E_ALDER_NAME, E2E_BIRCH_NAME, E2E_CEDAR_NAME, E2E_DOGWOOD_NAME};

namespace
{

const std::thread::id g_mainThread = std::this_thread::get_id();
std::mutex g_mutex;
std::unique_ptr<KeyStore> g_pKeys;

void Check(BOOL fOk, const char *pszWhat)
{
    if (!fOk) {
        throw std::runtime_error(std::string(pszWhat) + " failed with " + std::to_string(GetLastError()));
    }
}

void DeleteContainer(const Csp &csp, LPCWSTR pszName, DWORD dwFlags = 0)
{
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, pszName, csp.pszName, csp.dwProvType, CRYPT_DELETEKEYSET | dwFlags);
}

// A new container (replacing any old one) with a key pair of each of the
// given specs (the first of dwBits, the others of 1024), as the judge holds them.
std::vector<KeyPair> NewContainer(const Csp &csp, LPCWSTR pszName, DWORD dwFlags, Dwords keySpecs, DWORD dwBits)
{
    DeleteContainer(csp, pszName, dwFlags);
    HCRYPTPROV hProv = 0;
    Check(CryptAcquireContextW(&hProv, pszName, csp.pszName, csp.dwProvType, CRYPT_NEWKEYSET | dwFlags),
          "CryptAcquireContextW(CRYPT_NEWKEYSET)");
    std::vector<KeyPair> pairs;
    for (DWORD dwKeySpec : keySpecs) {
        HCRYPTKEY hKey = 0;
        DWORD cb = 4096;
        Bytes blob(cb);
        Check(CryptGenKey(hProv, dwKeySpec, dwBits << 16 | CRYPT_EXPORTABLE, &hKey), "CryptGenKey");
        Check(CryptExportKey(hKey, 0, PRIVATEKEYBLOB, 0, blob.data(), &cb), "CryptExportKey");
        CryptDestroyKey(hKey);
        pairs.push_back({JudgeKeyFromBlob(Bytes(blob.begin(), blob.begin() + cb)), dwBits / 8});
        dwBits = 1024;
    }
    CryptReleaseContext(hProv, 0);
    return pairs;
}

#ifndef _WIN32 // every run starts in a key store of its own, removed at the end
class KeyStoreEnvironment : public ::testing::Environment
{
    void SetUp() override
    {
        static std::unique_ptr<qvntest::ScopedStore> s_pStore;
        s_pStore = std::make_unique<qvntest::ScopedStore>();
        std::atexit([] { s_pStore.reset(); });
    }
};
const ::testing::Environment *const g_pEnvironment = ::testing::AddGlobalTestEnvironment(new KeyStoreEnvironment);
#endif

} // namespace

const KeyStore &Keys()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_pKeys) {
        auto pKeys = std::make_unique<KeyStore>();
        for (size_t i = 0; i < 4; ++i) {
            std::vector<KeyPair> pairs = NewContainer(kCsps[i], E2E_MAIN, 0, {AT_KEYEXCHANGE, AT_SIGNATURE}, 2048);
            pKeys->exchange[i] = std::move(pairs[0]);
            pKeys->signature[i] = std::move(pairs[1]);
        }
        const Csp &alder = kCsps[0];
        NewContainer(alder, E2E_SIGNATURE_ONLY, 0, {AT_SIGNATURE}, 1024);
        NewContainer(alder, E2E_EMPTY, 0, {}, 0);
        NewContainer(alder, E2E_PROMPT, 0, {AT_KEYEXCHANGE}, 1024);
        pKeys->machine = std::move(NewContainer(alder, E2E_MACHINE, CRYPT_MACHINE_KEYSET, {AT_KEYEXCHANGE}, 1024)[0]);
        DeleteContainer(alder, E2E_MACHINE); // not in the user key set
        DeleteContainer(alder, E2E_MISSING);
        DeleteContainer(alder, E2E_MISSING, CRYPT_MACHINE_KEYSET);
#ifndef _WIN32 // the Wine test CSP asks for a prompt by the name's prefix
        Check(QvnPlatformSetContainerNeedsPrompt(alder.pszName, E2E_PROMPT, 0, TRUE), "marking the prompt container");
#endif
        g_pKeys = std::move(pKeys);
    }
    return *g_pKeys;
}

void Record(const std::string &strLabel, LONG lStatus, const DWORD *pdwSize)
{
    const DWORD dwLastError = GetLastError(); // the cases observe it
    const char *pszPath = std::getenv("QVN_E2E_RECORD");
    const ::testing::TestInfo *pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    if (std::this_thread::get_id() == g_mainThread && pszPath != nullptr && *pszPath != '\0' && pInfo != nullptr) {
        if (std::FILE *pFile = std::fopen(pszPath, "ab")) {
            std::fprintf(pFile, "%s.%s %s 0x%08lX", pInfo->test_suite_name(), pInfo->name(), strLabel.c_str(),
                         static_cast<unsigned long>(static_cast<DWORD>(lStatus)));
            std::fprintf(pFile, pdwSize != nullptr ? " %lu\n" : "\n",
                         static_cast<unsigned long>(pdwSize ? *pdwSize : 0));
            std::fclose(pFile);
        }
    }
    SetLastError(dwLastError);
}

void KspModule::Load()
{
#ifdef _WIN32
    WCHAR szPath[MAX_PATH] = {};
    WString strPath(szPath, GetModuleFileNameW(nullptr, szPath, MAX_PATH));
    strPath = strPath.substr(0, strPath.find_last_of(L"\\/") + 1) + L"QvnTpmKsp.dll";
#else
    const char *pszPath = std::getenv("QVN_E2E_MODULE");
    const WString strPath = qvntest::Wide(pszPath != nullptr && *pszPath != '\0' ? pszPath : QVN_E2E_MODULE_PATH);
#endif
    m_hModule = LoadLibraryW(strPath.c_str());
    Check(m_hModule != nullptr, "LoadLibraryW");
    pfnGetInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME)));
    Check(pfnGetInterface != nullptr, "GetProcAddress(GetKeyStorageInterface)");
}

void KspModule::Unload()
{
    if (m_hModule != nullptr) {
        FreeLibrary(m_hModule);
    }
    m_hModule = nullptr;
    pfnGetInterface = nullptr;
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

std::string Hex(const Bytes &bytes)
{
    std::string str;
    for (BYTE b : bytes) {
        str += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return str;
}

#ifndef _WIN32
void ResetControls()
{
    QvnPlatformClearFailures();
    QvnPlatformFailModuleMalloc(0);
    QvnPlatformClearCallLog();
    QvnPlatformSetWindowsVersion(10, 0);
}
#endif

void KspTest::SetUp()
{
#ifndef _WIN32
    ResetControls();
    m_live = Live();
#endif
    m_module.Load();
    ASSERT_EQ(0, m_module.pfnGetInterface(E2E_KSP_NAME, &m_pTable, 0));
}

void KspTest::TearDown()
{
    m_module.Unload();
#ifndef _WIN32
    ResetControls();
    EXPECT_EQ(m_live, Live()) << "contexts, keys, hashes or module blocks outlived the module";
#endif
}

SECURITY_STATUS KspTest::Verify(const char *l, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPadding,
                                Bytes hash, const Bytes &signature, DWORD dwFlags)
{
    Bytes copy = signature;
    const SECURITY_STATUS status =
        KSP(VerifySignature, l, hProvider, hKey, pPadding, hash.data(), static_cast<DWORD>(hash.size()), copy.data(),
            static_cast<DWORD>(copy.size()), dwFlags);
    EXPECT_EQ(signature, copy) << "VerifySignature wrote to the caller's signature";
    return status;
}

Out KspTest::Crypt(bool fEncrypt, const char *l, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                   const Bytes &input, DWORD cbOutput, VOID *pPadding, DWORD dwFlags)
{
    Bytes copy = input;
    copy.reserve(1); // a valid pointer also for an empty input
    Out out{0, 0xDEAD, Bytes(cbOutput, 0xCC)};
    const auto pfn = fEncrypt ? m_pTable->Encrypt : m_pTable->Decrypt;
    out.status = Call(fEncrypt ? "Encrypt" : "Decrypt", l, m_pTable, pfn, hProvider, hKey, copy.data(),
                      static_cast<DWORD>(copy.size()), pPadding, out.bytes.data(), cbOutput, Size{&out.cb}, dwFlags);
    EXPECT_EQ(input, copy) << "the input was changed";
    return out;
}

} // namespace e2e
