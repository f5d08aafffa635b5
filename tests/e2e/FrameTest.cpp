// What every implemented entry promises around its work: the caller's
// last-error value is left as it was, whatever happened inside; one call runs
// at a time, from any number of threads; and the lock is free again after
// every failure. (A lock left held shows up as a hang, which the test
// driver's time-out turns into a failure.)
#include "E2EFixture.h"
#include "E2ERecord.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace e2e
{
namespace
{

class FrameTest : public KspTest
{
protected:
    void SetUp() override
    {
        KspTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_NE(nullptr, Keys());
        m_hProvider = OpenProvider(E2E_ALDER_NAME);
        m_hKey = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
        m_hKsp = OpenProvider(E2E_KSP_NAME);
    }

    struct Call {
        const char *pszLabel;
        SECURITY_STATUS expected;
        std::function<SECURITY_STATUS()> run;
    };

    // Successful and failing calls of every entry; the failures include
    // refusals before the lock, in the operations and inside CryptoAPI.
    std::vector<Call> EveryKindOfCall()
    {
        const std::shared_ptr<Bytes> pHash = std::make_shared<Bytes>(Pattern(32, 0x91));
        const std::shared_ptr<Bytes> pSignature = std::make_shared<Bytes>(kMainExchangeBytes);
        const std::shared_ptr<Bytes> pCiphertext = std::make_shared<Bytes>(kMainExchangeBytes);
        const std::shared_ptr<Bytes> pPlaintext = std::make_shared<Bytes>(Pattern(16, 0x92));
        const std::shared_ptr<Bytes> pUndecryptable =
            std::make_shared<Bytes>(UndecryptableBlock(Keys()->Main(0, AT_KEYEXCHANGE), 0x93));
        const std::shared_ptr<BCRYPT_PKCS1_PADDING_INFO> pPadding =
            std::make_shared<BCRYPT_PKCS1_PADDING_INFO>(BCRYPT_PKCS1_PADDING_INFO{TEXT("SHA256")});
        const NCRYPT_PROV_HANDLE hProvider = m_hProvider;
        const NCRYPT_KEY_HANDLE hKey = m_hKey;
        const NCRYPT_PROV_HANDLE hKsp = m_hKsp;
        const Ksp &k = ksp();
        auto sign = [=, &k](const char *pszLabel, DWORD dwFlags) {
            DWORD cbResult = 0;
            return k.SignHash(pszLabel, hProvider, hKey, pPadding.get(), pHash->data(), 32, pSignature->data(),
                              kMainExchangeBytes, &cbResult, dwFlags);
        };
        auto verify = [=, &k](const char *pszLabel, BYTE bFlip) {
            Bytes signature = *pSignature;
            signature[7] ^= bFlip;
            return k.VerifySignature(pszLabel, hProvider, hKey, pPadding.get(), pHash->data(), 32, signature.data(),
                                     kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG);
        };
        auto decrypt = [=, &k](const char *pszLabel, bool fUndecryptable) {
            Bytes ciphertext = fUndecryptable ? *pUndecryptable : *pCiphertext;
            Bytes output(kMainExchangeBytes);
            DWORD cbResult = 0;
            const SECURITY_STATUS status =
                k.Decrypt(pszLabel, hProvider, hKey, ciphertext.data(), kMainExchangeBytes, nullptr, output.data(),
                          kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
            return (status == 0 && Bytes(output.begin(), output.begin() + cbResult) != *pPlaintext) ? NTE_FAIL : status;
        };
        return {
            {"open-ksp", 0,
             [=, &k] {
                 NCRYPT_PROV_HANDLE h = 0;
                 const SECURITY_STATUS status = k.OpenProvider("open-ksp", &h, E2E_KSP_NAME, 0);
                 return status != 0 ? status : k.FreeProvider("open-ksp", h);
             }},
            {"open-csp", 0,
             [=, &k] {
                 NCRYPT_PROV_HANDLE h = 0;
                 const SECURITY_STATUS status = k.OpenProvider("open-csp", &h, E2E_CEDAR_NAME, 0);
                 return status != 0 ? status : k.FreeProvider("open-csp", h);
             }},
            {"open-provider-null-out", NTE_INVALID_PARAMETER,
             [=, &k] { return k.OpenProvider("null-out", nullptr, E2E_KSP_NAME, 0); }},
            {"open-provider-bad-name", NTE_INVALID_PARAMETER,
             [=, &k] {
                 NCRYPT_PROV_HANDLE h = 0;
                 return k.OpenProvider("bad-name", &h, TEXT("Quorvane"), 0);
             }},
            {"open-key", 0,
             [=, &k] {
                 NCRYPT_KEY_HANDLE h = 0;
                 const SECURITY_STATUS status =
                     k.OpenKey("open-key", hProvider, &h, E2E_MAIN_CONTAINER, AT_SIGNATURE, 0);
                 return status != 0 ? status : k.FreeKey("open-key", hProvider, h);
             }},
            {"open-key-null-out", NTE_INVALID_PARAMETER,
             [=, &k] { return k.OpenKey("null-out", hProvider, nullptr, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0); }},
            {"open-key-missing-container", NTE_BAD_KEYSET,
             [=, &k] {
                 NCRYPT_KEY_HANDLE h = 0;
                 return k.OpenKey("missing", hProvider, &h, E2E_MISSING_CONTAINER, AT_KEYEXCHANGE, 0);
             }},
            {"open-key-prompt", NTE_UI_REQUIRED,
             [=, &k] {
                 NCRYPT_KEY_HANDLE h = 0;
                 return k.OpenKey("prompt", hProvider, &h, E2E_PROMPT_CONTAINER, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG);
             }},
            {"open-key-ksp", NTE_NOT_SUPPORTED,
             [=, &k] {
                 NCRYPT_KEY_HANDLE h = 0;
                 return k.OpenKey("ksp", hKsp, &h, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0);
             }},
            {"sign", 0, [=] { return sign("sign", NCRYPT_PAD_PKCS1_FLAG); }},
            {"sign-bad-flags", NTE_BAD_FLAGS, [=] { return sign("bad-flags", NCRYPT_PAD_PSS_FLAG); }},
            {"verify", 0, [=] { return verify("verify", 0); }},
            {"verify-bad-signature", NTE_BAD_SIGNATURE, [=] { return verify("bad-signature", 0x10); }},
            {"encrypt", 0,
             [=, &k] {
                 DWORD cbResult = 0;
                 return k.Encrypt("encrypt", hProvider, hKey, pPlaintext->data(), 16, nullptr, pCiphertext->data(),
                                  kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
             }},
            {"decrypt", 0, [=] { return decrypt("decrypt", false); }},
            {"decrypt-undecryptable", NTE_DECRYPTION_FAILURE, [=] { return decrypt("undecryptable", true); }},
            {"property", 0,
             [=, &k] {
                 DWORD dwValue = 0;
                 DWORD cbResult = 0;
                 return k.GetProviderProperty("property", hKsp, NCRYPT_VERSION_PROPERTY,
                                              reinterpret_cast<PBYTE>(&dwValue), 4, &cbResult, 0);
             }},
            {"property-csp", NTE_NOT_SUPPORTED,
             [=, &k] {
                 DWORD cbResult = 0;
                 return k.GetProviderProperty("property-csp", hProvider, NCRYPT_VERSION_PROPERTY, nullptr, 0, &cbResult,
                                              0);
             }},
            {"enum", 0,
             [=, &k] {
                 DWORD dwCount = 0;
                 return k.EnumAlgorithms("enum", hKsp, 0, &dwCount, nullptr, 0);
             }},
            {"enum-null-count", NTE_INVALID_PARAMETER,
             [=, &k] { return k.EnumAlgorithms("enum-null-count", hKsp, 0, nullptr, nullptr, 0); }},
            {"free-key-never-opened", NTE_INVALID_HANDLE, [=, &k] { return k.FreeKey("never", 0x77, 0x78); }},
            {"free-provider-never-opened", NTE_INVALID_HANDLE, [=, &k] { return k.FreeProvider("never", 0x77); }},
        };
    }

    NCRYPT_PROV_HANDLE m_hProvider = 0;
    NCRYPT_KEY_HANDLE m_hKey = 0;
    NCRYPT_PROV_HANDLE m_hKsp = 0;
};

TEST_F(FrameTest, EveryEntryLeavesTheLastErrorValueAsItWas)
{
    for (DWORD dwLastError : std::initializer_list<DWORD>{0x12345678u, 0u, DWORD(ERROR_ACCESS_DENIED),
                                                          static_cast<DWORD>(NTE_BAD_KEYSET)}) {
        for (const Call &call : EveryKindOfCall()) {
            SCOPED_TRACE(std::string(call.pszLabel) + " with " + std::to_string(dwLastError));
            SetLastError(dwLastError);
            const SECURITY_STATUS status = call.run();
            const DWORD dwAfter = GetLastError();
            EXPECT_EQ(call.expected, status);
            EXPECT_EQ(dwLastError, dwAfter);
        }
    }
}

TEST_F(FrameTest, LockIsFreeAfterEveryKindOfFailure)
{
    // Each call runs on a thread of its own that ends right after it; a lock
    // that the call left held would keep the next call waiting for ever.
    for (const Call &call : EveryKindOfCall()) {
        SCOPED_TRACE(call.pszLabel);
        SECURITY_STATUS status = 0x7FFFFFFF;
        std::thread worker([&] { status = call.run(); });
        worker.join();
        EXPECT_EQ(call.expected, status);
        DWORD dwCount = 77;
        EXPECT_EQ(0, ksp().EnumAlgorithms("next-call", m_hKsp, 0, &dwCount, nullptr, 0));
        EXPECT_EQ(0u, dwCount);
    }
}

// Releases all waiting threads at once.
class StartLine
{
public:
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_fGo; });
    }
    void Go()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fGo = true;
        }
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_fGo = false;
};

