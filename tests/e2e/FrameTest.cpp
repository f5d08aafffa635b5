// Entries called from many threads at once (every recorded call also checks the
// last-error value and the lock, E2E.h), and the end of the module's life with
// handles open: unloading releases every provider, key and CryptoAPI handle.
#include "E2E.h"

namespace e2e
{
namespace
{

// Four threads share one key and open their own, with failures in between;
// a fifth fetches the table meanwhile. Each gets its own results.
TEST_F(AlderTest, ThreadsUsingSharedAndOwnHandlesGetTheirOwnResults)
{
    Bytes hashes[4], sharedSignatures[4], ownSignatures[4];
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    auto run = [&](int i) {
        for (int iRound = 0; iRound < 4; ++iRound) {
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
            if (i == 4) {
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
            const Bytes plaintext = Pattern(20, static_cast<BYTE>(iRound));
            const Out ciphertext = Crypt(true, "encrypt", m_hProvider, m_hExchange, plaintext, kExchangeBytes);
            const Out decrypted = Crypt(false, "decrypt", m_hProvider, m_hExchange, ciphertext.bytes, kMaxPlaintext);
            EXPECT_EQ(plaintext, Bytes(decrypted.bytes.begin(), decrypted.bytes.begin() + decrypted.cb));
            EXPECT_EQ(NTE_BAD_KEYSET, KSP(OpenKey, "missing", hOwn, &hMissing, E2E_MISSING, AT_KEYEXCHANGE, 0));
            EXPECT_EQ(NTE_INVALID_HANDLE, Sign("foreign", hOwn, m_hExchange, &sha256, hashes[i], 256).status);
            EXPECT_EQ(0, KSP(FreeKey, "own", hOwn, hOwnKey));
            EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, "again", hOwn, hOwnKey));
            EXPECT_EQ(0, KSP(FreeProvider, "own", hOwn));
        }
    };
    std::thread threads[] = {std::thread(run, 0), std::thread(run, 1), std::thread(run, 2), std::thread(run, 3),
                             std::thread(run, 4)};
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (size_t i = 0; i < 4; ++i) { // the last signatures of each thread, judged
        EXPECT_EQ(Hex(Judge().Sign(TEXT("SHA256"), hashes[i])), Hex(sharedSignatures[i])) << i;
        EXPECT_EQ(Hex(Keys().exchange[i].pJudge->Sign(TEXT("SHA256"), hashes[i])), Hex(ownSignatures[i])) << i;
    }
}

// Unloading the module with providers and keys open (every CSP, one key
// freed, one used) releases every CryptoAPI context, key and module block
// (as every case's TearDown checks); loaded again, it starts afresh and knows
// none of the old handles.
TEST_F(KspTest, UnloadingTheModuleReleasesEverythingStillOpen)
{
    Keys();
    std::vector<std::pair<NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE>> keys;
    for (size_t i = 0; i < 5; ++i) { // the key storage provider with no key, each CSP with one
        const NCRYPT_PROV_HANDLE hProvider = Open(kAllNames[i]);
        keys.emplace_back(hProvider, i == 0 ? 0 : OpenKey(hProvider, E2E_MAIN, AT_KEYEXCHANGE));
    }
    keys.emplace_back(keys[1].first, OpenKey(keys[1].first, E2E_MAIN, AT_SIGNATURE)); // Alder's second key
    ASSERT_EQ(0, KSP(FreeKey, "freed", keys[3].first, OpenKey(keys[3].first, E2E_MAIN, AT_SIGNATURE)));
    ASSERT_EQ(0, Sign("used", keys[2].first, keys[2].second, nullptr, Pattern(20, 7), kExchangeBytes).status);
    m_module.Unload(); // on Linux TearDown finds nothing of the old module left
    m_module.Load();
    ASSERT_EQ(0, m_module.pfnGetInterface(E2E_KSP_NAME, &m_pTable, 0));
    for (const auto &key : keys) {
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, "old-key", key.first, key.second));
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, "old-provider", key.first));
    }
}

} // namespace
} // namespace e2e
