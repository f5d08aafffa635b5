// The synchronisation objects of COMMON_FILES/Common/mt: the critical
// section, event and mutex wrappers and the scoped holder CTSSyncLock.
#include "PrivateAccess.h"
#include "UnitTestSupport.h"

#include "COMMON_FILES/Common/mt.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr LPCWSTR kMtUnit = TEXT("COMMON_FILES/Common/mt");

class MtTest : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }
};

void WaitFor(const std::atomic<int> &stage, int iStage)
{
    while (stage.load() < iStage) {
        std::this_thread::yield();
    }
}

struct AssertReport {
    std::u16string strMessage;
    std::u16string strFile;
    DWORD dwLine;
};

AssertReport LastAssert()
{
    WCHAR szMessage[256] = {};
    WCHAR szFile[256] = {};
    DWORD dwLine = 0;
    EXPECT_TRUE(QvnPlatformGetLastAssert(szMessage, 256, szFile, 256, &dwLine));
    return AssertReport{szMessage, szFile, dwLine};
}

// ---- CTSCriticalSection --------------------------------------------------------------

TEST_F(MtTest, CriticalSectionLockWithZeroTimeoutStillWaitsForTheOwner)
{
    CTSCriticalSection cs;
    std::atomic<int> stage{0};
    std::atomic<bool> fReleased{false};
    std::thread owner([&] {
        EXPECT_TRUE(cs.Lock(INFINITE));
        stage = 1;
        WaitFor(stage, 2);
        // Give a Lock that does not wait every chance to return early.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fReleased = true;
        EXPECT_TRUE(cs.Unlock());
    });
    WaitFor(stage, 1);
    stage = 2;
    const BOOL fLocked = cs.Lock(0);
    const bool fOwnerHadLeft = fReleased.load();
    EXPECT_TRUE(fLocked);
    EXPECT_TRUE(fOwnerHadLeft);
    if (fLocked) {
        cs.Unlock();
    }
    owner.join();
}

TEST_F(MtTest, CriticalSectionIsRecursiveForItsOwner)
{
    CTSCriticalSection cs;
    EXPECT_TRUE(cs.Lock(INFINITE));
    EXPECT_TRUE(cs.Enter());
    EXPECT_TRUE(unit::IsHeld(cs));
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(unit::IsHeld(cs)) << "entered twice, left once";
    EXPECT_TRUE(cs.Unlock());
    EXPECT_FALSE(unit::IsHeld(cs));
}

TEST_F(MtTest, CriticalSectionHasNoHandleAndNeverClosesOne)
{
    std::unique_ptr<CTSCriticalSection> pcs(new CTSCriticalSection);
    EXPECT_EQ(nullptr, pcs->GetHandle());
    // CloseHandle(NULL) would set ERROR_INVALID_HANDLE.
    SetLastError(0x00C0FFEE);
    pcs.reset();
    EXPECT_EQ(0x00C0FFEEu, GetLastError());
}

// ---- CTSEvent --------------------------------------------------------------------------

TEST_F(MtTest, AutoResetEventIsObtainedOncePerSet)
{
    // Initially signalled, automatic reset: the two flags must not be mixed up.
    CTSEvent event(TRUE, FALSE, nullptr, nullptr);
    EXPECT_NE(nullptr, event.GetHandle());
    EXPECT_TRUE(event.Lock(0));
    EXPECT_FALSE(event.Lock(0)) << "the wait reset it: time-out";
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Lock(0));
    EXPECT_TRUE(event.Unlock());
    EXPECT_FALSE(event.Lock(0)) << "Unlock does not signal an event";
}

TEST_F(MtTest, ManualResetEventStaysSignalledUntilReset)
{
    // Initially not signalled, manual reset.
    CTSEvent event(FALSE, TRUE, nullptr, nullptr);
    EXPECT_FALSE(event.Lock(0));
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(event.Lock(0));
    EXPECT_TRUE(event.Lock(INFINITE));
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.Lock(0));
}

