// Mutexes: recursive ownership by a thread, ERROR_NOT_OWNER, abandonment.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

class MutexTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_hMutex != nullptr) {
            CloseHandle(m_hMutex);
        }
    }

    void Create(BOOL fInitialOwner)
    {
        m_hMutex = CreateMutexW(nullptr, fInitialOwner, nullptr);
        ASSERT_NE(nullptr, m_hMutex);
    }

    // WaitForSingleObject(m_hMutex, 0) from a new thread, which releases the
    // mutex again if it got it.
    DWORD WaitFromOtherThread()
    {
        DWORD dwResult = 0xDEADBEEF;
        std::thread other([&] {
            dwResult = WaitForSingleObject(m_hMutex, 0);
            if (dwResult == WAIT_OBJECT_0 || dwResult == WAIT_ABANDONED) {
                ReleaseMutex(m_hMutex);
            }
        });
        other.join();
        return dwResult;
    }

    HANDLE m_hMutex = nullptr;
};

TEST_F(MutexTest, CreatedFreeItCanBeTakenByAnyThread)
{
    Create(FALSE);
    EXPECT_EQ(WAIT_OBJECT_0, WaitFromOtherThread());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

TEST_F(MutexTest, InitialOwnerHoldsItUntilReleased)
{
    Create(TRUE);
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread());
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitFromOtherThread());
}

TEST_F(MutexTest, OwnerAcquiresRecursivelyAndReleasesAsOften)
{
    Create(TRUE);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hMutex, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hMutex, INFINITE));

    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread()); // one acquisition left
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitFromOtherThread());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
}

TEST_F(MutexTest, ReleaseByAThreadThatDoesNotOwnItFails)
{
    Create(TRUE);
    BOOL fReleased = TRUE;
    DWORD dwError = 0;
    std::thread other([&] {
        fReleased = ReleaseMutex(m_hMutex);
        dwError = GetLastError();
    });
    other.join();
    EXPECT_FALSE(fReleased);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), dwError);
    // The owner still holds it.
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread());
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

TEST_F(MutexTest, ReleaseOfAFreeMutexFails)
{
    Create(FALSE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
}

TEST_F(MutexTest, FiniteWaitForAMutexHeldElsewhereTimesOut)
{
    Create(TRUE);
    DWORD dwResult = 0xDEADBEEF;
    std::thread other([&] { dwResult = WaitForSingleObject(m_hMutex, 30); });
    other.join();
    EXPECT_EQ(WAIT_TIMEOUT, dwResult);
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

TEST_F(MutexTest, WaiterGetsTheMutexWhenTheOwnerReleasesIt)
{
    Create(TRUE);
    std::atomic<bool> fWaiting{false};
    DWORD dwResult = 0xDEADBEEF;
    BOOL fReleasedByWaiter = FALSE;
    std::thread waiter([&] {
        fWaiting = true;
        dwResult = WaitForSingleObject(m_hMutex, INFINITE);
        fReleasedByWaiter = ReleaseMutex(m_hMutex);
    });
    while (!fWaiting.load()) {
        Sleep(1);
    }
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, dwResult);
    EXPECT_TRUE(fReleasedByWaiter);
}

TEST_F(MutexTest, MutexOfAThreadThatEndedIsAbandonedToTheNextWaiter)
{
    Create(FALSE);
    DWORD dwOwnerWait = 0xDEADBEEF;
    std::thread owner([&] {
        dwOwnerWait = WaitForSingleObject(m_hMutex, INFINITE);
        // ends twice-acquired without releasing
        WaitForSingleObject(m_hMutex, INFINITE);
    });
    owner.join();
    ASSERT_EQ(WAIT_OBJECT_0, dwOwnerWait);

    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m_hMutex, INFINITE));
    // The waiter now owns it once, whatever the ended thread's count was.
    EXPECT_EQ(WAIT_TIMEOUT, WaitFromOtherThread());
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(m_hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());

    // Abandonment is reported once.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

TEST_F(MutexTest, InitiallyOwnedMutexIsAbandonedWhenItsCreatorEnds)
{
    std::thread creator([&] { m_hMutex = CreateMutexW(nullptr, TRUE, nullptr); });
    creator.join();
    ASSERT_NE(nullptr, m_hMutex);
    EXPECT_EQ(WAIT_ABANDONED, WaitForSingleObject(m_hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

TEST_F(MutexTest, WaiterBlockedWhileOwnerEndsGetsWaitAbandoned)
{
    Create(FALSE);
    HANDLE hOwned = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hEnd = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, hOwned);
    ASSERT_NE(nullptr, hEnd);
    std::thread owner([&] {
        WaitForSingleObject(m_hMutex, INFINITE);
        SetEvent(hOwned);
        WaitForSingleObject(hEnd, INFINITE);
    });
    DWORD dwResult = 0xDEADBEEF;
    std::thread waiter([&] {
        WaitForSingleObject(hOwned, INFINITE);
        dwResult = WaitForSingleObject(m_hMutex, INFINITE);
        if (dwResult == WAIT_ABANDONED) {
            ReleaseMutex(m_hMutex);
        }
    });
    SetEvent(hEnd);
    owner.join();
    waiter.join();
    EXPECT_EQ(WAIT_ABANDONED, dwResult);
    CloseHandle(hOwned);
    CloseHandle(hEnd);
}

TEST_F(MutexTest, ReleasedMutexIsNotAbandonedWhenItsThreadEnds)
{
    Create(FALSE);
    std::thread owner([&] {
        WaitForSingleObject(m_hMutex, INFINITE);
        ReleaseMutex(m_hMutex);
    });
    owner.join();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(m_hMutex));
}

} // namespace
