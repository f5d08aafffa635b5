// Kernel object handles: validation, closing, objects of the wrong kind and
// named objects.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

namespace
{

// Each call must fail with ERROR_INVALID_HANDLE.
void ExpectEveryFunctionRefuses(HANDLE h)
{
    const std::vector<std::pair<const char *, std::function<bool()>>> calls = {
        {"WaitForSingleObject 0", [&] { return WaitForSingleObject(h, 0) == WAIT_FAILED; }},
        {"WaitForSingleObject INFINITE", [&] { return WaitForSingleObject(h, INFINITE) == WAIT_FAILED; }},
        {"CloseHandle", [&] { return !CloseHandle(h); }},
        {"SetEvent", [&] { return !SetEvent(h); }},
        {"ResetEvent", [&] { return !ResetEvent(h); }},
        {"ReleaseMutex", [&] { return !ReleaseMutex(h); }},
    };
    for (const auto &call : calls) {
        SCOPED_TRACE(call.first);
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(call.second());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
}

TEST(HandleTest, NullInvalidUnknownAndClosedHandlesAreRefused)
{
    HANDLE hClosed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, hClosed);
    SetLastError(ERROR_BUSY);
    EXPECT_TRUE(CloseHandle(hClosed));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError()); // success leaves the last error alone
    for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(ULONG_PTR(0x7FFF1234)), hClosed}) {
        SCOPED_TRACE(h);
        ExpectEveryFunctionRefuses(h);
    }
}

TEST(HandleTest, ObjectOfTheWrongKindIsAnInvalidHandleAndUnchanged)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, hEvent);
    ASSERT_NE(nullptr, hMutex);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(hEvent));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    CloseHandle(hEvent);
    CloseHandle(hMutex);
}

TEST(HandleTest, NamedObjectIsOpenedAgainByNameUntilItsLastHandleCloses)
{
    const WCHAR *const pszName = u"QvnPlatformTest.Named";
    HANDLE hFirst = CreateEventW(nullptr, TRUE, FALSE, pszName);
    ASSERT_NE(nullptr, hFirst);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    HANDLE hSecond = CreateEventW(nullptr, FALSE, TRUE, pszName); // reset kind and state are ignored
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    ASSERT_TRUE(SetEvent(hFirst));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0)); // the same, manual-reset event
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, pszName)); // the name of an event
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    EXPECT_TRUE(CloseHandle(hFirst));
    EXPECT_TRUE(CloseHandle(hSecond));
    HANDLE hAgain = CreateEventW(nullptr, TRUE, FALSE, pszName);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hAgain, 0)); // a new, unsignalled event
    CloseHandle(hAgain);
}

} // namespace
