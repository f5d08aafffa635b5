// Events: manual and automatic reset, initial state, waits with time-outs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

// Closes the handle at the end of the scope.
struct ScopedHandle {
    explicit ScopedHandle(HANDLE h) : h(h) {}
    ~ScopedHandle()
    {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
    ScopedHandle(const ScopedHandle &) = delete;
    ScopedHandle &operator=(const ScopedHandle &) = delete;
    HANDLE h;
};

struct InitialStateCase {
    BOOL fManualReset;
    BOOL fInitialState;
    DWORD dwFirstWait;
    DWORD dwSecondWait;
};

class EventInitialStateTest : public ::testing::TestWithParam<InitialStateCase>
{
};

TEST_P(EventInitialStateTest, TwoWaitsWithoutTimeOut)
{
    const InitialStateCase &c = GetParam();
    SetLastError(ERROR_BUSY);
    ScopedHandle event(CreateEventW(nullptr, c.fManualReset, c.fInitialState, nullptr));
    ASSERT_NE(nullptr, event.h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(c.dwFirstWait, WaitForSingleObject(event.h, 0));
    EXPECT_EQ(c.dwSecondWait, WaitForSingleObject(event.h, 0));
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventInitialStateTest,
                         ::testing::Values(
                             // An automatic-reset event lets one wait through, then is reset.
                             InitialStateCase{FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
                             InitialStateCase{FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
                             // A manual-reset event stays signalled.
                             InitialStateCase{TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
                             InitialStateCase{TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT}));

TEST(EventTest, SetAndResetChangeTheStateOfAManualEvent)
{
    ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(nullptr, event.h);

    EXPECT_TRUE(SetEvent(event.h));
    EXPECT_TRUE(SetEvent(event.h)); // setting a signalled event is no error
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.h, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.h, INFINITE));

    EXPECT_TRUE(ResetEvent(event.h));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 0));
    EXPECT_TRUE(ResetEvent(event.h));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 0));
}

TEST(EventTest, FiniteWaitOnUnsignalledEventTimesOut)
{
    for (BOOL fManualReset : {FALSE, TRUE}) {
        ScopedHandle event(CreateEventW(nullptr, fManualReset, FALSE, nullptr));
        ASSERT_NE(nullptr, event.h);
        SetLastError(ERROR_BUSY);
        EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 30));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError()); // a time-out is not an error
    }
}

TEST(EventTest, ResetBeforeAnyWaitLeavesWaitersBlocked)
{
    ScopedHandle event(CreateEventW(nullptr, FALSE, TRUE, nullptr));
    ASSERT_NE(nullptr, event.h);
    EXPECT_TRUE(ResetEvent(event.h));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 10));
}

TEST(EventTest, AutomaticEventReleasesOneWaiterPerSet)
{
    ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_NE(nullptr, event.h);
    constexpr int kWaiters = 3;
    std::atomic<int> cReleased{0};
    std::vector<DWORD> results(kWaiters, 0xDEADBEEF);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            results[i] = WaitForSingleObject(event.h, INFINITE);
            ++cReleased;
        });
    }

    for (int i = 1; i <= kWaiters; ++i) {
        ASSERT_TRUE(SetEvent(event.h));
        while (cReleased.load() < i) {
            Sleep(1);
        }
        // Each signal is consumed by exactly one waiter.
        EXPECT_EQ(i, cReleased.load());
    }
    for (std::thread &t : waiters) {
        t.join();
    }
    for (DWORD dwResult : results) {
        EXPECT_EQ(WAIT_OBJECT_0, dwResult);
    }
    // Had one Set released two waiters, a signal would be left over here.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 0));
}

TEST(EventTest, ManualEventReleasesAllWaitersAndStaysSignalled)
{
    ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(nullptr, event.h);
    constexpr int kWaiters = 3;
    std::vector<DWORD> results(kWaiters, 0xDEADBEEF);
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] { results[i] = WaitForSingleObject(event.h, INFINITE); });
    }
    ASSERT_TRUE(SetEvent(event.h));
    for (std::thread &t : waiters) {
        t.join();
    }
    for (DWORD dwResult : results) {
        EXPECT_EQ(WAIT_OBJECT_0, dwResult);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.h, 0));
}

TEST(EventTest, FiniteWaitSucceedsWhenSetFromAnotherThread)
{
    ScopedHandle ready(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_NE(nullptr, ready.h);
    ASSERT_NE(nullptr, event.h);
    std::thread setter([&] {
        WaitForSingleObject(ready.h, INFINITE);
        SetEvent(event.h);
    });
    ASSERT_TRUE(SetEvent(ready.h));
    // Generous: this is a bound on how long the setter may take, not a timing.
    const DWORD dwResult = WaitForSingleObject(event.h, 60000);
    setter.join();
    EXPECT_EQ(WAIT_OBJECT_0, dwResult);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event.h, 0));
}

} // namespace
