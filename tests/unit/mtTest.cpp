// The synchronisation objects of COMMON_FILES/Common/mt: the critical
// section that g_csKsp is, and the scoped holder CTSSyncLock.
#include "UnitTestSupport.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace unit
{
namespace
{

using MtTest = ModuleTest;

TEST_F(MtTest, CriticalSectionWaitsWhateverTheTimeOutAndClosesNoHandle)
{
    auto pcs = std::make_unique<CTSCriticalSection>();
    std::atomic<int> stage{0};
    std::thread owner([&] {
        EXPECT_TRUE(pcs->Lock(INFINITE));
        stage = 1;
        while (stage.load() < 2) {
            std::this_thread::yield();
        }
        // Give a Lock that does not wait every chance to return early.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stage = 3;
        EXPECT_TRUE(pcs->Unlock());
    });
    while (stage.load() < 1) {
        std::this_thread::yield();
    }
    stage = 2;
    EXPECT_TRUE(pcs->Lock(0));
    EXPECT_EQ(3, stage.load()) << "obtained only once the owner had left";
    EXPECT_TRUE(pcs->Unlock());
    owner.join();
    // CloseHandle(NULL) would set ERROR_INVALID_HANDLE.
    EXPECT_EQ(nullptr, pcs->GetHandle());
    SetLastError(0x00C0FFEE);
    pcs.reset();
    EXPECT_EQ(0x00C0FFEEu, GetLastError());
}

TEST_F(MtTest, HolderTakesWhenAskedGivesBackExactlyOnceAndHoldsNothingItDidNotGet)
{
    CTSCriticalSection cs;
    {
        CTSSyncLock slock(&cs, TRUE);
        EXPECT_TRUE(slock.IsAcquired() && IsHeld(cs));
        EXPECT_TRUE(slock.Unlock());
        EXPECT_FALSE(slock.IsAcquired() || IsHeld(cs));
        // A second Unlock and the destructor must not leave the section again:
        // the platform ends the process on such misuse.
        EXPECT_TRUE(slock.Unlock());
    }
    {
        CTSSyncLock slock(&cs, FALSE);
        EXPECT_FALSE(slock.IsAcquired() || IsHeld(cs));
        EXPECT_TRUE(slock.Lock(INFINITE));
        EXPECT_TRUE(IsHeld(cs));
    }
    try {
        CTSSyncLock slock(&cs, TRUE);
        throw 1;
    } catch (int) {
        EXPECT_FALSE(IsHeld(cs)) << "released during unwinding, before the handler";
    }
    CTSMutex mutex(FALSE, nullptr, nullptr);
    std::thread([&] { EXPECT_TRUE(mutex.Lock(INFINITE)); }).join(); // ends owning it
    {
        CTSSyncLock slock(&mutex, TRUE);
        EXPECT_FALSE(slock.IsAcquired()) << "an abandoned mutex is not obtained";
    }
    // The abandoned wait made this thread the owner; had the holder released it, this would fail.
    EXPECT_TRUE(ReleaseMutex(mutex.GetHandle()));

    // Misuse is reported with the condition and the unit, and does nothing.
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    const auto LastReport = [] {
        WCHAR szMessage[64] = {}, szFile[64] = {};
        DWORD dwLine = 0;
        EXPECT_TRUE(QvnPlatformGetLastAssert(szMessage, 64, szFile, 64, &dwLine) && dwLine != 0);
        return std::u16string(szFile) + u": " + szMessage;
    };
    CTSSyncLock slock(nullptr, FALSE);
    EXPECT_EQ(u"COMMON_FILES/Common/mt: PpObject != NULL", LastReport());
    EXPECT_FALSE(slock.Lock(0));
    EXPECT_EQ(u"COMMON_FILES/Common/mt: m_pObject != NULL || m_hObject != NULL", LastReport());
    EXPECT_TRUE(slock.Unlock());
    EXPECT_EQ(u"COMMON_FILES/Common/mt: m_pObject != NULL", LastReport());
    EXPECT_EQ(3u, QvnPlatformAssertCount());
}

} // namespace
} // namespace unit
