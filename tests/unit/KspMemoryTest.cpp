// The module's one allocation policy: every allocation goes to the C
// runtime's malloc, and running out of memory is the NTE_NO_MEMORY status
// error, also for new-expressions and standard containers.
#include "UnitTestSupport.h"

#include "common/KspMemory.h"

#include <cstring>
#include <map>
#include <vector>

namespace
{

// Keeps the compiler from pairing away a new-expression with its delete.
template <typename T> T *Escape(T *p)
{
    asm volatile("" : : "g"(p) : "memory");
    return p;
}

class KspMemory : public ::testing::Test
{
protected:
    void SetUp() override { QvnPlatformReset(); }
    void TearDown() override { QvnPlatformReset(); }
};

TEST_F(KspMemory, AllocateGoesToMallocOncePerRequest)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    void *pv = KspAllocate(100);
    const DWORD cMallocs = QvnPlatformModuleMallocCount();
    ASSERT_NE(nullptr, pv);
    std::memset(pv, 0x5A, 100); // the whole block is usable
    KspDeallocate(pv);

    EXPECT_EQ(1u, cMallocs);
    const std::vector<unit::ModuleFree> frees = unit::TrackedFrees();
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(100u, frees[0].cbBlock);
}

TEST_F(KspMemory, ZeroByteRequestIsAnOrdinaryMalloc)
{
    QvnPlatformResetModuleCounters();
    void *pv = KspAllocate(0);
    EXPECT_EQ(1u, QvnPlatformModuleMallocCount());
    EXPECT_NE(nullptr, pv);
    KspDeallocate(pv);

    LONG lStatus = 0;
    {
        unit::ScopedMallocFailure failure(1);
        lStatus = unit::StatusOf([] { KspAllocate(0); });
    }
    EXPECT_STATUS(NTE_NO_MEMORY, lStatus);
}

TEST_F(KspMemory, MallocFailureThrowsNoMemoryNeverNull)
{
    LONG lStatus = 0;
    {
        unit::ScopedMallocFailure failure(1);
        lStatus = unit::StatusOf([] { KspAllocate(64); });
    }
    EXPECT_STATUS(NTE_NO_MEMORY, lStatus);
    EXPECT_STATUS(NTE_NO_MEMORY, g_errNoMemory.GetStatus());

    // Only the failing call fails.
    void *pv = KspAllocate(64);
    EXPECT_NE(nullptr, pv);
    KspDeallocate(pv);
}

TEST_F(KspMemory, DeallocateOfNullDoesNothing)
{
    QvnPlatformTrackModuleFrees(TRUE);
    const LONG lLiveBefore = QvnPlatformModuleLiveBlocks();
    KspDeallocate(nullptr);
    EXPECT_EQ(0u, QvnPlatformModuleFreeCount());
    EXPECT_EQ(lLiveBefore, QvnPlatformModuleLiveBlocks());
}

TEST_F(KspMemory, NewExpressionsAllocateThroughTheModule)
{
    QvnPlatformTrackModuleFrees(TRUE);
    QvnPlatformResetModuleCounters();
    int *pn = Escape(new int(7));
    char *pch = Escape(new char[33]);
    const DWORD cMallocs = QvnPlatformModuleMallocCount();
    delete pn;
    delete[] pch;

    EXPECT_EQ(2u, cMallocs);
    const std::vector<unit::ModuleFree> frees = unit::TrackedFrees();
    ASSERT_EQ(2u, frees.size());
    EXPECT_EQ(sizeof(int), frees[0].cbBlock);
    EXPECT_EQ(33u, frees[1].cbBlock);
}

TEST_F(KspMemory, NewExpressionFailureIsNoMemoryNotBadAlloc)
{
    struct Case {
        const char *pszWhat;
        void (*pfnAllocate)();
    } const rgCases[] = {
        {"new", [] { delete Escape(new int(1)); }},
        {"new[]", [] { delete[] Escape(new char[40]); }},
        {"vector",
         [] {
             std::vector<BYTE> rgb(300);
             Escape(rgb.data());
         }},
        {"map",
         [] {
             std::map<ULONG_PTR, void *> map;
             map[1] = nullptr;
             Escape(&map);
         }},
    };
    for (const Case &c : rgCases) {
        LONG lStatus = 0;
        bool fBadAlloc = false;
        {
            unit::ScopedMallocFailure failure(1);
            try {
                c.pfnAllocate();
            } catch (const CKspBaseError &err) {
                lStatus = err.GetStatus();
            } catch (const std::bad_alloc &) {
                fBadAlloc = true;
            }
        }
        EXPECT_STATUS(NTE_NO_MEMORY, lStatus) << c.pszWhat;
        EXPECT_FALSE(fBadAlloc) << c.pszWhat;
    }
}

} // namespace
