// Critical sections, events and mutexes.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

// ---- Critical sections --------------------------------------------------------

class CriticalSectionTest : public ::testing::Test
{
protected:
    void SetUp() override { InitializeCriticalSection(&m_cs); }
    void TearDown() override { DeleteCriticalSection(&m_cs); }

    CRITICAL_SECTION m_cs;
};

TEST_F(CriticalSectionTest, OwnerEntersAgainAndOthersWaitUntilItLeavesAsOften)
{
    EnterCriticalSection(&m_cs);
    EnterCriticalSection(&m_cs);
    ASSERT_TRUE(TryEnterCriticalSection(&m_cs));
    EXPECT_EQ(3, m_cs.RecursionCount);
    EXPECT_NE(nullptr, m_cs.OwningThread);
    LeaveCriticalSection(&m_cs);
    LeaveCriticalSection(&m_cs);
    EXPECT_EQ(1, m_cs.RecursionCount);

    BOOL fTried = TRUE;
    std::atomic<bool> fEntered{false};
    std::thread other([&] {
        fTried = TryEnterCriticalSection(&m_cs);
        EnterCriticalSection(&m_cs);
        fEntered = true;
        LeaveCriticalSection(&m_cs);
    });
    Sleep(20); // however long the other thread has run, it cannot be inside yet
    EXPECT_FALSE(fEntered.load());
    LeaveCriticalSection(&m_cs);
    other.join();
    EXPECT_FALSE(fTried);
    EXPECT_TRUE(fEntered.load());
    EXPECT_EQ(0, m_cs.RecursionCount);
    EXPECT_EQ(nullptr, m_cs.OwningThread);
}

TEST_F(CriticalSectionTest, SerialisesUpdatesFromManyThreads)
{
    constexpr int kThreads = 4, kIncrements = 20000;
    long lCounter = 0; // deliberately not atomic: the section protects it
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < kIncrements; ++j) {
                EnterCriticalSection(&m_cs);
                EnterCriticalSection(&m_cs);
                const long lRead = lCounter;
                lCounter = lRead + 1;
                LeaveCriticalSection(&m_cs);
                LeaveCriticalSection(&m_cs);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(static_cast<long>(kThreads) * kIncrements, lCounter);
}

// ---- Events ----------------------------------------------------------------------

TEST(EventTest, WaitsFollowTheResetKind)
{
    const struct {
        BOOL fManualReset, fInitialState;
        DWORD dwFirstWait, dwSecondWait;                 // after creation
        DWORD dwFirstWaitAfterSet, dwSecondWaitAfterSet; // after SetEvent
    } cases[] = {{FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT},
                 {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT},
                 {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0},
                 {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_OBJECT_0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "manual " << c.fManualReset << " initial " << c.fInitialState);
        SetLastError(ERROR_BUSY);
        HANDLE hEvent = CreateEventW(nullptr, c.fManualReset, c.fInitialState, nullptr);
        ASSERT_NE(nullptr, hEvent);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
        EXPECT_EQ(c.dwFirstWait, WaitForSingleObject(hEvent, 0));
        SetLastError(ERROR_BUSY);
        EXPECT_EQ(c.dwSecondWait, WaitForSingleObject(hEvent, 10)); // a finite wait too
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());  // a time-out is not an error

        EXPECT_TRUE(SetEvent(hEvent));
        EXPECT_TRUE(SetEvent(hEvent)); // setting a signalled event is no error and does not count twice
        EXPECT_EQ(c.dwFirstWaitAfterSet, WaitForSingleObject(hEvent, 0));
        EXPECT_EQ(c.dwSecondWaitAfterSet, WaitForSingleObject(hEvent, 0));
        EXPECT_TRUE(SetEvent(hEvent));
        EXPECT_TRUE(ResetEvent(hEvent));
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
        EXPECT_TRUE(CloseHandle(hEvent));
    }
}

