// The synchronisation objects of COMMON_FILES/Common/mt: the critical section that
// g_csKsp is, events and mutexes, the scoped holder CTSSyncLock and its misuse.
#include "UnitTestSupport.h"

#include "COMMON_FILES/Common/mt.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace unit
{

namespace
{

using MtTest = ModuleTest;

// Lock(0) from a new thread, which gives the object back if it got it.
BOOL LockFromOtherThread(CTSSyncObject &object)
{
    BOOL fLocked = FALSE;
    std::thread([&] {
        fLocked = object.Lock(0);
        if (fLocked) {
            object.Unlock();
        }
    }).join();
    return fLocked;
}

TEST_F(MtTest, CriticalSectionWaitsWhateverTheTimeOutAndClosesNoHandle)
{
    auto pcs = std::make_unique<CTSCriticalSection>();
    std::atomic<bool> fEntered{false};
    {
        CTSSyncLock slock(pcs.get(), TRUE);
        std::thread other([&] {
            EXPECT_TRUE(pcs->Lock(0));
            fEntered = true;
            EXPECT_TRUE(pcs->Unlock());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a Lock that did not wait would be done
        EXPECT_FALSE(fEntered.load());
        EXPECT_TRUE(slock.Unlock());
        other.join();
    }
    EXPECT_TRUE(fEntered.load());
    // CloseHandle(NULL) would set ERROR_INVALID_HANDLE.
    EXPECT_EQ(nullptr, pcs->GetHandle());
    SetLastError(0x00C0FFEE);
    pcs.reset();
    EXPECT_EQ(0x00C0FFEEu, GetLastError());
}

TEST_F(MtTest, EventsAreObtainedWhileSignalledAndMutexesWhileFree)
{
    CTSEvent event(FALSE, TRUE, nullptr, nullptr);
    EXPECT_FALSE(event.Lock(0));
    EXPECT_TRUE(event.Set() && event.Lock(0) && event.Lock(0)) << "manual reset: stays signalled";
    EXPECT_TRUE(event.Unlock() && event.Reset());
    EXPECT_FALSE(event.Lock(0));
    CTSMutex mutex(TRUE, nullptr, nullptr);
    EXPECT_FALSE(LockFromOtherThread(mutex)) << "created owned";
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(LockFromOtherThread(mutex));
    EXPECT_FALSE(mutex.Unlock()) << "not the owner";
}

// An event and a mutex under a name: creation fails, throwing the last-error
// value, while an object of the other kind carries the name; destroying the
// object closes its handle, so the name is free again.
TEST_F(MtTest, CreationFailureThrowsTheLastErrorAndDestructionClosesTheHandle)
{
    const WCHAR *const pszName = u"unit sync object";
    for (bool fEvent : {true, false}) {
        SCOPED_TRACE(fEvent ? "event" : "mutex");
        const auto Create = [&] {
            return fEvent ? std::unique_ptr<CTSSyncObject>(new CTSEvent(FALSE, TRUE, pszName, nullptr))
                          : std::unique_ptr<CTSSyncObject>(new CTSMutex(FALSE, pszName, nullptr));
        };
        HANDLE hOther = fEvent ? CreateMutexW(nullptr, FALSE, pszName) : CreateEventW(nullptr, TRUE, FALSE, pszName);
        DWORD dwThrown = 0;
        try {
            Create();
        } catch (DWORD dwError) {
            dwThrown = dwError;
        }
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), dwThrown);
        EXPECT_TRUE(CloseHandle(hOther));

        EXPECT_NE(nullptr, Create()->GetHandle());
        hOther = fEvent ? CreateMutexW(nullptr, FALSE, pszName) : CreateEventW(nullptr, TRUE, FALSE, pszName);
        EXPECT_NE(nullptr, hOther) << "the name is free";
        EXPECT_TRUE(CloseHandle(hOther));
    }
}

TEST_F(MtTest, HolderTakesWhenAskedGivesBackExactlyOnceAndHoldsNothingItDidNotGet)
{
    CTSMutex mutex(FALSE, nullptr, nullptr);
    {
        CTSSyncLock slock(&mutex, TRUE);
        EXPECT_TRUE(slock.IsAcquired());
        EXPECT_FALSE(LockFromOtherThread(mutex));
        EXPECT_TRUE(slock.Unlock() && slock.Unlock()) << "given back once: a second release would fail";
        EXPECT_FALSE(slock.IsAcquired());
        EXPECT_TRUE(LockFromOtherThread(mutex));
    }
    {
        CTSSyncLock slock(&mutex, FALSE);
        EXPECT_FALSE(slock.IsAcquired());
        EXPECT_TRUE(LockFromOtherThread(mutex));
        EXPECT_TRUE(slock.Lock(INFINITE));
    }
    EXPECT_TRUE(LockFromOtherThread(mutex)) << "given back by the destructor";
    try {
        CTSSyncLock slock(&mutex, TRUE);
        throw 1;
    } catch (int) {
        EXPECT_TRUE(LockFromOtherThread(mutex)) << "given back during unwinding, before the handler";
    }
    std::thread([&] { EXPECT_TRUE(mutex.Lock(INFINITE)); }).join(); // ends owning it
    {
        CTSSyncLock slock(&mutex, TRUE);
        EXPECT_FALSE(slock.IsAcquired()) << "an abandoned mutex is not obtained";
    }
    // The abandoned wait made this thread the owner; had the holder released it, this would fail.
    EXPECT_TRUE(ReleaseMutex(mutex.GetHandle()));
}

TEST_F(MtTest, HolderMisuseIsReportedWithTheConditionAndTheUnit)
{
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    CTSSyncLock slock(nullptr, FALSE);
    EXPECT_EQ(u"COMMON_FILES/Common/mt: PpObject != NULL", LastAssertion());
    EXPECT_FALSE(slock.Lock(0));
    EXPECT_EQ(u"COMMON_FILES/Common/mt: m_pObject != NULL || m_hObject != NULL", LastAssertion());
    EXPECT_TRUE(slock.Unlock());
    EXPECT_EQ(u"COMMON_FILES/Common/mt: m_pObject != NULL", LastAssertion());
    CTSCriticalSection cs;
    CTSSyncLock held(&cs, TRUE);
    EXPECT_TRUE(held.Lock(0));
    EXPECT_EQ(u"COMMON_FILES/Common/mt: !m_fAcquired", LastAssertion());
    cs.Unlock(); // the section was entered once more
    EXPECT_EQ(4u, QvnPlatformAssertCount());
}

} // namespace
} // namespace unit
