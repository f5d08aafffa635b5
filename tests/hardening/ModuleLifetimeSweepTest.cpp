// Running out of memory while the module loads and in its first entry call,
// with the module loaded afresh for every failing allocation. Loading builds
// the four CSP names: a name whose allocation fails is lost (to the module it
// becomes an unknown name) and nothing else is, and the load itself goes on.
// The first entry call creates the provider manager: when that fails the call
// returns NTE_NO_MEMORY and the next call creates it.
#include "HardeningSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace hardening
{
namespace
{

class ModuleLifetimeSweepTest : public qvntest::StoreTest
{
protected:
    void TearDown() override
    {
        QvnPlatformFailModuleMalloc(0);
        m_module.Unload();
        StoreTest::TearDown();
    }
    LoadedModule m_module;
};

TEST_F(ModuleLifetimeSweepTest, AnAllocationFailingWhileLoadingLosesOneCspNameAndNothingElse)
{
    ASSERT_TRUE(PopulateStore());
    const Holdings before = Holdings::Now();
    const WCHAR *const rgpszCsps[] = {qvntest::kAlderProvider, qvntest::kBirchProvider, qvntest::kCedarProvider,
                                      qvntest::kDogwoodProvider};
    std::vector<std::string> lost;
    int cInjected = 0;
    for (DWORD k = 1; k <= 50; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of the load fails");
        QvnPlatformResetModuleCounters();
        QvnPlatformFailModuleMalloc(k);
        std::string strError;
        const bool fLoaded = m_module.LoadLibraryOnly(strError);
        const DWORD cMallocs = QvnPlatformModuleMallocCount();
        QvnPlatformFailModuleMalloc(0);
        ASSERT_TRUE(fLoaded) << strError;
        ASSERT_TRUE(m_module.OpenTable(strError)) << strError;
        const bool fFailed = cMallocs >= k;
        int cRefused = 0;
        for (const WCHAR *pszCsp : rgpszCsps) {
            NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable = nullptr;
            const NTSTATUS ntStatus = m_module.GetInterface()(pszCsp, &pTable, 0);
            NCRYPT_PROV_HANDLE hProvider = 0;
            const SECURITY_STATUS status = m_module.Table().OpenProvider(&hProvider, pszCsp, 0);
            if (status == ERROR_SUCCESS) {
                EXPECT_EQ(STATUS_SUCCESS, ntStatus);
                NCRYPT_KEY_HANDLE hKey = 0;
                if (pszCsp == qvntest::kAlderProvider) {
                    EXPECT_EQ(ERROR_SUCCESS,
                              m_module.Table().OpenKey(hProvider, &hKey, kBothContainer, AT_KEYEXCHANGE, 0));
                }
                EXPECT_EQ(ERROR_SUCCESS, m_module.Table().FreeProvider(hProvider));
            } else {
                // A name lost at load is an unknown name, to both functions.
                EXPECT_EQ(StatusText(NTE_INVALID_PARAMETER), StatusText(status));
                EXPECT_EQ(StatusText(STATUS_INVALID_PARAMETER), StatusText(ntStatus));
                lost.push_back(qvntest::Narrow(pszCsp));
                ++cRefused;
            }
        }
        // The key storage provider's own name is no static object: never lost.
        NCRYPT_PROV_HANDLE hKsp = 0;
        EXPECT_EQ(ERROR_SUCCESS, m_module.Table().OpenProvider(&hKsp, kKspName, 0));
        EXPECT_EQ(ERROR_SUCCESS, m_module.Table().FreeProvider(hKsp));
        EXPECT_EQ(fFailed ? 1 : 0, cRefused);
        m_module.Unload();
        EXPECT_EQ(before, Holdings::Now()) << "unloading left something behind";
        if (!fFailed || HasFailure()) {
            break;
        }
        ++cInjected;
    }
    // Each of the four names was the one lost once.
    std::sort(lost.begin(), lost.end());
    EXPECT_EQ(4u, lost.size());
    EXPECT_EQ(lost.end(), std::unique(lost.begin(), lost.end()));
    std::printf("allocation sweep of the load: %d injected allocation failures\n", cInjected);
}

TEST_F(ModuleLifetimeSweepTest, TheFirstEntryCallRunningOutOfMemoryLeavesTheManagerToTheNextCall)
{
    const Holdings before = Holdings::Now();
    int cInjected = 0;
    for (DWORD k = 1; k <= 50; ++k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of the first call fails");
        std::string strError;
        ASSERT_TRUE(m_module.Load(strError)) << strError;
        QvnPlatformResetModuleCounters();
        QvnPlatformFailModuleMalloc(k);
        const SECURITY_STATUS status = m_module.Table().FreeProvider(0x1234);
        const DWORD cMallocs = QvnPlatformModuleMallocCount();
        QvnPlatformFailModuleMalloc(0);
        if (cMallocs < k) {
            EXPECT_EQ(StatusText(NTE_INVALID_HANDLE), StatusText(status));
            m_module.Unload();
            break;
        }
        ++cInjected;
        EXPECT_EQ(StatusText(NTE_NO_MEMORY), StatusText(status));
        // The next call creates the manager and works.
        NCRYPT_PROV_HANDLE hProvider = 0;
        EXPECT_EQ(ERROR_SUCCESS, m_module.Table().OpenProvider(&hProvider, kKspName, 0));
        EXPECT_EQ(ERROR_SUCCESS, m_module.Table().FreeProvider(hProvider));
        m_module.Unload();
        EXPECT_EQ(before, Holdings::Now());
    }
    EXPECT_GT(cInjected, 0);
    std::printf("allocation sweep of the first call: %d injected allocation failures\n", cInjected);
}

} // namespace
} // namespace hardening
