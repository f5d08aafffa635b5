// Several threads calling every entry at once, on shared handles and on
// handles of their own, with frees racing with use. Meaningful under TSan
// (label "tsan"): the sanitizer must report nothing, every status must be one
// that the call may return, every result must be exact, and afterwards the
// process must hold what it held before. The work is a fixed number of
// iterations, so the soak is bounded whatever the machine.
#include "HardeningSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace hardening
{
namespace
{

using qvntest::CachedTestKey;
using qvntest::kAlderProvider;

constexpr int kThreads = 4;
constexpr int kMixedIterations = 800;
constexpr int kContestRounds = 60;

class Barrier
{
public:
    explicit Barrier(int cThreads) : m_cThreads(cThreads) {}
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const unsigned uGeneration = m_uGeneration;
        if (++m_cWaiting == m_cThreads) {
            m_cWaiting = 0;
            ++m_uGeneration;
            m_cv.notify_all();
            return;
        }
        m_cv.wait(lock, [&] { return m_uGeneration != uGeneration; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    const int m_cThreads;
    int m_cWaiting = 0;
    unsigned m_uGeneration = 0;
};

// What all threads share: the module, handles that stay open throughout,
// inputs with their known results, and one slot per thread in which the
// thread publishes a provider and key of its own for the others to use
// while it frees them.
struct Shared {
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    GetKeyStorageInterfaceFn pfnGetInterface = nullptr;
    NCRYPT_PROV_HANDLE hKsp = 0;
    NCRYPT_PROV_HANDLE hAlder = 0;
    NCRYPT_KEY_HANDLE hExchange = 0;
    NCRYPT_KEY_HANDLE hSignature = 0;
    Bytes hash;
    Bytes exchangeSignature;  // of hash by the exchange pair, as CNG gives it
    Bytes signatureSignature; // of hash by the signature pair
    Bytes plaintext;
    Bytes ciphertext;
    std::array<std::atomic<NCRYPT_PROV_HANDLE>, kThreads> publishedProvider{};
    std::array<std::atomic<NCRYPT_KEY_HANDLE>, kThreads> publishedKey{};
    std::atomic<unsigned> cCalls{0};
    std::atomic<unsigned> cFoundGone{0}; // uses of published handles that found them freed

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &T() const { return *pTable; }
};

// One thread's calls: each call runs with a last-error value of the thread's
// own, which the call must leave as it was.
class Worker
{
public:
    Worker(Shared &shared, int iThread) : m_shared(shared), m_iThread(iThread), m_rng(1000 + iThread) {}

    void RunMixed();
    // Takes its part in one contest round over a provider and two keys.
    void Contest(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hFreed, NCRYPT_KEY_HANDLE hUsed,
                 std::atomic<int> &cKeyFrees, std::atomic<int> &cProviderFrees);
    void FreePublished();

private:
    template <typename TCall> LONG Call(const char *pszWhat, TCall fnCall)
    {
        const DWORD dwLastError = 0x7000000u + static_cast<DWORD>(m_iThread) * 0x10000u + ++m_uCalls;
        SetLastError(dwLastError);
        const LONG status = fnCall();
        ++m_shared.cCalls;
        EXPECT_EQ(dwLastError, GetLastError()) << pszWhat << " changed the thread's last-error value";
        return status;
    }

    // Signs the shared hash with the key; checks the signature when it worked.
    LONG Sign(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, const Bytes &expected);
    LONG EncryptAndDecrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey);
    void OpenAlderKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey);
    void Publish();
    void UsePublished();
    void Queries();
    void RefusedCalls();
    void Stubs();

    Shared &m_shared;
    const int m_iThread;
    std::mt19937 m_rng;
    unsigned m_uCalls = 0;
};

LONG Worker::Sign(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, const Bytes &expected)
{
    BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
    Bytes hash = m_shared.hash;
    Bytes signature(kKeyBytes, 0);
    DWORD cbResult = 0;
    const LONG status = Call("SignHash", [&] {
        return m_shared.T().SignHash(hProvider, hKey, &padding, hash.data(), 32, signature.data(), kKeyBytes, &cbResult,
                                     NCRYPT_PAD_PKCS1_FLAG);
    });
    if (status == ERROR_SUCCESS) {
        EXPECT_EQ(kKeyBytes, cbResult);
        EXPECT_EQ(expected, signature) << "a signature differs from the one the key pair makes";
    }
    return status;
}

LONG Worker::EncryptAndDecrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    Bytes plaintext = qvntest::PatternBytes(1 + m_rng() % 100, m_rng());
    Bytes ciphertext(kKeyBytes, 0);
    DWORD cbResult = 0;
    LONG status = Call("Encrypt", [&] {
        return m_shared.T().Encrypt(hProvider, hKey, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                    ciphertext.data(), kKeyBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    });
    if (status != ERROR_SUCCESS) {
        return status;
    }
    EXPECT_EQ(plaintext, qvntest::OpenSslDecrypt(CachedTestKey(1024, 0), ciphertext).value_or(Bytes()));
    Bytes decrypted(kKeyBytes, 0);
    status = Call("Decrypt", [&] {
        return m_shared.T().Decrypt(hProvider, hKey, ciphertext.data(), kKeyBytes, nullptr, decrypted.data(), kKeyBytes,
                                    &cbResult, NCRYPT_PAD_PKCS1_FLAG);
    });
    if (status == ERROR_SUCCESS) {
        decrypted.resize(cbResult);
        EXPECT_EQ(plaintext, decrypted);
    }
    return status;
}

void Worker::OpenAlderKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey)
{
    const LONG status = Call("OpenKey", [&] {
        return m_shared.T().OpenKey(hProvider, phKey, kBothContainer, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG);
    });
    EXPECT_EQ(StatusText(ERROR_SUCCESS), StatusText(status));
}

// Opens a provider and key of this thread's own, puts them in its slot, and
// frees the ones that were there, while others may be using them.
void Worker::Publish()
{
    NCRYPT_PROV_HANDLE hProvider = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              Call("OpenProvider", [&] { return m_shared.T().OpenProvider(&hProvider, kAlderProvider, 0); }));
    NCRYPT_KEY_HANDLE hKey = 0;
    OpenAlderKey(hProvider, &hKey);
    const NCRYPT_PROV_HANDLE hOldProvider = m_shared.publishedProvider[m_iThread].exchange(hProvider);
    const NCRYPT_KEY_HANDLE hOldKey = m_shared.publishedKey[m_iThread].exchange(hKey);
    if (hOldProvider != 0) {
        // Sometimes the key first, sometimes the provider with its key.
        if (m_rng() % 2 == 0) {
            EXPECT_EQ(ERROR_SUCCESS, Call("FreeKey", [&] { return m_shared.T().FreeKey(hOldProvider, hOldKey); }));
        }
        EXPECT_EQ(ERROR_SUCCESS, Call("FreeProvider", [&] { return m_shared.T().FreeProvider(hOldProvider); }));
    }
}

