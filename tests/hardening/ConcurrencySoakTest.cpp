// Several threads calling the module at once: signing with a shared key,
// opening and freeing providers and keys of their own, and using handles that
// their owner replaces and frees meanwhile. Meaningful under TSan (label
// "tsan"): the sanitizer reports nothing, the work ends (a deadlock runs into
// the ctest time-out), every status is one that the call may return, every
// signature is exact, and afterwards the process holds what it held before.
// The work is a fixed number of iterations, bounded on any machine.
#include "Hardening.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace hardening
{
namespace
{

constexpr int kThreads = 4;

TEST(ConcurrencySoak, ThreadsMixingSharedOwnAndPublishedHandles)
{
    qvntest::ScopedStore store;
    const Holdings start = Held();
    ASSERT_NO_FATAL_FAILURE(PopulateStore());
    LoadedModule module;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = *module.table;
    const Bytes hash = qvntest::PatternBytes(32, 31);
    const Bytes expected = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, hash);
    const auto open = [&](NCRYPT_PROV_HANDLE *phProvider, NCRYPT_KEY_HANDLE *phKey) {
        EXPECT_EQ(ERROR_SUCCESS, t.OpenProvider(phProvider, kAlderProvider, 0));
        EXPECT_EQ(ERROR_SUCCESS, t.OpenKey(*phProvider, phKey, kExchangeContainer, AT_KEYEXCHANGE, 0));
    };
    // A signature made must be the one that the pair makes.
    const auto sign = [&](NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) {
        BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
        Bytes hashCopy = hash, signature(kKeyBytes);
        DWORD cb = 0;
        const LONG status = t.SignHash(hProvider, hKey, &padding, hashCopy.data(), 32, signature.data(), kKeyBytes, &cb,
                                       NCRYPT_PAD_PKCS1_FLAG);
        EXPECT_TRUE(status == NTE_INVALID_HANDLE || (status == ERROR_SUCCESS && signature == expected))
            << StatusText(status);
        return status;
    };
    NCRYPT_PROV_HANDLE hShared = 0;
    NCRYPT_KEY_HANDLE hSharedKey = 0;
    open(&hShared, &hSharedKey);
    // Each thread's slot: a provider and key that it replaces and frees while
    // others use them; such a use works or finds the handle gone.
    std::array<std::atomic<NCRYPT_PROV_HANDLE>, kThreads> providers{};
    std::array<std::atomic<NCRYPT_KEY_HANDLE>, kThreads> keys{};
    std::vector<std::thread> threads;
    for (int iThread = 0; iThread < kThreads; ++iThread) {
        threads.emplace_back([&, iThread] {
            std::mt19937 rng(iThread);
            for (int i = 0; i < 500; ++i) {
                NCRYPT_PROV_HANDLE hProvider = 0;
                NCRYPT_KEY_HANDLE hKey = 0;
                const int iOther = rng() % kThreads;
                switch (rng() % 4) {
                case 0:
                    EXPECT_EQ(ERROR_SUCCESS, sign(hShared, hSharedKey));
                    break;
                case 1:
                    open(&hProvider, &hKey);
                    EXPECT_EQ(ERROR_SUCCESS, sign(hProvider, hKey));
                    EXPECT_EQ(ERROR_SUCCESS, t.FreeKey(hProvider, hKey));
                    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(hProvider));
                    break;
                case 2:
                    open(&hProvider, &hKey);
                    keys[iThread] = hKey;
                    hProvider = providers[iThread].exchange(hProvider);
                    EXPECT_EQ(ERROR_SUCCESS, hProvider != 0 ? t.FreeProvider(hProvider) : 0);
                    break;
                default:
                    sign(providers[iOther], keys[iOther]);
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (auto &provider : providers) {
        EXPECT_EQ(ERROR_SUCCESS, provider != 0 ? t.FreeProvider(provider) : 0);
    }
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(hShared)); // and its key with it
    module.Unload();
    EXPECT_EQ(start, Held()) << "the soak left something behind";
}

} // namespace
} // namespace hardening
