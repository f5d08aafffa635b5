// What the hardening suites share: a store with the containers they use, the
// module loaded by path as the CNG router loads it, and what the process
// holds, which every run must leave as it found it.
#ifndef QVN_TESTS_HARDENING_HARDENING_H
#define QVN_TESTS_HARDENING_HARDENING_H

#include "TestSupport.h"

#include <ncrypt_provider.h>
#include <ntstatus.h>
#include <qvnplatform.h>

#include <array>
#include <cstdio>
#include <string>

namespace hardening
{

using qvntest::Bytes;
using qvntest::CachedTestKey;
using qvntest::kAlderProvider;
inline const WCHAR *const kKspName = u"Quorvane TPM Key Storage Provider";
inline const WCHAR *const kExchangeContainer = u"hardening-exchange";   // CachedTestKey(1024, 0)
inline const WCHAR *const kSignatureContainer = u"hardening-signature"; // CachedTestKey(1024, 1)
constexpr DWORD kKeyBytes = 128;

inline void PopulateStore()
{
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kExchangeContainer, AT_KEYEXCHANGE, CachedTestKey(1024, 0)));
    ASSERT_TRUE(
        qvntest::CreateContainerWithKey(kAlderProvider, kSignatureContainer, AT_SIGNATURE, CachedTestKey(1024, 1)));
}

inline HMODULE LoadModuleLibrary()
{
    return LoadLibraryW(qvntest::Wide(QVN_HARDENING_MODULE_PATH).c_str());
}

// The module as the CNG router loads it: LoadLibraryW, GetKeyStorageInterface.
struct LoadedModule {
    HMODULE hModule = LoadModuleLibrary();
    GetKeyStorageInterfaceFn getInterface =
        reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;

    LoadedModule() { EXPECT_TRUE(getInterface != nullptr && getInterface(kKspName, &table, 0) == STATUS_SUCCESS); }
    ~LoadedModule() { Unload(); }
    void Unload()
    {
        if (hModule != nullptr) {
            FreeLibrary(hModule);
        }
        hModule = nullptr;
    }
};

// Live CryptoAPI contexts, keys and hashes, and live blocks of the module.
using Holdings = std::array<LONG, 4>;
inline Holdings Held()
{
    return {QvnPlatformLiveContexts(), QvnPlatformLiveKeys(), QvnPlatformLiveHashes(), QvnPlatformModuleLiveBlocks()};
}

inline std::string StatusText(LONG status)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08x", static_cast<unsigned>(status));
    return sz;
}

} // namespace hardening

#endif