void Worker::FreePublished()
{
    const NCRYPT_PROV_HANDLE hProvider = m_shared.publishedProvider[m_iThread].exchange(0);
    m_shared.publishedKey[m_iThread].store(0);
    if (hProvider != 0) {
        EXPECT_EQ(ERROR_SUCCESS, Call("FreeProvider", [&] { return m_shared.T().FreeProvider(hProvider); }));
    }
}

// Uses what another thread published, which that thread may be freeing at
// this moment: the call either works on the key or finds the handle gone.
// (A value freed and handed out again names a key of the same container, so
// a call that works gives the same results.)
void Worker::UsePublished()
{
    const int iOwner = static_cast<int>(m_rng() % kThreads);
    const NCRYPT_PROV_HANDLE hProvider = m_shared.publishedProvider[iOwner].load();
    const NCRYPT_KEY_HANDLE hKey = m_shared.publishedKey[iOwner].load();
    LONG status = 0;
    switch (m_rng() % 3) {
    case 0:
        status = Sign(hProvider, hKey, m_shared.exchangeSignature);
        break;
    case 1:
        status = EncryptAndDecrypt(hProvider, hKey);
        break;
    default: {
        BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
        Bytes hash = m_shared.hash;
        Bytes signature = m_shared.exchangeSignature;
        status = Call("VerifySignature", [&] {
            return m_shared.T().VerifySignature(hProvider, hKey, &padding, hash.data(), 32, signature.data(), kKeyBytes,
                                                NCRYPT_PAD_PKCS1_FLAG);
        });
        break;
    }
    }
    EXPECT_TRUE(status == ERROR_SUCCESS || status == NTE_INVALID_HANDLE) << StatusText(status);
    m_shared.cFoundGone += status == NTE_INVALID_HANDLE ? 1 : 0;
}

