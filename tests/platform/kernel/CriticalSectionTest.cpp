// Critical sections: recursive per thread, exclusive between threads.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

class CriticalSectionTest : public ::testing::Test
{
protected:
    void SetUp() override { InitializeCriticalSection(&m_cs); }
    void TearDown() override { DeleteCriticalSection(&m_cs); }

    // TryEnterCriticalSection from a new thread; leaves again if it got in.
    BOOL TryEnterFromOtherThread()
    {
        BOOL fEntered = FALSE;
        std::thread other([&] {
            fEntered = TryEnterCriticalSection(&m_cs);
            if (fEntered) {
                LeaveCriticalSection(&m_cs);
            }
        });
        other.join();
        return fEntered;
    }

    CRITICAL_SECTION m_cs;
};

TEST_F(CriticalSectionTest, InitialisedSectionIsFreeAndUnowned)
{
    EXPECT_NE(nullptr, m_cs.LockSemaphore);
    EXPECT_EQ(nullptr, m_cs.OwningThread);
    EXPECT_EQ(0, m_cs.RecursionCount);
    EXPECT_EQ(-1, m_cs.LockCount);
    EXPECT_TRUE(TryEnterFromOtherThread());
}

TEST_F(CriticalSectionTest, OwnerEntersAgainAndMustLeaveAsOften)
{
    EnterCriticalSection(&m_cs);
    EnterCriticalSection(&m_cs);
    ASSERT_TRUE(TryEnterCriticalSection(&m_cs));
    EXPECT_EQ(3, m_cs.RecursionCount);
    EXPECT_NE(nullptr, m_cs.OwningThread);

    LeaveCriticalSection(&m_cs);
    LeaveCriticalSection(&m_cs);
    EXPECT_EQ(1, m_cs.RecursionCount);
    EXPECT_FALSE(TryEnterFromOtherThread());

    LeaveCriticalSection(&m_cs);
    EXPECT_EQ(0, m_cs.RecursionCount);
    EXPECT_EQ(nullptr, m_cs.OwningThread);
    EXPECT_TRUE(TryEnterFromOtherThread());
}

TEST_F(CriticalSectionTest, OwningThreadDiffersBetweenThreads)
{
    EnterCriticalSection(&m_cs);
    const HANDLE hMine = m_cs.OwningThread;
    LeaveCriticalSection(&m_cs);

    HANDLE hOther = nullptr;
    std::thread other([&] {
        EnterCriticalSection(&m_cs);
        hOther = m_cs.OwningThread;
        LeaveCriticalSection(&m_cs);
    });
    other.join();

    EXPECT_NE(nullptr, hMine);
    EXPECT_NE(nullptr, hOther);
    EXPECT_NE(hMine, hOther);
}

TEST_F(CriticalSectionTest, EnterWaitsUntilOwnerLeaves)
{
    EnterCriticalSection(&m_cs);
    std::atomic<bool> fEntered{false};
    std::thread other([&] {
        EnterCriticalSection(&m_cs);
        fEntered = true;
        LeaveCriticalSection(&m_cs);
    });
    // However long the other thread has run, it cannot be inside yet.
    Sleep(20);
    EXPECT_FALSE(fEntered.load());
    LeaveCriticalSection(&m_cs);
    other.join();
    EXPECT_TRUE(fEntered.load());
}

TEST_F(CriticalSectionTest, SerialisesUpdatesFromManyThreads)
{
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    long lCounter = 0; // deliberately not atomic: the section protects it
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < kIncrements; ++j) {
                EnterCriticalSection(&m_cs);
                EnterCriticalSection(&m_cs); // nested entry as well
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

TEST(CriticalSectionLifetimeTest, DeleteReleasesTheLockAndSectionCanBeReinitialised)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    EXPECT_EQ(nullptr, cs.LockSemaphore);

    InitializeCriticalSection(&cs);
    BOOL fEntered = FALSE;
    std::thread other([&] {
        fEntered = TryEnterCriticalSection(&cs);
        if (fEntered) {
            LeaveCriticalSection(&cs);
        }
    });
    other.join();
    EXPECT_TRUE(fEntered);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSectionDeathTest, LeavingASectionNotOwnedEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        },
        "LeaveCriticalSection: critical section is not owned by the calling thread");
}

TEST(CriticalSectionDeathTest, EnteringADeletedSectionEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CRITICAL_SECTION cs;
            InitializeCriticalSection(&cs);
            DeleteCriticalSection(&cs);
            EnterCriticalSection(&cs);
        },
        "EnterCriticalSection: critical section is not initialised");
}

} // namespace