TEST_F(MtTest, DestroyingAnEventClosesItsHandle)
{
    std::unique_ptr<CTSEvent> pEvent(new CTSEvent(TRUE, TRUE, nullptr, nullptr));
    const HANDLE hEvent = pEvent->GetHandle();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
    pEvent.reset();
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(hEvent, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(MtTest, CreationFailuresThrowTheLastErrorValue)
{
    // A name held by an object of the other kind cannot be created.
    CTSMutex mutex(FALSE, TEXT("QvnUnitNameClash1"), nullptr);
    CTSEvent event(FALSE, FALSE, TEXT("QvnUnitNameClash2"), nullptr);

    DWORD dwThrown = 0;
    bool fOther = false;
    try {
        CTSEvent clash(FALSE, FALSE, TEXT("QvnUnitNameClash1"), nullptr);
    } catch (DWORD dwError) {
        dwThrown = dwError;
    } catch (...) {
        fOther = true;
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), dwThrown);
    EXPECT_FALSE(fOther);

    dwThrown = 0;
    try {
        CTSMutex clash(FALSE, TEXT("QvnUnitNameClash2"), nullptr);
    } catch (DWORD dwError) {
        dwThrown = dwError;
    } catch (...) {
        fOther = true;
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), dwThrown);
    EXPECT_FALSE(fOther);
}

// ---- CTSMutex --------------------------------------------------------------------------

TEST_F(MtTest, MutexIsOwnedRecursivelyAndReleasedByItsOwnerOnly)
{
    CTSMutex mutex(FALSE, nullptr, nullptr);
    EXPECT_TRUE(mutex.Lock(0));
    EXPECT_TRUE(mutex.Lock(0));

    BOOL fOtherGotIt = TRUE;
    std::thread([&] { fOtherGotIt = mutex.Lock(0); }).join();
    EXPECT_FALSE(fOtherGotIt) << "owned by this thread: time-out";

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock()) << "no longer the owner";
}

TEST_F(MtTest, InitiallyOwnedMutexBelongsToItsCreator)
{
    CTSMutex mutex(TRUE, nullptr, nullptr);
    BOOL fOtherGotIt = TRUE;
    std::thread([&] { fOtherGotIt = mutex.Lock(0); }).join();
    EXPECT_FALSE(fOtherGotIt);
    EXPECT_TRUE(mutex.Unlock());
}

TEST_F(MtTest, LockOfAnAbandonedMutexFailsAndTheHolderGivesNothingBack)
{
    CTSMutex mutex(FALSE, nullptr, nullptr);
    std::thread([&] { EXPECT_TRUE(mutex.Lock(INFINITE)); }).join(); // ends owning it
    EXPECT_FALSE(mutex.Lock(INFINITE));
    EXPECT_TRUE(mutex.Unlock()) << "WAIT_ABANDONED hands over ownership";

    std::thread([&] { EXPECT_TRUE(mutex.Lock(INFINITE)); }).join(); // abandoned again
    {
        CTSSyncLock slock(&mutex, TRUE);
        EXPECT_FALSE(slock.IsAcquired());
        EXPECT_TRUE(slock.Unlock());
    }
    // The abandoned wait made this thread the owner; had the holder released
    // the mutex, this release would fail.
    EXPECT_TRUE(ReleaseMutex(mutex.GetHandle()));

    // Once released properly it is obtained normally again.
    EXPECT_TRUE(mutex.Lock(0));
    EXPECT_TRUE(mutex.Unlock());
}

// ---- CTSSyncLock -----------------------------------------------------------------------

TEST_F(MtTest, HolderTakesAtOnceAndGivesBackExactlyOnce)
{
    CTSCriticalSection cs;
    {
        CTSSyncLock slock(&cs, TRUE);
        EXPECT_TRUE(slock.IsAcquired());
        EXPECT_TRUE(unit::IsHeld(cs));
        EXPECT_TRUE(slock.Unlock());
        EXPECT_FALSE(slock.IsAcquired());
        EXPECT_FALSE(unit::IsHeld(cs));
        // A second Unlock (and the destructor) must not leave the section
        // again: the platform ends the process on such misuse.
        EXPECT_TRUE(slock.Unlock());
    }
    EXPECT_FALSE(unit::IsHeld(cs));
}

TEST_F(MtTest, HolderReleasesWhenItsScopeEnds)
{
    CTSCriticalSection cs;
    {
        CTSSyncLock slock(&cs, TRUE);
        EXPECT_TRUE(unit::IsHeld(cs));
    }
    EXPECT_FALSE(unit::IsHeld(cs));

    try {
        CTSSyncLock slock(&cs, TRUE);
        throw 1;
    } catch (int) {
        EXPECT_FALSE(unit::IsHeld(cs)) << "released during unwinding, before the handler";
    }
}