// An automatic-reset event lets one blocked waiter through per SetEvent; a
// manual-reset one lets all of them through and stays signalled.
TEST(EventTest, SetReleasesBlockedWaiters)
{
    for (BOOL fManualReset : {FALSE, TRUE}) {
        SCOPED_TRACE(fManualReset);
        HANDLE hEvent = CreateEventW(nullptr, fManualReset, FALSE, nullptr);
        ASSERT_NE(nullptr, hEvent);
        constexpr int kWaiters = 3;
        std::atomic<int> cReleased{0};
        std::vector<DWORD> results(kWaiters, 0xDEADBEEF);
        std::vector<std::thread> waiters;
        for (int i = 0; i < kWaiters; ++i) {
            waiters.emplace_back([&, i] {
                results[i] = WaitForSingleObject(hEvent, INFINITE);
                ++cReleased;
            });
        }
        for (int i = 1; i <= (fManualReset ? 1 : kWaiters); ++i) {
            ASSERT_TRUE(SetEvent(hEvent));
            const int cExpected = fManualReset ? kWaiters : i;
            while (cReleased.load() < cExpected) {
                Sleep(1);
            }
            EXPECT_EQ(cExpected, cReleased.load());
        }
        for (std::thread &t : waiters) {
            t.join();
        }
        EXPECT_EQ(std::vector<DWORD>(kWaiters, WAIT_OBJECT_0), results);
        // Had one Set released two automatic waiters, a signal would be left over.
        EXPECT_EQ(fManualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
        CloseHandle(hEvent);
    }
}

// ---- Mutexes ---------------------------------------------------------------------

// WaitForSingleObject(hMutex, 0) from a new thread, which releases the mutex
// again if it got it.
DWORD WaitFromOtherThread(HANDLE hMutex)
{
    DWORD dwResult = 0xDEADBEEF;
    std::thread([&] {
        dwResult = WaitForSingleObject(hMutex, 0);
        if (dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED) {
            ReleaseMutex(hMutex);
        }
    }).join();
    return dwResult;
}

void ExpectNotOwner(BOOL fReleased, DWORD dwError)
{
    EXPECT_FALSE(fReleased);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), dwError);
}

TEST(MutexTest, OwnerAcquiresRecursivelyAndOnlyItReleases)
{
    HANDLE hFree = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, hFree);
    EXPECT_EQ(WAIT_OBJECT_0, WaitFromOtherThread(hFree));
    BOOL fReleased = ReleaseMutex(hFree); // free: nobody owns it
    ExpectNotOwner(fReleased, GetLastError());

    HANDLE hMutex = CreateMutexW(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, hMutex);
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread(hMutex));
    DWORD dwError = 0;
    std::thread([&] {
        fReleased = ReleaseMutex(hMutex);
        dwError = GetLastError();
    }).join();
    ExpectNotOwner(fReleased, dwError);

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, INFINITE));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread(hMutex)); // one acquisition left
    EXPECT_TRUE(ReleaseMutex(hMutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitFromOtherThread(hMutex));
    fReleased = ReleaseMutex(hMutex);
    ExpectNotOwner(fReleased, GetLastError());
    CloseHandle(hFree);
    CloseHandle(hMutex);
}

TEST(MutexTest, MutexOfAThreadThatEndedIsAbandonedOnce)
{
    const struct {
        const char *pszHow; // what the thread does before it ends
        bool fCreateOwned;
        int cAcquire;
        bool fRelease;
        DWORD dwExpected;
    } cases[] = {{"acquired twice", false, 2, false, WAIT_ABANDONED},
                 {"created owned", true, 0, false, WAIT_ABANDONED},
                 {"released before the end", false, 1, true, WAIT_OBJECT_0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszHow);
        HANDLE hMutex = c.fCreateOwned ? nullptr : CreateMutexW(nullptr, FALSE, nullptr);
        std::thread([&] {
            if (c.fCreateOwned) {
                hMutex = CreateMutexW(nullptr, TRUE, nullptr);
            }
            for (int i = 0; i < c.cAcquire; ++i) {
                WaitForSingleObject(hMutex, INFINITE);
            }
            if (c.fRelease) {
                ReleaseMutex(hMutex);
            }
        }).join();
        ASSERT_NE(nullptr, hMutex);
        EXPECT_EQ(c.dwExpected, WaitForSingleObject(hMutex, 0));
        // The new owner holds it once, whatever the ended thread's count was.
        EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread(hMutex));
        EXPECT_TRUE(ReleaseMutex(hMutex));
        BOOL fReleased = ReleaseMutex(hMutex);
        ExpectNotOwner(fReleased, GetLastError());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, 0)); // reported once only
        EXPECT_TRUE(ReleaseMutex(hMutex));
        CloseHandle(hMutex);
    }
}

} // namespace
