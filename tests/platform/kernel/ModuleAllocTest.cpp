// The module's malloc and free, seen through a library linked with
// --wrap=malloc/--wrap=free as the module is.
#include <windows.h>
#include <qvnplatform.h>

#include "wrapped_alloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace
{

class ModuleAllocTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QvnPlatformReset();
        m_lLiveAtStart = QvnPlatformModuleLiveBlocks();
    }
    void TearDown() override { QvnPlatformReset(); }

    LONG LiveSinceStart() const { return QvnPlatformModuleLiveBlocks() - m_lLiveAtStart; }

    struct FreeRecord {
        SIZE_T cbBlock;
        BOOL fAllZero;
    };
    static FreeRecord GetFree(DWORD dwIndex)
    {
        FreeRecord record{0, 2};
        EXPECT_TRUE(QvnPlatformGetModuleFree(dwIndex, &record.cbBlock, &record.fAllZero));
        return record;
    }

    LONG m_lLiveAtStart = 0;
};

TEST_F(ModuleAllocTest, CountsMallocsAndLiveBlocks)
{
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount());
    void *pv1 = WrappedAllocate(16, 0);
    void *pv2 = WrappedAllocate(1, 0);
    void *pv3 = WrappedAllocate(4096, 0);
    ASSERT_NE(nullptr, pv1);
    ASSERT_NE(nullptr, pv2);
    ASSERT_NE(nullptr, pv3);
    EXPECT_EQ(3u, QvnPlatformModuleMallocCount());
    EXPECT_EQ(3, LiveSinceStart());

    WrappedFree(pv2);
    EXPECT_EQ(2, LiveSinceStart());
    WrappedFree(nullptr); // not a block
    EXPECT_EQ(2, LiveSinceStart());
    WrappedFree(pv1);
    WrappedFree(pv3);
    EXPECT_EQ(0, LiveSinceStart());
    EXPECT_EQ(3u, QvnPlatformModuleMallocCount()); // frees do not count
}

TEST_F(ModuleAllocTest, ResetOfCountersKeepsLiveBlocks)
{
    void *pv = WrappedAllocate(8, 0);
    ASSERT_NE(nullptr, pv);
    QvnPlatformResetModuleCounters();
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount());
    EXPECT_EQ(1, LiveSinceStart());
    QvnPlatformReset();
    EXPECT_EQ(1, LiveSinceStart());
    WrappedFree(pv);
    EXPECT_EQ(0, LiveSinceStart());
}

TEST_F(ModuleAllocTest, NthMallocFromNowFailsOnce)
{
    QvnPlatformFailModuleMalloc(3);
    void *pv1 = WrappedAllocate(8, 0);
    void *pv2 = WrappedAllocate(8, 0);
    void *pv3 = WrappedAllocate(8, 0);
    void *pv4 = WrappedAllocate(8, 0);
    EXPECT_NE(nullptr, pv1);
    EXPECT_NE(nullptr, pv2);
    EXPECT_EQ(nullptr, pv3);
    EXPECT_NE(nullptr, pv4);
    EXPECT_EQ(4u, QvnPlatformModuleMallocCount()); // the failed call counts as a call
    EXPECT_EQ(3, LiveSinceStart());                // but leaves no block
    WrappedFree(pv1);
    WrappedFree(pv2);
    WrappedFree(pv4);
    EXPECT_EQ(0, LiveSinceStart());
}

TEST_F(ModuleAllocTest, FailureCanBeCancelled)
{
    QvnPlatformFailModuleMalloc(1);
    QvnPlatformFailModuleMalloc(0);
    void *pv = WrappedAllocate(8, 0);
    EXPECT_NE(nullptr, pv);
    WrappedFree(pv);

    QvnPlatformFailModuleMalloc(1);
    QvnPlatformReset();
    pv = WrappedAllocate(8, 0);
    EXPECT_NE(nullptr, pv);
    WrappedFree(pv);
}

TEST_F(ModuleAllocTest, LaterRequestReplacesAPendingOne)
{
    QvnPlatformFailModuleMalloc(1);
    QvnPlatformFailModuleMalloc(2);
    void *pv1 = WrappedAllocate(8, 0);
    void *pv2 = WrappedAllocate(8, 0);
    EXPECT_NE(nullptr, pv1);
    EXPECT_EQ(nullptr, pv2);
    WrappedFree(pv1);
}

