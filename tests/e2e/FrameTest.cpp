// Entries called from many threads at once (every recorded call also checks
// the last-error value and the lock, E2E.h), and the end of the module's life
// with handles open: unloading it, or ending the process, releases every
// provider, key and CryptoAPI handle.
#include "E2E.h"

#include <cstdlib>
#include <future>
#include <thread>

namespace e2e
{
namespace
{

template <class Fn> void RunThreads(int cThreads, Fn fn)
{
    std::promise<void> go; // releases all threads at once
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::thread> threads;
    for (int i = 0; i < cThreads; ++i) {
        threads.emplace_back([&, i] {
            start.wait();
            fn(i);
        });
    }
    go.set_value();
    for (std::thread &thread : threads) {
        thread.join();
    }
}

// Four threads share one key and open their own, with failures in between;
// a fifth fetches the table meanwhile. Each gets its own results.
TEST_F(AlderTest, ThreadsUsingSharedAndOwnHandlesGetTheirOwnResults)
{
    Bytes hashes[4], sharedSignatures[4], ownSignatures[4];
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    RunThreads(5, [&](int i) {
        for (int iRound = 0; iRound < 4; ++iRound) {
            if (i == 4) {
                NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
                EXPECT_EQ(0, m_module.pfnGetInterface(kCsps[iRound].pszName, &pTable, 0));
                EXPECT_EQ(m_pTable, pTable);
                continue;
            }
            const NCRYPT_PROV_HANDLE hOwn = Open(kCsps[i].pszName);
            const NCRYPT_KEY_HANDLE hOwnKey = OpenKey(hOwn, E2E_MAIN, AT_KEYEXCHANGE);
            NCRYPT_KEY_HANDLE hMissing = 0;
            hashes[i] = Pattern(32, static_cast<BYTE>(i * 16 + iRound));
            sharedSignatures[i] = Sign("shared", m_hProvider, m_hExchange, &sha256, hashes[i], kExchangeBytes).bytes;
            ownSignatures[i] = Sign("own", hOwn, hOwnKey, &sha256, hashes[i], kExchangeBytes).bytes;
            EXPECT_EQ(0, Verify("shared", m_hProvider, m_hExchange, &sha256, hashes[i], sharedSignatures[i]));
            for (const auto &key : {std::make_pair(m_hProvider, m_hExchange), std::make_pair(hOwn, hOwnKey)}) {
                const Bytes plaintext = Pattern(20, static_cast<BYTE>(iRound));
                const Out ciphertext = Crypt(true, "encrypt", key.first, key.second, plaintext, kExchangeBytes);
                const Out decrypted = Crypt(false, "decrypt", key.first, key.second, ciphertext.bytes, kMaxPlaintext);
                EXPECT_EQ(plaintext, Bytes(decrypted.bytes.begin(), decrypted.bytes.begin() + decrypted.cb));
            }
            EXPECT_EQ(NTE_BAD_KEYSET, KSP(OpenKey, "missing", hOwn, &hMissing, E2E_MISSING, AT_KEYEXCHANGE, 0));
            EXPECT_EQ(NTE_INVALID_HANDLE, Sign("foreign", hOwn, m_hExchange, &sha256, hashes[i], 256).status);
            EXPECT_EQ(0, KSP(FreeKey, "own", hOwn, hOwnKey));
            EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, "again", hOwn, hOwnKey));
            EXPECT_EQ(0, KSP(FreeProvider, "own", hOwn));
        }
    });
    for (size_t i = 0; i < 4; ++i) { // the last signatures of each thread, judged
        EXPECT_EQ(Hex(Judge().Sign(TEXT("SHA256"), hashes[i])), Hex(sharedSignatures[i])) << i;
        EXPECT_EQ(Hex(Keys().exchange[i].pJudge->Sign(TEXT("SHA256"), hashes[i])), Hex(ownSignatures[i])) << i;
    }
}

TEST_F(AlderTest, OfManyThreadsFreeingOneHandleExactlyOneSucceeds)
{
    for (int iRound = 0; iRound < 3; ++iRound) {
        const NCRYPT_KEY_HANDLE hKey = OpenKey(m_hProvider, E2E_MAIN, AT_SIGNATURE);
        const NCRYPT_PROV_HANDLE hProvider = Open(E2E_DOGWOOD_NAME);
        OpenKey(hProvider, E2E_MAIN, AT_KEYEXCHANGE); // dies with its provider
        SECURITY_STATUS rgKey[6], rgProvider[6];
        RunThreads(6, [&](int i) {
            rgKey[i] = m_pTable->FreeKey(m_hProvider, hKey);
            rgProvider[i] = m_pTable->FreeProvider(hProvider);
        });
        for (const SECURITY_STATUS *pStatus : {rgKey, rgProvider}) {
            DWORD cFreed = 0;
            for (int i = 0; i < 6; ++i) {
                cFreed += pStatus[i] == 0;
                EXPECT_TRUE(pStatus[i] == 0 || pStatus[i] == NTE_INVALID_HANDLE) << pStatus[i];
            }
            Record("threads.freed", 0, &cFreed);
            EXPECT_EQ(1u, cFreed);
        }
    }
}

