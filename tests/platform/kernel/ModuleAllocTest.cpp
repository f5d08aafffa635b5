// The module's malloc and free, seen through a library linked with
// --wrap=malloc/--wrap=free as the module is.
#include <windows.h>
#include <qvnplatform.h>

#include "wrapped_alloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

    LONG m_lLiveAtStart = 0;
};

TEST_F(ModuleAllocTest, CountsMallocsAndLiveBlocks)
{
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount());
    void *pv1 = WrappedAllocate(16, 0);
    void *pv2 = WrappedAllocate(4096, 0);
    ASSERT_NE(nullptr, pv1);
    ASSERT_NE(nullptr, pv2);
    EXPECT_EQ(2u, QvnPlatformModuleMallocCount());
    EXPECT_EQ(2, LiveSinceStart());
    WrappedFree(pv1);
    WrappedFree(nullptr); // not a block
    EXPECT_EQ(1, LiveSinceStart());

    // Resets clear the counters, not the blocks that are still live.
    QvnPlatformResetModuleCounters();
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount());
    QvnPlatformReset();
    EXPECT_EQ(1, LiveSinceStart());
    WrappedFree(pv2);
    EXPECT_EQ(0, LiveSinceStart());
    EXPECT_EQ(0u, QvnPlatformModuleMallocCount()); // frees do not count

    // A block that the module did not allocate is not one of its blocks.
    QvnPlatformTrackModuleFrees(TRUE);
    void *pvForeign = std::malloc(24); // this file is not wrapped: the real malloc
    ASSERT_NE(nullptr, pvForeign);
    WrappedFree(pvForeign);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    EXPECT_EQ(0, LiveSinceStart());
}

TEST_F(ModuleAllocTest, NthMallocFromNowFailsOnce)
{
    const struct {
        const char *pszName;
        std::vector<DWORD> requests; // QvnPlatformFailModuleMalloc calls, in order
        bool fResetAfter;
        std::vector<bool> fFails; // of the next mallocs
    } cases[] = {
        {"third", {3}, false, {false, false, true, false}},
        {"cancelled", {1, 0}, false, {false, false}},
        {"replaced", {1, 2}, false, {false, true, false}},
        {"reset", {1}, true, {false}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        QvnPlatformResetModuleCounters();
        for (DWORD nth : c.requests) {
            QvnPlatformFailModuleMalloc(nth);
        }
        if (c.fResetAfter) {
            QvnPlatformReset();
        }
        for (bool fFails : c.fFails) {
            void *pv = WrappedAllocate(8, 0);
            EXPECT_EQ(fFails, pv == nullptr);
            WrappedFree(pv);
        }
        EXPECT_EQ(c.fFails.size(), QvnPlatformModuleMallocCount()); // a failed call counts as a call
        EXPECT_EQ(0, LiveSinceStart());                             // but leaves no block
    }
}

TEST_F(ModuleAllocTest, TrackedFreesRecordSizeAndWhetherTheBlockWasZero)
{
    WrappedFree(WrappedAllocate(8, 1)); // before tracking: not recorded
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
    QvnPlatformTrackModuleFrees(FALSE);
    WrappedFree(WrappedAllocate(8, 0)); // after tracking: not recorded

    // Records made while tracking stay readable after it stops.
    ASSERT_EQ(4u, QvnPlatformModuleFreeCount());
    const struct {
        SIZE_T cbBlock;
        BOOL fAllZero;
    } expected[] = {{32, TRUE}, {17, FALSE}, {64, FALSE}, {5, TRUE}};
    for (DWORD i = 0; i < 4; ++i) {
        SIZE_T cb = 0;
        BOOL fZero = 2;
        ASSERT_TRUE(QvnPlatformGetModuleFree(i, &cb, &fZero));
        EXPECT_EQ(expected[i].cbBlock, cb) << i;
        EXPECT_EQ(expected[i].fAllZero, fZero) << i;
    }
    SIZE_T cb = 99;
    BOOL fZero = 99;
    EXPECT_FALSE(QvnPlatformGetModuleFree(4, &cb, &fZero));
    EXPECT_EQ(99u, cb);
    EXPECT_EQ(99, fZero);

    // Tracking again starts a new list; a reset of the counters clears it too.
    QvnPlatformTrackModuleFrees(TRUE);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    WrappedFree(WrappedAllocate(8, 0));
    EXPECT_EQ(1u, QvnPlatformModuleFreeCount());
    QvnPlatformResetModuleCounters();
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
}

} // namespace
