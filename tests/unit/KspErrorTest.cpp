// Status errors: the status each kind reports, how they travel, and the
// prebuilt out-of-memory error.
#include "UnitTestSupport.h"

#include "common/KspError.h"
#include "common/KspMemory.h"

namespace
{

using unit::Status;

struct ErrorCase {
    DWORD dwError;
    LONG lCapiStatus; // what a CKspCapiError holding dwError reports
};

class CapiErrorStatus : public ::testing::TestWithParam<ErrorCase>
{
};

TEST_P(CapiErrorStatus, TranslatesOnlyTheSilentContext)
{
    const ErrorCase &c = GetParam();
    EXPECT_STATUS(c.lCapiStatus, CKspCapiError(c.dwError).GetStatus());
    // A status the module chose is never translated.
    EXPECT_STATUS(c.dwError, CKspError(static_cast<SECURITY_STATUS>(c.dwError)).GetStatus());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CapiErrorStatus,
    ::testing::Values(ErrorCase{0x80090022u, static_cast<LONG>(0x8009002Eu)}, // silent context: UI required
                      ErrorCase{0x80090027u, static_cast<LONG>(0x80090027u)},
                      ErrorCase{0x8009002Eu, static_cast<LONG>(0x8009002Eu)},
                      ErrorCase{0x80090006u, static_cast<LONG>(0x80090006u)}, // bad signature
                      ErrorCase{0x80090016u, static_cast<LONG>(0x80090016u)}, // bad keyset from the CSP
                      ErrorCase{5u, 5},                                       // a plain Win32 error stays small
                      ErrorCase{0u, 0}, ErrorCase{0xFFFFFFFFu, -1}));

TEST(KspError, CaughtThroughTheBaseReportsTheDerivedStatus)
{
    LONG lCaught = 0;
    try {
        throw CKspCapiError(static_cast<DWORD>(NTE_SILENT_CONTEXT));
    } catch (const CKspBaseError &err) {
        lCaught = err.GetStatus();
    }
    EXPECT_STATUS(NTE_UI_REQUIRED, lCaught);

    try {
        throw CKspError(NTE_SILENT_CONTEXT);
    } catch (const CKspBaseError &err) {
        lCaught = err.GetStatus();
    }
    EXPECT_STATUS(NTE_SILENT_CONTEXT, lCaught);
}

TEST(KspError, EachKindMatchesItsOwnHandlerAndTheBase)
{
    int iHandler = 0;
    try {
        throw CKspError(NTE_BAD_FLAGS);
    } catch (const CKspCapiError &) {
        iHandler = 1;
    } catch (const CKspError &) {
        iHandler = 2;
    }
    EXPECT_EQ(2, iHandler);

    try {
        throw CKspCapiError(static_cast<DWORD>(NTE_BAD_FLAGS));
    } catch (const CKspError &) {
        iHandler = 3;
    } catch (const CKspCapiError &) {
        iHandler = 4;
    }
    EXPECT_EQ(4, iHandler);
}

TEST(KspError, CopiesReportTheSameStatus)
{
    const CKspCapiError errCapi(static_cast<DWORD>(NTE_SILENT_CONTEXT));
    const CKspCapiError errCapiCopy(errCapi);
    EXPECT_STATUS(NTE_UI_REQUIRED, errCapiCopy.GetStatus());

    const CKspError err(NTE_PERM);
    const CKspError errCopy(err);
    EXPECT_STATUS(NTE_PERM, errCopy.GetStatus());
}

TEST(KspError, RaisingMakesNoModuleAllocation)
{
    QvnPlatformResetModuleCounters();
    LONG lCaught = 0;
    try {
        throw CKspCapiError(static_cast<DWORD>(NTE_BAD_SIGNATURE));
    } catch (const CKspBaseError &err) {
        lCaught = err.GetStatus();
    }
    const DWORD cMallocs = QvnPlatformModuleMallocCount();
    EXPECT_EQ(0u, cMallocs);
    EXPECT_STATUS(NTE_BAD_SIGNATURE, lCaught);
}

TEST(KspErrorNoMemory, PrebuiltErrorCarriesNoMemory)
{
    EXPECT_STATUS(0x8009000Eu, g_errNoMemory.GetStatus());
    const CKspError errCopy(g_errNoMemory);
    EXPECT_STATUS(0x8009000Eu, errCopy.GetStatus());
}

TEST(KspErrorNoMemory, AllocationFailuresThrowCopiesAndLeaveThePrebuiltErrorAlone)
{
    for (int i = 0; i < 3; ++i) {
        const CKspBaseError *pCaught = nullptr;
        LONG lCaught = 0;
        {
            unit::ScopedMallocFailure failure(1);
            try {
                KspAllocate(16);
            } catch (const CKspBaseError &err) {
                pCaught = &err;
                lCaught = err.GetStatus();
            }
        }
        EXPECT_NE(static_cast<const CKspBaseError *>(&g_errNoMemory), pCaught) << "the thrown object is a copy";
        EXPECT_STATUS(NTE_NO_MEMORY, lCaught);
    }
    EXPECT_STATUS(NTE_NO_MEMORY, g_errNoMemory.GetStatus());
}

} // namespace
