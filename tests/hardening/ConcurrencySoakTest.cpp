// Threads signing with the provider and key that another thread keeps in its
// slot while that thread replaces and frees them. Under TSan (label "tsan"):
// no report, no deadlock (the ctest time-out ends one), every status one the
// call may return, every signature exact, and nothing held afterwards that was
// not held before. A fixed number of iterations bounds the work anywhere.
#include "Hardening.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace hardening
{

TEST(ConcurrencySoak, ThreadsUsingHandlesThatTheirOwnersFreeMeanwhile)
{
    constexpr int kThreads = 4;
    ScopedStore store;
    const Holdings start = Held();
    ASSERT_NO_FATAL_FAILURE(PopulateStore());
    LoadedModule module;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *module.table;
    const Bytes hash = PatternBytes(32, 31);
    const Bytes expected = OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, hash);
    std::array<std::atomic<NCRYPT_PROV_HANDLE>, kThreads> providers{};
    std::array<std::atomic<NCRYPT_KEY_HANDLE>, kThreads> keys{};
    std::atomic<int> cSigned{0}, cGone{0};
    std::vector<std::thread> threads;
    for (int iThread = 0; iThread < kThreads; ++iThread) {
        threads.emplace_back([&, iThread] {
            std::mt19937 rng(iThread);
            for (int i = 0; i < 1000; ++i) {
                const int iSlot = rng() % kThreads;
                if (iSlot == iThread) { // a new provider and key in the own slot; the old ones freed
                    NCRYPT_PROV_HANDLE hProvider = 0, hKey = 0;
                    EXPECT_EQ(ERROR_SUCCESS, t.OpenProvider(&hProvider, kAlderProvider, 0));
                    EXPECT_EQ(ERROR_SUCCESS, t.OpenKey(hProvider, &hKey, kExchangeContainer, AT_KEYEXCHANGE, 0));
                    keys[iThread] = hKey;
                    hProvider = providers[iThread].exchange(hProvider);
                    EXPECT_EQ(ERROR_SUCCESS, hProvider != 0 ? t.FreeProvider(hProvider) : 0);
                    continue;
                }
                // Another's: the call works on the key or finds the handles gone.
                BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
                Bytes hashCopy = hash, signature(kKeyBytes);
                DWORD cb = 0;
                const LONG status = t.SignHash(providers[iSlot], keys[iSlot], &padding, hashCopy.data(), 32,
                                               signature.data(), kKeyBytes, &cb, NCRYPT_PAD_PKCS1_FLAG);
                EXPECT_TRUE(status == NTE_INVALID_HANDLE || (status == ERROR_SUCCESS && signature == expected))
                    << StatusText(status);
                (status == ERROR_SUCCESS ? cSigned : cGone)++;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (auto &provider : providers) {
        EXPECT_EQ(ERROR_SUCCESS, provider != 0 ? t.FreeProvider(provider) : 0); // and its key with it
    }
    std::printf("soak: %d threads, %d signatures, %d uses found the handles gone\n", kThreads, cSigned.load(),
                cGone.load());
    EXPECT_GT(cSigned.load(), 0);
    module.Unload();
    EXPECT_EQ(start, Held()) << "the soak left something behind";
}

} // namespace hardening
