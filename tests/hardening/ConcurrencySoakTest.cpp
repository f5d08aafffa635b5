// Several threads calling the module at once: signing with a shared key,
// opening and freeing providers and keys of their own, and using handles that
// another thread frees meanwhile. Meaningful under TSan (label "tsan"): the
// sanitizer reports nothing, the work ends (a deadlock runs into the ctest
// time-out), every status is one that the call may return, every signature
// is exact, every call leaves the thread's last-error value alone, and
// afterwards the process holds what it held before. The work is a fixed
// number of iterations, so the soak is bounded whatever the machine.
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
constexpr int kIterations = 400;
constexpr int kRounds = 50;

class ConcurrencySoak : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(PopulateStore());
        ASSERT_TRUE(m_module.Load());
        OpenOwn(&m_hAlder, &m_hShared);
    }
    void TearDown() override
    {
        EXPECT_EQ(ERROR_SUCCESS, m_module.table->FreeProvider(m_hAlder)); // and the shared key with it
        m_module.Unload();
        EXPECT_EQ(m_start, Holdings()) << "the soak left something behind";
    }

    // Runs a call with a last-error value of its own, which the call must keep.
    template <typename TCall> LONG Call(TCall fnCall)
    {
        static thread_local DWORD dwMark = 0x70000000u;
        SetLastError(++dwMark);
        const LONG status = fnCall(*m_module.table);
        EXPECT_EQ(dwMark, GetLastError()) << "a call changed the thread's last-error value";
        return status;
    }
    // A signature that the call makes must be the one that the pair makes.
    LONG Sign(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
        Bytes hash = m_hash, signature(kKeyBytes);
        DWORD cb = 0;
        const LONG status = Call([&](auto &t) {
            return t.SignHash(hProvider, hKey, &padding, hash.data(), 32, signature.data(), kKeyBytes, &cb,
                              NCRYPT_PAD_PKCS1_FLAG);
        });
        EXPECT_TRUE(status != ERROR_SUCCESS || signature == m_signature) << "a signature differs";
        return status;
    }
    void OpenOwn(NCRYPT_PROV_HANDLE *phProvider, NCRYPT_KEY_HANDLE *phKey)
    {
        EXPECT_EQ(ERROR_SUCCESS, Call([&](auto &t) { return t.OpenProvider(phProvider, kAlderProvider, 0); }));
        EXPECT_EQ(ERROR_SUCCESS,
                  Call([&](auto &t) { return t.OpenKey(*phProvider, phKey, kBothContainer, AT_KEYEXCHANGE, 0); }));
    }
    LONG FreeProvider(NCRYPT_PROV_HANDLE hProvider)
    {
        return Call([&](auto &t) { return t.FreeProvider(hProvider); });
    }

    qvntest::ScopedStore m_store;
    const Holdings m_start;
    LoadedModule m_module;
    NCRYPT_PROV_HANDLE m_hAlder = 0;
    NCRYPT_KEY_HANDLE m_hShared = 0;
    const Bytes m_hash = qvntest::PatternBytes(32, 31);
    const Bytes m_signature = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, m_hash);
};

TEST_F(ConcurrencySoak, ThreadsMixingSharedOwnAndPublishedHandles)
{
    // Each thread's slot: a provider and key that the thread replaces and frees
    // while others use them. A use either works or finds the handle gone.
    std::array<std::atomic<NCRYPT_PROV_HANDLE>, kThreads> providers{};
    std::array<std::atomic<NCRYPT_KEY_HANDLE>, kThreads> keys{};
    std::vector<std::thread> threads;
    for (int iThread = 0; iThread < kThreads; ++iThread) {
        threads.emplace_back([&, iThread] {
            std::mt19937 rng(iThread);
            for (int i = 0; i < kIterations; ++i) {
                NCRYPT_PROV_HANDLE hProvider = 0;
                NCRYPT_KEY_HANDLE hKey = 0;
                const int iOther = rng() % kThreads;
                switch (rng() % 4) {
                case 0:
                    EXPECT_EQ(ERROR_SUCCESS, Sign(m_hAlder, m_hShared));
                    break;
                case 1:
                    OpenOwn(&hProvider, &hKey);
                    EXPECT_EQ(ERROR_SUCCESS, Sign(hProvider, hKey));
                    EXPECT_EQ(ERROR_SUCCESS, Call([&](auto &t) { return t.FreeKey(hProvider, hKey); }));
                    EXPECT_EQ(ERROR_SUCCESS, FreeProvider(hProvider));
                    break;
                case 2:
                    OpenOwn(&hProvider, &hKey);
                    keys[iThread] = hKey;
                    hProvider = providers[iThread].exchange(hProvider);
                    EXPECT_EQ(ERROR_SUCCESS, hProvider != 0 ? FreeProvider(hProvider) : 0);
                    break;
                default:
                    const LONG status = Sign(providers[iOther], keys[iOther]);
                    EXPECT_TRUE(status == ERROR_SUCCESS || status == NTE_INVALID_HANDLE) << StatusText(status);
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (auto &provider : providers) {
        EXPECT_EQ(ERROR_SUCCESS, provider != 0 ? FreeProvider(provider) : 0);
    }
}

TEST_F(ConcurrencySoak, ThreadsFreeingOneKeyAndOneProviderSucceedExactlyOnce)
{
    for (int iRound = 0; iRound < kRounds; ++iRound) {
        // No handle is opened during the round, so a freed value cannot come back.
        NCRYPT_PROV_HANDLE hProvider = 0;
        NCRYPT_KEY_HANDLE hFreed = 0, hUsed = 0;
        OpenOwn(&hProvider, &hFreed);
        EXPECT_EQ(ERROR_SUCCESS, m_module.table->OpenKey(hProvider, &hUsed, kBothContainer, AT_KEYEXCHANGE, 0));
        std::atomic<bool> fGo{false};
        std::atomic<int> cKeyFrees{0}, cProviderFrees{0};
        std::vector<std::thread> threads;
        for (int iThread = 0; iThread < kThreads; ++iThread) {
            threads.emplace_back([&] {
                while (!fGo) {
                    std::this_thread::yield();
                }
                const LONG statusKey = Call([&](auto &t) { return t.FreeKey(hProvider, hFreed); });
                const LONG statusSign = Sign(hProvider, hUsed);
                const LONG statusProvider = FreeProvider(hProvider);
                for (LONG status : {statusKey, statusSign, statusProvider}) {
                    EXPECT_TRUE(status == ERROR_SUCCESS || status == NTE_INVALID_HANDLE) << StatusText(status);
                }
                cKeyFrees += statusKey == ERROR_SUCCESS;
                cProviderFrees += statusProvider == ERROR_SUCCESS;
                EXPECT_EQ(StatusText(NTE_INVALID_HANDLE), StatusText(Sign(hProvider, hUsed)))
                    << "a key worked after its provider was freed";
            });
        }
        fGo = true;
        for (std::thread &thread : threads) {
            thread.join();
        }
        EXPECT_EQ(1, cKeyFrees.load());
        EXPECT_EQ(1, cProviderFrees.load());
    }
}

} // namespace
} // namespace hardening