TEST_F(FrameTest, ThreadsUsingSharedAndOwnHandlesAllGetTheirOwnResults)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    const KeyStore *pKeys = Keys();
    ASSERT_NE(nullptr, pKeys);
    StartLine start;
    std::atomic<int> failures{0};
    struct Outcome {
        Bytes hash;
        Bytes sharedSignature;
        Bytes ownSignature;
        size_t iCsp = 0;
    };
    Outcome outcomes[kThreads];
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
    const NCRYPT_PROV_HANDLE hShared = m_hProvider;
    const NCRYPT_KEY_HANDLE hSharedKey = m_hKey;

    auto work = [&](int iThread) {
        start.Wait();
        Outcome &outcome = outcomes[iThread];
        outcome.iCsp = static_cast<size_t>(iThread) % 4;
        auto check = [&](bool fOk) {
            if (!fOk) {
                ++failures;
            }
        };
        for (int iRound = 0; iRound < kRounds; ++iRound) {
            NCRYPT_PROV_HANDLE hOwn = 0;
            NCRYPT_KEY_HANDLE hOwnKey = 0;
            check(t.OpenProvider(&hOwn, kCsps[outcome.iCsp].pszName, 0) == 0);
            check(t.OpenKey(hOwn, &hOwnKey, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE, 0) == 0);
            outcome.hash = Pattern(32, static_cast<BYTE>(iThread * 16 + iRound));
            BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
            DWORD cbResult = 0;
            outcome.sharedSignature.assign(kMainExchangeBytes, 0);
            outcome.ownSignature.assign(kMainExchangeBytes, 0);
            check(t.SignHash(hShared, hSharedKey, &padding, outcome.hash.data(), 32, outcome.sharedSignature.data(),
                             kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG) == 0);
            check(t.SignHash(hOwn, hOwnKey, &padding, outcome.hash.data(), 32, outcome.ownSignature.data(),
                             kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG) == 0);
            check(t.VerifySignature(hShared, hSharedKey, &padding, outcome.hash.data(), 32,
                                    outcome.sharedSignature.data(), kMainExchangeBytes, NCRYPT_PAD_PKCS1_FLAG) == 0);

            const Bytes plaintext = Pattern(20, static_cast<BYTE>(iRound));
            for (const bool fShared : {false, true}) {
                const NCRYPT_PROV_HANDLE hP = fShared ? hShared : hOwn;
                const NCRYPT_KEY_HANDLE hK = fShared ? hSharedKey : hOwnKey;
                Bytes input = plaintext;
                Bytes ciphertext(kMainExchangeBytes);
                Bytes decrypted(kMainExchangeBytes);
                check(t.Encrypt(hP, hK, input.data(), 20, nullptr, ciphertext.data(), kMainExchangeBytes, &cbResult,
                                NCRYPT_PAD_PKCS1_FLAG) == 0);
                check(t.Decrypt(hP, hK, ciphertext.data(), kMainExchangeBytes, nullptr, decrypted.data(),
                                kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG) == 0);
                check(cbResult == 20 && Bytes(decrypted.begin(), decrypted.begin() + 20) == plaintext);
            }

            // Failures in between.
            NCRYPT_KEY_HANDLE hMissing = 0;
            check(t.OpenKey(hOwn, &hMissing, E2E_MISSING_CONTAINER, AT_KEYEXCHANGE, 0) == NTE_BAD_KEYSET);
            check(t.SignHash(hOwn, hSharedKey, &padding, outcome.hash.data(), 32, nullptr, 0, &cbResult,
                             NCRYPT_PAD_PKCS1_FLAG) == NTE_INVALID_HANDLE);
            check(t.FreeKey(hOwn, hOwnKey) == 0);
            check(t.FreeKey(hOwn, hOwnKey) == NTE_INVALID_HANDLE);
            check(t.FreeProvider(hOwn) == 0);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(work, i);
    }
    start.Go();
    for (std::thread &thread : threads) {
        thread.join();
    }
    Record("threads.failures", failures.load());
    EXPECT_EQ(0, failures.load());

    // The last signatures of each thread, judged.
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        const Outcome &outcome = outcomes[i];
        const Judgement shared =
            pKeys->Main(0, AT_KEYEXCHANGE).pPublic->Verify(TEXT("SHA256"), outcome.hash, outcome.sharedSignature);
        EXPECT_EQ(Verdict::Accepted, shared.verdict) << shared.strDetail;
        const Judgement own = pKeys->Main(outcome.iCsp, AT_KEYEXCHANGE)
                                  .pPublic->Verify(TEXT("SHA256"), outcome.hash, outcome.ownSignature);
        EXPECT_EQ(Verdict::Accepted, own.verdict) << own.strDetail;
    }
}