void Worker::Queries()
{
    DWORD dwValue = 0;
    DWORD cbResult = 0;
    EXPECT_EQ(ERROR_SUCCESS, Call("GetProviderProperty", [&] {
                  return m_shared.T().GetProviderProperty(m_shared.hKsp, NCRYPT_MAX_NAME_LENGTH_PROPERTY,
                                                          reinterpret_cast<PBYTE>(&dwValue), 4, &cbResult, 0);
              }));
    EXPECT_EQ(260u, dwValue);
    DWORD dwCount = 7;
    EXPECT_EQ(ERROR_SUCCESS, Call("EnumAlgorithms", [&] {
                  return m_shared.T().EnumAlgorithms(m_shared.hKsp, NCRYPT_SIGNATURE_OPERATION, &dwCount, nullptr, 0);
              }));
    EXPECT_EQ(0u, dwCount);
    cbResult = 9;
    EXPECT_EQ(NTE_NOT_SUPPORTED, Call("GetProviderProperty", [&] {
                  return m_shared.T().GetProviderProperty(m_shared.hAlder, NCRYPT_VERSION_PROPERTY,
                                                          reinterpret_cast<PBYTE>(&dwValue), 4, &cbResult, 0);
              }));
    EXPECT_EQ(9u, cbResult);
    Bytes hash = m_shared.hash;
    Bytes signature = m_shared.signatureSignature;
    BCRYPT_PKCS1_PADDING_INFO padding = {u"SHA256"};
    EXPECT_EQ(ERROR_SUCCESS, Call("VerifySignature", [&] {
                  return m_shared.T().VerifySignature(m_shared.hAlder, m_shared.hSignature, &padding, hash.data(), 32,
                                                      signature.data(), kKeyBytes, NCRYPT_PAD_PKCS1_FLAG);
              }));
    signature[m_rng() % kKeyBytes] ^= 0x10;
    EXPECT_EQ(NTE_BAD_SIGNATURE, Call("VerifySignature", [&] {
                  return m_shared.T().VerifySignature(m_shared.hAlder, m_shared.hSignature, &padding, hash.data(), 32,
                                                      signature.data(), kKeyBytes, NCRYPT_PAD_PKCS1_FLAG);
              }));
}

// Calls that fail, including inside CryptoAPI, interleaved with the others:
// none of them may leave the entry lock held or disturb another thread.
void Worker::RefusedCalls()
{
    NCRYPT_KEY_HANDLE hKey = 0x77;
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              Call("OpenKey", [&] { return m_shared.T().OpenKey(m_shared.hAlder, &hKey, kBothContainer, 0, 0); }));
    EXPECT_EQ(NTE_BAD_KEYSET, Call("OpenKey", [&] {
                  return m_shared.T().OpenKey(m_shared.hAlder, &hKey, kSignatureOnlyContainer, AT_KEYEXCHANGE, 0);
              }));
    EXPECT_EQ(0x77u, hKey);
    EXPECT_EQ(NTE_NOT_SUPPORTED, Call("OpenKey", [&] {
                  return m_shared.T().OpenKey(m_shared.hKsp, &hKey, kBothContainer, AT_KEYEXCHANGE, 0);
              }));
    Bytes data = m_shared.plaintext;
    Bytes output(kKeyBytes, 0);
    DWORD cbResult = 0;
    EXPECT_EQ(NTE_PERM, Call("Encrypt", [&] {
                  return m_shared.T().Encrypt(m_shared.hAlder, m_shared.hSignature, data.data(),
                                              static_cast<DWORD>(data.size()), nullptr, output.data(), kKeyBytes,
                                              &cbResult, NCRYPT_PAD_PKCS1_FLAG);
              }));
    Bytes ciphertext(kKeyBytes, 0x5A);
    EXPECT_EQ(NTE_DECRYPTION_FAILURE, Call("Decrypt", [&] {
                  return m_shared.T().Decrypt(m_shared.hAlder, m_shared.hExchange, ciphertext.data(), kKeyBytes,
                                              nullptr, output.data(), kKeyBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
              }));
    EXPECT_EQ(NTE_INVALID_HANDLE, Call("FreeProvider", [&] { return m_shared.T().FreeProvider(0); }));
    EXPECT_EQ(NTE_INVALID_HANDLE,
              Call("FreeKey", [&] { return m_shared.T().FreeKey(m_shared.hAlder, m_shared.hAlder); }));
}

// The stubs and the export take no lock; they run alongside everything.
void Worker::Stubs()
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_shared.T();
    EXPECT_EQ(NTE_NOT_SUPPORTED, Call("FreeBuffer", [&] { return t.FreeBuffer(nullptr); }));
    EXPECT_EQ(NTE_NOT_SUPPORTED,
              Call("DeleteKey", [&] { return t.DeleteKey(m_shared.hAlder, m_shared.hExchange, 0); }));
    EXPECT_EQ(NTE_NOT_SUPPORTED, Call("IsAlgSupported", [&] { return t.IsAlgSupported(m_shared.hKsp, u"RSA", 0); }));
    EXPECT_EQ(NTE_NOT_SUPPORTED, Call("FreeSecret", [&] { return t.FreeSecret(m_shared.hAlder, 0); }));
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, m_shared.pfnGetInterface(qvntest::kDogwoodProvider, &pTable, 0));
    EXPECT_EQ(m_shared.pTable, pTable);
}