TEST_F(ModuleAllocTest, TrackedFreesRecordSizeAndWhetherTheBlockWasZero)
{
    QvnPlatformTrackModuleFrees(TRUE);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());

    WrappedFree(WrappedAllocate(32, 0x00));
    WrappedFree(WrappedAllocate(17, 0xA5));
    unsigned char *pb = static_cast<unsigned char *>(WrappedAllocate(64, 0x00));
    ASSERT_NE(nullptr, pb);
    pb[63] = 1; // one non-zero byte at the very end
    WrappedFree(pb);
    pb = static_cast<unsigned char *>(WrappedAllocate(5, 0x7F));
    ASSERT_NE(nullptr, pb);
    pb[0] = pb[1] = pb[2] = pb[3] = pb[4] = 0; // wiped before release
    WrappedFree(pb);
    WrappedFree(nullptr); // not recorded

    ASSERT_EQ(4u, QvnPlatformModuleFreeCount());
    const FreeRecord expected[] = {{32, TRUE}, {17, FALSE}, {64, FALSE}, {5, TRUE}};
    for (DWORD i = 0; i < 4; ++i) {
        const FreeRecord record = GetFree(i);
        EXPECT_EQ(expected[i].cbBlock, record.cbBlock) << i;
        EXPECT_EQ(expected[i].fAllZero, record.fAllZero) << i;
    }
    SIZE_T cb = 99;
    BOOL fZero = 99;
    EXPECT_FALSE(QvnPlatformGetModuleFree(4, &cb, &fZero));
    EXPECT_EQ(99u, cb);
    EXPECT_EQ(99, fZero);
}

TEST_F(ModuleAllocTest, ZeroByteBlockIsRecordedAsZero)
{
    QvnPlatformTrackModuleFrees(TRUE);
    void *pv = WrappedAllocate(0, 0);
    if (pv == nullptr) {
        GTEST_SKIP() << "malloc(0) returned NULL on this C library";
    }
    WrappedFree(pv);
    ASSERT_EQ(1u, QvnPlatformModuleFreeCount());
    const FreeRecord record = GetFree(0);
    EXPECT_EQ(0u, record.cbBlock);
    EXPECT_TRUE(record.fAllZero);
}

TEST_F(ModuleAllocTest, FreesAreOnlyRecordedWhileTracking)
{
    void *pvBefore = WrappedAllocate(8, 1);
    WrappedFree(pvBefore);
    QvnPlatformTrackModuleFrees(TRUE);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    WrappedFree(WrappedAllocate(8, 0));
    QvnPlatformTrackModuleFrees(FALSE);
    WrappedFree(WrappedAllocate(8, 0));
    // Records made while tracking stay readable after it stops.
    ASSERT_EQ(1u, QvnPlatformModuleFreeCount());
    EXPECT_EQ(8u, GetFree(0).cbBlock);
    // Tracking again starts a new list; reset of the counters clears it too.
    QvnPlatformTrackModuleFrees(TRUE);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    WrappedFree(WrappedAllocate(8, 0));
    EXPECT_EQ(1u, QvnPlatformModuleFreeCount());
    QvnPlatformResetModuleCounters();
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
}

TEST_F(ModuleAllocTest, BlockThatTheModuleDidNotAllocateIsNotAModuleFree)
{
    QvnPlatformTrackModuleFrees(TRUE);
    void *pvForeign = std::malloc(24); // this file is not wrapped: the real malloc
    ASSERT_NE(nullptr, pvForeign);
    WrappedFree(pvForeign);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    EXPECT_EQ(0, LiveSinceStart());
}

TEST_F(ModuleAllocTest, CountsExactlyUnderConcurrentUse)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    QvnPlatformTrackModuleFrees(TRUE);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i] {
            for (int j = 0; j < kRounds; ++j) {
                void *pv = WrappedAllocate(static_cast<size_t>(8 + i), 0);
                WrappedFree(pv);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(static_cast<DWORD>(kThreads * kRounds), QvnPlatformModuleMallocCount());
    EXPECT_EQ(static_cast<DWORD>(kThreads * kRounds), QvnPlatformModuleFreeCount());
    EXPECT_EQ(0, LiveSinceStart());
}

} // namespace
