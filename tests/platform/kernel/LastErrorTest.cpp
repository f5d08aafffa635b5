// The last-error value belongs to each thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace
{

TEST(LastErrorTest, ReadsBackWhatWasSet)
{
    for (DWORD dwError : {DWORD{0}, DWORD{ERROR_NOT_OWNER}, static_cast<DWORD>(NTE_BAD_KEYSET), DWORD{0xFFFFFFFF}}) {
        SetLastError(dwError);
        EXPECT_EQ(dwError, GetLastError());
    }
}

TEST(LastErrorTest, EachThreadHasItsOwnValue)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD dwAtStart = 0xDEADBEEF;
    DWORD dwAfterSet = 0xDEADBEEF;
    std::thread worker([&] {
        dwAtStart = GetLastError();
        SetLastError(ERROR_BUSY);
        dwAfterSet = GetLastError();
    });
    worker.join();

    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), dwAtStart);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), dwAfterSet);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

} // namespace