void Worker::RunMixed()
{
    for (int i = 0; i < kMixedIterations && !::testing::Test::HasFatalFailure(); ++i) {
        switch (m_rng() % 9) {
        case 0:
            EXPECT_EQ(ERROR_SUCCESS, Sign(m_shared.hAlder, m_shared.hExchange, m_shared.exchangeSignature));
            break;
        case 1:
            EXPECT_EQ(ERROR_SUCCESS, EncryptAndDecrypt(m_shared.hAlder, m_shared.hExchange));
            break;
        case 2:
            Queries();
            break;
        case 3: {
            // A provider and key of this thread's own, from open to free.
            NCRYPT_PROV_HANDLE hProvider = 0;
            EXPECT_EQ(ERROR_SUCCESS,
                      Call("OpenProvider", [&] { return m_shared.T().OpenProvider(&hProvider, kAlderProvider, 0); }));
            NCRYPT_KEY_HANDLE hKey = 0;
            OpenAlderKey(hProvider, &hKey);
            EXPECT_EQ(ERROR_SUCCESS, Sign(hProvider, hKey, m_shared.exchangeSignature));
            EXPECT_EQ(ERROR_SUCCESS, Call("FreeKey", [&] { return m_shared.T().FreeKey(hProvider, hKey); }));
            EXPECT_EQ(ERROR_SUCCESS, Call("FreeProvider", [&] { return m_shared.T().FreeProvider(hProvider); }));
            break;
        }
        case 4: {
            // A key of this thread's own under the shared provider.
            NCRYPT_KEY_HANDLE hKey = 0;
            OpenAlderKey(m_shared.hAlder, &hKey);
            EXPECT_EQ(ERROR_SUCCESS, EncryptAndDecrypt(m_shared.hAlder, hKey));
            EXPECT_EQ(ERROR_SUCCESS, Call("FreeKey", [&] { return m_shared.T().FreeKey(m_shared.hAlder, hKey); }));
            break;
        }
        case 5:
            Publish();
            break;
        case 6:
            UsePublished();
            break;
        case 7:
            RefusedCalls();
            break;
        default:
            Stubs();
            break;
        }
    }
}

void Worker::Contest(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hFreed, NCRYPT_KEY_HANDLE hUsed,
                     std::atomic<int> &cKeyFrees, std::atomic<int> &cProviderFrees)
{
    // Every thread frees the same key and the same provider while the others
    // sign with the provider's other key. No handle is opened meanwhile, so
    // a freed value cannot come back: exactly one free of each succeeds.
    const LONG statusKeyFree = Call("FreeKey", [&] { return m_shared.T().FreeKey(hProvider, hFreed); });
    EXPECT_TRUE(statusKeyFree == ERROR_SUCCESS || statusKeyFree == NTE_INVALID_HANDLE) << StatusText(statusKeyFree);
    cKeyFrees += statusKeyFree == ERROR_SUCCESS ? 1 : 0;
    LONG status = Sign(hProvider, hUsed, m_shared.exchangeSignature);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == NTE_INVALID_HANDLE) << StatusText(status);
    const LONG statusProviderFree = Call("FreeProvider", [&] { return m_shared.T().FreeProvider(hProvider); });
    EXPECT_TRUE(statusProviderFree == ERROR_SUCCESS || statusProviderFree == NTE_INVALID_HANDLE)
        << StatusText(statusProviderFree);
    cProviderFrees += statusProviderFree == ERROR_SUCCESS ? 1 : 0;
    status = Sign(hProvider, hUsed, m_shared.exchangeSignature);
    EXPECT_EQ(StatusText(NTE_INVALID_HANDLE), StatusText(status)) << "a key worked after its provider was freed";
}