TEST_F(KspTest, UnloadingTheModuleReleasesEverythingStillOpen)
{
    Keys();
    std::vector<NCRYPT_PROV_HANDLE> providers;
    std::vector<std::pair<NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE>> keys;
    for (LPCWSTR pszName : kAllNames) {
        providers.push_back(Open(pszName));
    }
    for (size_t i = 1; i < 5; ++i) { // Alder gets two keys, the others one each
        for (size_t iKey = 0; iKey < (i == 1 ? 2 : 1); ++iKey) {
            keys.emplace_back(providers[i], OpenKey(providers[i], E2E_MAIN, AT_KEYEXCHANGE));
        }
    }
    ASSERT_EQ(0, KSP(FreeKey, "freed", providers[3], OpenKey(providers[3], E2E_MAIN, AT_SIGNATURE)));
    ASSERT_EQ(0, Sign("used", keys[2].first, keys[2].second, nullptr, Pattern(20, 7), kExchangeBytes).status);
#ifndef _WIN32
    const std::array<LONG, 4> during = Live(); // four verification contexts, five key contexts with their keys
    EXPECT_EQ(m_live[0] + 9, during[0]);
    EXPECT_EQ(m_live[1] + 5, during[1]);
#endif
    m_module.Unload();
#ifndef _WIN32
    EXPECT_EQ(m_live, Live()) << "contexts, keys, hashes or module blocks outlived the module";
#endif
    // Loaded again, the module starts afresh: none of the old handles is known.
    m_module.Load();
    ASSERT_EQ(0, m_module.pfnGetInterface(E2E_KSP_NAME, &m_pTable, 0));
    for (const auto &key : keys) {
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, "old-key", key.first, key.second));
    }
    for (NCRYPT_PROV_HANDLE hProvider : providers) {
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, "old-provider", hProvider));
    }
}

#if GTEST_HAS_DEATH_TEST

#define E2E_CHILD TEXT("QvnE2E-Child")

// The child opens providers and keys and ends without freeing them; after the
// module's own process-detach work (exit handlers run in reverse order of
// registration, and the module came later) no CryptoAPI handle may be left.
[[noreturn]] void ExitWithHandlesOpen()
{
    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    CryptAcquireContextW(&hProv, E2E_CHILD, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    if (!CryptAcquireContextW(&hProv, E2E_CHILD, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_NEWKEYSET) ||
        !CryptGenKey(hProv, AT_KEYEXCHANGE, 1024u << 16, &hKey) || !CryptDestroyKey(hKey) ||
        !CryptReleaseContext(hProv, 0)) {
        std::_Exit(4);
    }
#ifndef _WIN32
    std::atexit([] {
        if (Live()[0] != 0 || Live()[1] != 0 || Live()[2] != 0) {
            std::_Exit(3);
        }
    });
#endif
    static KspModule s_module; // never unloaded: the process ends with it
    s_module.Load();
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    NCRYPT_PROV_HANDLE hAlder = 0, hKsp = 0, hBirch = 0;
    NCRYPT_KEY_HANDLE hAlderKey = 0;
    BYTE rgbHash[32] = {9}, rgbSignature[128];
    DWORD cb = 0;
    if (s_module.pfnGetInterface(E2E_BIRCH_NAME, &pTable, 0) != 0 || pTable->OpenProvider(&hAlder, E2E_ALDER_NAME, 0) ||
        pTable->OpenKey(hAlder, &hAlderKey, E2E_CHILD, AT_KEYEXCHANGE, 0) ||
        pTable->OpenProvider(&hKsp, E2E_KSP_NAME, 0) || pTable->OpenProvider(&hBirch, E2E_BIRCH_NAME, 0) ||
        pTable->SignHash(hAlder, hAlderKey, nullptr, rgbHash, 32, rgbSignature, 128, &cb, kPkcs1)) {
        std::_Exit(5);
    }
    std::exit(0);
}

TEST(TeardownDeathTest, ProcessEndingWithHandlesOpenEndsCleanly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithHandlesOpen(), ::testing::ExitedWithCode(0), "");
    HCRYPTPROV hProv = 0;
    CryptAcquireContextW(&hProv, E2E_CHILD, E2E_ALDER_NAME, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
}

#endif

} // namespace
} // namespace e2e
