// The end of the module's life with handles still open: unloading it, and
// ending the process, release every provider, key and CryptoAPI handle.
#include "E2EFixture.h"
#include "E2ERecord.h"

#include <cstdio>
#include <cstdlib>

namespace e2e
{
namespace
{

struct OpenHandles {
    std::vector<NCRYPT_PROV_HANDLE> providers;
    std::vector<std::pair<NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE>> keys;
};

// Opens a provider under every name and keys on the CSP providers; returns
// false (with a failure recorded) if anything refused.
bool OpenEverything(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t, LPCWSTR pszContainer, OpenHandles &open)
{
    const LPCWSTR rgpszNames[] = {E2E_KSP_NAME, E2E_ALDER_NAME, E2E_BIRCH_NAME, E2E_CEDAR_NAME, E2E_DOGWOOD_NAME};
    for (LPCWSTR pszName : rgpszNames) {
        NCRYPT_PROV_HANDLE hProvider = 0;
        if (t.OpenProvider(&hProvider, pszName, 0) != 0) {
            ADD_FAILURE() << "OpenProvider failed";
            return false;
        }
        open.providers.push_back(hProvider);
    }
    // Alder gets two keys, the others one each; Cedar also one key freed again.
    for (size_t i = 1; i < open.providers.size(); ++i) {
        for (int iKey = 0; iKey < (i == 1 ? 2 : 1); ++iKey) {
            NCRYPT_KEY_HANDLE hKey = 0;
            if (t.OpenKey(open.providers[i], &hKey, i == 1 ? pszContainer : E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0) !=
                0) {
                ADD_FAILURE() << "OpenKey failed on provider " << i;
                return false;
            }
            open.keys.emplace_back(open.providers[i], hKey);
        }
    }
    NCRYPT_KEY_HANDLE hFreed = 0;
    if (t.OpenKey(open.providers[3], &hFreed, E2E_MAIN_CONTAINER, AT_SIGNATURE, 0) != 0 ||
        t.FreeKey(open.providers[3], hFreed) != 0) {
        ADD_FAILURE() << "OpenKey/FreeKey failed";
        return false;
    }
    // One signature, so that the keys have been used.
    BYTE rgbHash[20] = {7};
    DWORD cbResult = 0;
    Bytes signature(kMainExchangeBytes);
    if (t.SignHash(open.keys[2].first, open.keys[2].second, nullptr, rgbHash, sizeof(rgbHash), signature.data(),
                   kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG) != 0) {
        ADD_FAILURE() << "SignHash failed";
        return false;
    }
    return true;
}

TEST(TeardownTest, UnloadingTheModuleReleasesEverythingStillOpen)
{
    try {
        KeyStore::Get();
    } catch (const std::exception &ex) {
        FAIL() << ex.what();
    }
    platform::HandleCounts before;
    LONG lBlocksBefore = 0;
    const bool fCounts = platform::GetLiveHandleCounts(before) && platform::GetModuleLiveBlocks(lBlocksBefore);

    OpenHandles open;
    {
        KspModule module;
        std::string strError;
        ASSERT_TRUE(module.Load(strError)) << strError;
        NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
        ASSERT_EQ(0, module.GetKeyStorageInterface(E2E_DOGWOOD_NAME, &pTable, 0));
        ASSERT_TRUE(OpenEverything(*pTable, E2E_MAIN_CONTAINER, open));
        platform::HandleCounts during;
        if (fCounts && platform::GetLiveHandleCounts(during)) {
            // Four verification contexts and five key contexts with their keys.
            EXPECT_EQ(before.lContexts + 9, during.lContexts);
            EXPECT_EQ(before.lKeys + 5, during.lKeys);
        }
        module.Unload();
    }
    platform::HandleCounts after;
    LONG lBlocksAfter = 0;
    if (fCounts && platform::GetLiveHandleCounts(after) && platform::GetModuleLiveBlocks(lBlocksAfter)) {
        EXPECT_EQ(before.lContexts, after.lContexts);
        EXPECT_EQ(before.lKeys, after.lKeys);
        EXPECT_EQ(before.lHashes, after.lHashes);
        EXPECT_EQ(lBlocksBefore, lBlocksAfter) << "allocations of the module outlived it";
    }

    // Loaded again, the module starts afresh: none of the old handles is known.
    KspModule module;
    std::string strError;
    ASSERT_TRUE(module.Load(strError)) << strError;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    ASSERT_EQ(0, module.GetKeyStorageInterface(E2E_KSP_NAME, &pTable, 0));
    const Ksp ksp(pTable);
    for (const auto &key : open.keys) {
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp.FreeKey("old-key", key.first, key.second));
    }
    for (NCRYPT_PROV_HANDLE hProvider : open.providers) {
        EXPECT_EQ(NTE_INVALID_HANDLE, ksp.FreeProvider("old-provider", hProvider));
    }
    NCRYPT_PROV_HANDLE hProvider = 0;
    EXPECT_EQ(0, ksp.OpenProvider("fresh", &hProvider, E2E_ALDER_NAME, 0));
    EXPECT_EQ(0, ksp.FreeProvider("fresh", hProvider));
}

#if GTEST_HAS_DEATH_TEST

#define E2E_CHILD_CONTAINER TEXT("QvnE2E-Child")

// Runs in the child after the module's own process-detach work (exit
// handlers run in reverse order of registration): nothing may be left.
void CheckNothingLeftAtExit()
{
    platform::HandleCounts counts;
    if (platform::GetLiveHandleCounts(counts) && (counts.lContexts != 0 || counts.lKeys != 0 || counts.lHashes != 0)) {
        std::fprintf(stderr, "left at exit: %ld contexts, %ld keys, %ld hashes\n", static_cast<long>(counts.lContexts),
                     static_cast<long>(counts.lKeys), static_cast<long>(counts.lHashes));
        std::fflush(stderr);
        std::_Exit(3);
    }
}

[[noreturn]] void ExitWithHandlesOpen()
{
    platform::PrepareKeyStore();
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, E2E_CHILD_CONTAINER, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    HCRYPTKEY hKey = 0;
    if (!CryptAcquireContextW(&hProv, E2E_CHILD_CONTAINER, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !CryptGenKey(hProv, AT_KEYEXCHANGE, 1024u << 16, &hKey)) {
        std::_Exit(4);
    }
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    std::atexit(CheckNothingLeftAtExit);

    static KspModule s_module; // never unloaded: the process ends with it
    std::string strError;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    if (!s_module.Load(strError) || s_module.GetKeyStorageInterface(E2E_BIRCH_NAME, &pTable, 0) != 0) {
        std::_Exit(5);
    }
    NCRYPT_PROV_HANDLE hAlder = 0;
    NCRYPT_KEY_HANDLE hAlderKey = 0;
    if (pTable->OpenProvider(&hAlder, E2E_ALDER_NAME, 0) != 0 ||
        pTable->OpenKey(hAlder, &hAlderKey, E2E_CHILD_CONTAINER, AT_KEYEXCHANGE, 0) != 0) {
        std::_Exit(6);
    }
    NCRYPT_PROV_HANDLE hKsp = 0;
    NCRYPT_PROV_HANDLE hBirch = 0;
    if (pTable->OpenProvider(&hKsp, E2E_KSP_NAME, 0) != 0 || pTable->OpenProvider(&hBirch, E2E_BIRCH_NAME, 0) != 0) {
        std::_Exit(7);
    }
    BYTE rgbHash[32] = {9};
    DWORD cbResult = 0;
    Bytes signature(kSmallKeyBytes);
    if (pTable->SignHash(hAlder, hAlderKey, nullptr, rgbHash, sizeof(rgbHash), signature.data(), kSmallKeyBytes,
                         &cbResult, NCRYPT_PAD_PKCS1_FLAG) != 0) {
        std::_Exit(8);
    }
    std::exit(0);
}

TEST(TeardownDeathTest, ProcessEndingWithHandlesOpenEndsCleanly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithHandlesOpen(), ::testing::ExitedWithCode(0), "");
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, E2E_CHILD_CONTAINER, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

#endif

} // namespace
} // namespace e2e