class ConcurrencySoakTest : public qvntest::StoreTest
{
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        ASSERT_TRUE(PopulateStore());
        m_before = Holdings::Now();
        std::string strError;
        ASSERT_TRUE(m_module.Load(strError)) << strError;
        m_shared.pTable = &m_module.Table();
        m_shared.pfnGetInterface = m_module.GetInterface();
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_module.Table();
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&m_shared.hKsp, kKspName, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenProvider(&m_shared.hAlder, kAlderProvider, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(m_shared.hAlder, &m_shared.hExchange, kBothContainer, AT_KEYEXCHANGE, 0));
        ASSERT_EQ(ERROR_SUCCESS, t.OpenKey(m_shared.hAlder, &m_shared.hSignature, kBothContainer, AT_SIGNATURE, 0));
        m_shared.hash = qvntest::PatternBytes(32, 31);
        m_shared.exchangeSignature = qvntest::OpenSslSign(CachedTestKey(1024, 0), CALG_SHA_256, m_shared.hash);
        m_shared.signatureSignature = qvntest::OpenSslSign(CachedTestKey(1024, 1), CALG_SHA_256, m_shared.hash);
        m_shared.plaintext = qvntest::PatternBytes(48, 32);
        m_shared.ciphertext = qvntest::OpenSslEncrypt(CachedTestKey(1024, 0), m_shared.plaintext);
    }

    void TearDown() override
    {
        std::printf("soak: %d threads, %u calls, %u uses of another thread's handles found them freed\n", kThreads,
                    m_shared.cCalls.load(), m_shared.cFoundGone.load());
        m_module.Unload();
        EXPECT_EQ(m_before, Holdings::Now()) << "the soak left something behind";
        StoreTest::TearDown();
    }

    LoadedModule m_module;
    Shared m_shared;
    Holdings m_before;
};

TEST_F(ConcurrencySoakTest, ThreadsMixingEveryEntryOnSharedAndOwnHandles)
{
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; ++i) {
        workers.push_back(std::make_unique<Worker>(m_shared, i));
    }
    std::vector<std::thread> threads;
    for (auto &worker : workers) {
        threads.emplace_back([&worker] { worker->RunMixed(); });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    for (auto &worker : workers) {
        worker->FreePublished();
    }

    // What is left open is what the test opened: the shared handles.
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_module.Table();
    EXPECT_EQ(ERROR_SUCCESS, t.FreeKey(m_shared.hAlder, m_shared.hExchange));
    EXPECT_EQ(ERROR_SUCCESS, t.FreeKey(m_shared.hAlder, m_shared.hSignature));
    const Holdings afterKeys = Holdings::Now();
    EXPECT_EQ(m_before.lContexts + 1, afterKeys.lContexts) << "only the shared provider's context is left";
    EXPECT_EQ(m_before.lKeys, afterKeys.lKeys);
    EXPECT_EQ(m_before.lHashes, afterKeys.lHashes);
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(m_shared.hAlder));
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(m_shared.hKsp));
}

TEST_F(ConcurrencySoakTest, FreesRacingWithUseSucceedExactlyOnce)
{
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = m_module.Table();
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kThreads; ++i) {
        workers.push_back(std::make_unique<Worker>(m_shared, i));
    }
    Barrier start(kThreads + 1);
    Barrier done(kThreads + 1);
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hFreed = 0;
    NCRYPT_KEY_HANDLE hUsed = 0;
    std::atomic<int> cKeyFrees{0};
    std::atomic<int> cProviderFrees{0};

    std::vector<std::thread> threads;
    for (auto &worker : workers) {
        threads.emplace_back([&, pWorker = worker.get()] {
            for (int iRound = 0; iRound < kContestRounds; ++iRound) {
                start.Wait();
                pWorker->Contest(hProvider, hFreed, hUsed, cKeyFrees, cProviderFrees);
                done.Wait();
            }
        });
    }
    for (int iRound = 0; iRound < kContestRounds; ++iRound) {
        SCOPED_TRACE("round " + std::to_string(iRound));
        const Holdings before = Holdings::Now();
        // No ASSERT here: the threads wait for every round.
        EXPECT_EQ(ERROR_SUCCESS, t.OpenProvider(&hProvider, kAlderProvider, 0));
        EXPECT_EQ(ERROR_SUCCESS, t.OpenKey(hProvider, &hFreed, kBothContainer, AT_KEYEXCHANGE, 0));
        EXPECT_EQ(ERROR_SUCCESS, t.OpenKey(hProvider, &hUsed, kBothContainer, AT_KEYEXCHANGE, 0));
        cKeyFrees = 0;
        cProviderFrees = 0;
        start.Wait();
        done.Wait();
        EXPECT_EQ(1, cKeyFrees.load());
        EXPECT_EQ(1, cProviderFrees.load());
        EXPECT_EQ(before, Holdings::Now());
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(m_shared.hAlder));
    EXPECT_EQ(ERROR_SUCCESS, t.FreeProvider(m_shared.hKsp));
}

} // namespace
} // namespace hardening