TEST_F(FrameTest, OfManyThreadsFreeingOneHandleExactlyOneSucceeds)
{
    constexpr int kThreads = 6;
    for (int iRound = 0; iRound < 3; ++iRound) {
        const NCRYPT_KEY_HANDLE hKey = OpenKey(m_hProvider, E2E_MAIN_CONTAINER, AT_SIGNATURE);
        const NCRYPT_PROV_HANDLE hProvider = OpenProvider(E2E_DOGWOOD_NAME);
        OpenKey(hProvider, E2E_MAIN_CONTAINER, AT_KEYEXCHANGE);
        StartLine start;
        SECURITY_STATUS rgKeyStatus[kThreads];
        SECURITY_STATUS rgProviderStatus[kThreads];
        const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                start.Wait();
                rgKeyStatus[i] = t.FreeKey(m_hProvider, hKey);
                rgProviderStatus[i] = t.FreeProvider(hProvider);
            });
        }
        start.Go();
        for (std::thread &thread : threads) {
            thread.join();
        }
        int cKeyFreed = 0;
        int cProviderFreed = 0;
        for (int i = 0; i < kThreads; ++i) {
            cKeyFreed += rgKeyStatus[i] == 0;
            cProviderFreed += rgProviderStatus[i] == 0;
            EXPECT_TRUE(rgKeyStatus[i] == 0 || rgKeyStatus[i] == NTE_INVALID_HANDLE) << rgKeyStatus[i];
            EXPECT_TRUE(rgProviderStatus[i] == 0 || rgProviderStatus[i] == NTE_INVALID_HANDLE) << rgProviderStatus[i];
        }
        Record("threads.keys-freed", 0, static_cast<DWORD>(cKeyFreed));
        Record("threads.providers-freed", 0, static_cast<DWORD>(cProviderFreed));
        EXPECT_EQ(1, cKeyFreed);
        EXPECT_EQ(1, cProviderFreed);
    }
}

TEST_F(FrameTest, TableCanBeFetchedWhileEntriesRun)
{
    constexpr int kThreads = 3;
    StartLine start;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &t = ksp().Table();
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.Wait();
            for (int iRound = 0; iRound < 20; ++iRound) {
                if (i == 0) {
                    Bytes hash = Pattern(32, static_cast<BYTE>(iRound));
                    BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
                    Bytes signature(kMainExchangeBytes);
                    DWORD cbResult = 0;
                    failures += t.SignHash(m_hProvider, m_hKey, &padding, hash.data(), 32, signature.data(),
                                           kMainExchangeBytes, &cbResult, NCRYPT_PAD_PKCS1_FLAG) != 0;
                } else {
                    NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
                    failures += Module().GetKeyStorageInterface(kCsps[iRound % 4].pszName, &pTable, 0) != 0;
                    failures += pTable != &t;
                }
            }
        });
    }
    start.Go();
    for (std::thread &thread : threads) {
        thread.join();
    }
    Record("threads.failures", failures.load());
    EXPECT_EQ(0, failures.load());
}

} // namespace
} // namespace e2e
