// What the hardening suites share: a store with the containers they use, the
// module loaded by path as the CNG router loads it, and what the process
// holds, which every run must leave as it found it. On Windows (the fault
// sweep under Wine) the module is the DLL beside the program, and
// WineFaults.h stands in for the Linux platform's controls and OpenSSL.
#ifndef QVN_TESTS_HARDENING_HARDENING_H
#define QVN_TESTS_HARDENING_HARDENING_H

#ifdef _WIN32
#include "WineFaults.h"
#else
#include "TestSupport.h"
#include <qvnplatform.h>
#endif

#include <ncrypt_provider.h>
#include <ntstatus.h>

#include <array>
#include <optional>
#include <cstdio>
#include <string>
#include <utility>

namespace hardening
{

using namespace qvntest;
inline const WCHAR *const kKspName = TEXT("Quorvane TPM Key Storage Provider");
inline const WCHAR *const kExchangeContainer = TEXT("hardening-exchange");   // CachedTestKey(1024, 0)
inline const WCHAR *const kSignatureContainer = TEXT("hardening-signature"); // CachedTestKey(1024, 1)

#ifndef _WIN32 // OpenSSL judges
inline constexpr auto &JudgeSign = OpenSslSign;
inline constexpr auto &JudgeEncrypt = OpenSslEncrypt;
inline constexpr auto &JudgeDecrypt = OpenSslDecrypt;
#endif
constexpr DWORD kKeyBytes = 128;

inline void PopulateStore()
{
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kExchangeContainer, AT_KEYEXCHANGE, CachedTestKey(1024, 0)));
    ASSERT_TRUE(CreateContainerWithKey(kAlderProvider, kSignatureContainer, AT_SIGNATURE, CachedTestKey(1024, 1)));
}

// The module as the CNG router loads it: LoadLibraryW, GetKeyStorageInterface.
struct LoadedModule {
#ifdef _WIN32 // with its imports patched
    static HMODULE Load()
    {
        return QvnWineLoadModule();
    }
#else
    static HMODULE Load()
    {
        return LoadLibraryW(Wide(QVN_HARDENING_MODULE_PATH).c_str());
    }
#endif
    HMODULE hModule = Load();
    GetKeyStorageInterfaceFn getInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void *>(GetProcAddress(hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME)));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *table = nullptr;

    LoadedModule()
    {
        EXPECT_TRUE(getInterface != nullptr && getInterface(kKspName, &table, 0) == STATUS_SUCCESS);
    }
    ~LoadedModule()
    {
        Unload();
    }
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