TEST_F(MtTest, HolderWithoutLockAtOnceHoldsNothingUntilLocked)
{
    CTSCriticalSection cs;
    CTSSyncLock slock(&cs, FALSE);
    EXPECT_FALSE(slock.IsAcquired());
    EXPECT_FALSE(unit::IsHeld(cs));
    EXPECT_TRUE(slock.Lock(INFINITE));
    EXPECT_TRUE(unit::IsHeld(cs));
}

TEST_F(MtTest, HolderOfAnObjectThatTimesOutHoldsNothing)
{
    CTSEvent event(FALSE, FALSE, nullptr, nullptr);
    CTSSyncLock slock(&event, FALSE);
    EXPECT_FALSE(slock.Lock(0));
    EXPECT_FALSE(slock.IsAcquired());
    EXPECT_TRUE(slock.Unlock());
}

TEST_F(MtTest, HolderOfAMutexReleasesItForOtherThreads)
{
    CTSMutex mutex(FALSE, nullptr, nullptr);
    {
        CTSSyncLock slock(&mutex, TRUE);
        EXPECT_TRUE(slock.IsAcquired());
        BOOL fOtherGotIt = TRUE;
        std::thread([&] { fOtherGotIt = mutex.Lock(0); }).join();
        EXPECT_FALSE(fOtherGotIt);
    }
    BOOL fOtherGotIt = FALSE;
    std::thread([&] {
        fOtherGotIt = mutex.Lock(0);
        if (fOtherGotIt) {
            mutex.Unlock();
        }
    }).join();
    EXPECT_TRUE(fOtherGotIt);
}

TEST_F(MtTest, HoldersOnOneSectionExcludeEachOtherAcrossThreads)
{
    CTSCriticalSection cs;
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    long lCounter = 0; // deliberately unsynchronised but for the holder
    int cInside = 0;
    std::atomic<int> cOverlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                CTSSyncLock slock(&cs, TRUE);
                if (++cInside != 1) {
                    ++cOverlaps;
                }
                lCounter = lCounter + 1;
                --cInside;
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(static_cast<long>(kThreads) * kRounds, lCounter);
    EXPECT_EQ(0, cOverlaps.load());
}

TEST_F(MtTest, HolderOnNullReportsAndHoldsNothing)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    {
        CTSSyncLock slock(nullptr, TRUE);
        // Construction asserts on the object, then the lock-at-once Lock
        // asserts that there is something to lock.
        EXPECT_EQ(2u, QvnPlatformAssertCount());
        AssertReport report = LastAssert();
        EXPECT_EQ(u"m_pObject != NULL || m_hObject != NULL", report.strMessage);
        EXPECT_EQ(kMtUnit, report.strFile);
        EXPECT_NE(0u, report.dwLine);
        EXPECT_FALSE(slock.IsAcquired());

        EXPECT_FALSE(slock.Lock(0));
        EXPECT_TRUE(slock.Unlock());
        report = LastAssert();
        EXPECT_EQ(u"m_pObject != NULL", report.strMessage);
        EXPECT_EQ(kMtUnit, report.strFile);
    }
    EXPECT_EQ(5u, QvnPlatformAssertCount()) << "the destructor's Unlock asserts too";
}

TEST_F(MtTest, HolderOnNullReportsTheObjectFirst)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    CTSSyncLock slock(nullptr, FALSE);
    EXPECT_EQ(1u, QvnPlatformAssertCount());
    const AssertReport report = LastAssert();
    EXPECT_EQ(u"PpObject != NULL", report.strMessage);
    EXPECT_EQ(kMtUnit, report.strFile);
}

TEST_F(MtTest, LockingAHolderTwiceIsReported)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    CTSEvent event(TRUE, TRUE, nullptr, nullptr);
    CTSSyncLock slock(&event, TRUE);
    ASSERT_TRUE(slock.IsAcquired());
    EXPECT_EQ(0u, QvnPlatformAssertCount());
    EXPECT_TRUE(slock.Lock(0));
    EXPECT_EQ(1u, QvnPlatformAssertCount());
    EXPECT_EQ(u"!m_fAcquired", LastAssert().strMessage);
}

TEST_F(MtTest, GlobalLockIsAFreeCriticalSectionAtRest)
{
    EXPECT_EQ(nullptr, g_csKsp.GetHandle());
    EXPECT_FALSE(unit::IsHeld(g_csKsp));
    {
        CTSSyncLock slock(&g_csKsp, TRUE);
        EXPECT_TRUE(slock.IsAcquired());
        EXPECT_TRUE(unit::IsHeld(g_csKsp));
    }
    EXPECT_FALSE(unit::IsHeld(g_csKsp));
}

} // namespace
