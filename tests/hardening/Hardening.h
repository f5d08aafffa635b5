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
#include <utility>

namespace hardening
{

using namespace qvntest;
inline const WCHAR *const kKspName = u"Quorvane TPM Key Storage Provider";
inline const WCHAR *const kExchangeContainer = u"hardening-exchange";   // CachedTestKey(1024, 0)
inline const WCHAR *const kSignatureContainer = u"hardening-signature"; // CachedTestKey(1024, 1)
constexpr DWORD kKeyBytes = 128;

inline void PopulateStore()
{
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kExchangeContainer, AT_KEYEXCHANGE, CachedTestKey(1024, 0)));
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kSignatureContainer, AT_SIGNATURE, CachedTestKey(1024, 1)));
}

// The module as the CNG router loads it: LoadLibraryW, GetKeyStorageInterface.
struct LoadedModule {
    static HMODULE Load() { return LoadLibraryW(Wide(QVN_HARDENING_MODULE_PATH).c_str()); }
    HMODULE hModule = Load();
    GetKeyStorageInterfaceFn getInterface =
        reinterpret_cast<GetKeyStorageInterfaceFn>(GetProcAddress(hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;

    LoadedModule() { EXPECT_TRUE(getInterface != nullptr && getInterface(kKspName, &table, 0) == STATUS_SUCCESS); }
    ~LoadedModule() { Unload(); }
    void Unload()
    {
        if (hModule != nullptr) {
            FreeLibrary(std::exchange(hModule, nullptr));
        }
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
    return "0x" + qvntest::Hex({BYTE(status >> 24), BYTE(status >> 16), BYTE(status >> 8), BYTE(status)});
}

} // namespace hardening

#endif
