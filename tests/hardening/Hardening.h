// What the hardening suites share: the module loaded by path as the CNG
// router loads it, a store with the containers they use, and what the
// process holds (live CryptoAPI handles, live module blocks), which every
// sweep run and the soak must leave as they found it.
#ifndef QVN_TESTS_HARDENING_HARDENING_H
#define QVN_TESTS_HARDENING_HARDENING_H

#include "TestSupport.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>
#include <ntstatus.h>
#include <wincrypt.h>

#include <ncrypt_provider.h>
#include <qvnplatform.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>

namespace hardening
{

using qvntest::Bytes;
using qvntest::CachedTestKey;
using qvntest::kAlderProvider;
inline const WCHAR *const kKspName = u"Quorvane TPM Key Storage Provider";
// Exchange pair CachedTestKey(1024, 0), signature pair CachedTestKey(1024, 1).
inline const WCHAR *const kBothContainer = u"hardening-both";
// A signature pair only (CachedTestKey(1024, 1)).
inline const WCHAR *const kSignatureOnlyContainer = u"hardening-signature";
constexpr DWORD kKeyBytes = 128;

inline void PopulateStore()
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kBothContainer, AT_KEYEXCHANGE, CachedTestKey(1024, 0)));
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kSignatureOnlyContainer, AT_SIGNATURE, CachedTestKey(1024, 1)));
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kBothContainer, kAlderProvider, PROV_RSA_FULL, 0));
    const HCRYPTKEY hKey = qvntest::ImportTestKey(hProv, CachedTestKey(1024, 1), AT_SIGNATURE);
    EXPECT_TRUE(hKey != 0 && CryptDestroyKey(hKey));
    CryptReleaseContext(hProv, 0);
}

// The module by path (QVN_HARDENING_MODULE, else the build's), then its table.
class LoadedModule
{
public:
    ~LoadedModule() { Unload(); }
    bool LoadLibraryOnly()
    {
        const char *pszPath = std::getenv("QVN_HARDENING_MODULE");
        m_hModule =
            LoadLibraryW(qvntest::Wide(pszPath != nullptr && *pszPath ? pszPath : QVN_HARDENING_MODULE_PATH).c_str());
        return m_hModule != nullptr;
    }
    // LoadLibraryW unless loaded already, then GetKeyStorageInterface.
    bool Load()
    {
        if (m_hModule == nullptr && !LoadLibraryOnly()) {
            return false;
        }
        getInterface =
            reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME));
        return getInterface != nullptr && getInterface(kKspName, &table, 0) == STATUS_SUCCESS;
    }
    void Unload()
    {
        if (m_hModule != nullptr) {
            FreeLibrary(m_hModule);
        }
        m_hModule = nullptr;
    }

    GetKeyStorageInterfaceFn getInterface = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;

private:
    HMODULE m_hModule = nullptr;
};

// Live CryptoAPI contexts, keys, hashes and module blocks of the process.
struct Holdings {
    LONG counts[4] = {QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes(),
                      QvnPlatformModuleLiveBlocks()};
    bool operator==(const Holdings &o) const { return std::equal(counts, counts + 4, o.counts); }
};
inline std::ostream &operator<<(std::ostream &os, const Holdings &h)
{
    return os << "{contexts " << h.counts[0] << ", keys " << h.counts[1] << ", hashes " << h.counts[2]
              << ", module blocks " << h.counts[3] << "}";
}

inline std::string StatusText(LONG status)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(status));
    return sz;
}

} // namespace hardening

#endif
