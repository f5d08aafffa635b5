// Handles: validation through the handle table, closing, named objects.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace
{

enum class HandleKind { Null, InvalidValue, NeverIssued, Closed };

HANDLE MakeBadHandle(HandleKind kind)
{
    switch (kind) {
    case HandleKind::Null:
        return nullptr;
    case HandleKind::InvalidValue:
        return INVALID_HANDLE_VALUE;
    case HandleKind::NeverIssued:
        return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF1234));
    case HandleKind::Closed:
    default: {
        HANDLE h = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        CloseHandle(h);
        return h;
    }
    }
}

class BadHandleTest : public ::testing::TestWithParam<HandleKind>
{
};

TEST_P(BadHandleTest, EveryFunctionRejectsIt)
{
    const HANDLE h = MakeBadHandle(GetParam());

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(h, INFINITE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadHandleTest,
                         ::testing::Values(HandleKind::Null, HandleKind::InvalidValue, HandleKind::NeverIssued,
                                           HandleKind::Closed));

TEST(HandleTest, CloseSucceedsOnceAndLeavesLastErrorAlone)
{
    HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, h);
    SetLastError(ERROR_BUSY);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(HandleTest, HandlesAreDistinctNonNullMultiplesOfFour)
{
    HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(nullptr, hEvent);
    ASSERT_NE(nullptr, hMutex);
    EXPECT_NE(hEvent, hMutex);
    EXPECT_NE(INVALID_HANDLE_VALUE, hEvent);
    EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(hEvent) % 4);
    EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(hMutex) % 4);
    CloseHandle(hEvent);
    CloseHandle(hMutex);
}

TEST(HandleTest, ObjectOfTheWrongKindIsAnInvalidHandle)
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
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ResetEvent(hMutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

    // Neither object was changed.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEvent, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hMutex, 0));
    EXPECT_TRUE(ReleaseMutex(hMutex));
    CloseHandle(hEvent);
    CloseHandle(hMutex);
}

TEST(NamedObjectTest, SecondCreateOpensTheSameEvent)
{
    const std::u16string strName = u"QvnPlatformTest.SameEvent";
    SetLastError(ERROR_BUSY);
    HANDLE hFirst = CreateEventW(nullptr, TRUE, FALSE, strName.c_str());
    ASSERT_NE(nullptr, hFirst);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());

    // Manual reset and signalled are ignored: the object exists already.
    HANDLE hSecond = CreateEventW(nullptr, FALSE, TRUE, strName.c_str());
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_NE(hFirst, hSecond);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hSecond, 0));

    ASSERT_TRUE(SetEvent(hFirst));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hSecond, 0)); // still manual reset

    // Closing one handle keeps the object and its name.
    EXPECT_TRUE(CloseHandle(hFirst));
    HANDLE hThird = CreateEventW(nullptr, TRUE, FALSE, strName.c_str());
    ASSERT_NE(nullptr, hThird);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hThird, 0));
    CloseHandle(hSecond);
    CloseHandle(hThird);
}

TEST(NamedObjectTest, NameIsReleasedWithTheLastHandle)
{
    const std::u16string strName = u"QvnPlatformTest.Released";
    HANDLE hFirst = CreateEventW(nullptr, TRUE, TRUE, strName.c_str());
    ASSERT_NE(nullptr, hFirst);
    CloseHandle(hFirst);

    HANDLE hAgain = CreateEventW(nullptr, TRUE, FALSE, strName.c_str());
    ASSERT_NE(nullptr, hAgain);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hAgain, 0)); // a new, unsignalled event
    CloseHandle(hAgain);
}

TEST(NamedObjectTest, NamedMutexIsSharedAndInitialOwnerIgnoredWhenItExists)
{
    const std::u16string strName = u"QvnPlatformTest.Mutex";
    HANDLE hFirst = CreateMutexW(nullptr, FALSE, strName.c_str());
    ASSERT_NE(nullptr, hFirst);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    HANDLE hSecond = CreateMutexW(nullptr, TRUE, strName.c_str());
    ASSERT_NE(nullptr, hSecond);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

    // Not owned through the second create.
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseMutex(hSecond));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_OWNER), GetLastError());
    // Owned through one handle, released through the other.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hFirst, 0));
    EXPECT_TRUE(ReleaseMutex(hSecond));
    CloseHandle(hFirst);
    CloseHandle(hSecond);
}

TEST(NamedObjectTest, NameOfAnObjectOfTheOtherKindIsRefused)
{
    const std::u16string strName = u"QvnPlatformTest.Kind";
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, strName.c_str());
    ASSERT_NE(nullptr, hEvent);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, strName.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(hEvent);
}

TEST(NamedObjectTest, NamesAreCaseSensitiveAndEmptyNameIsUnnamed)
{
    HANDLE hLower = CreateEventW(nullptr, TRUE, FALSE, u"qvnplatformtest.case");
    HANDLE hUpper = CreateEventW(nullptr, TRUE, FALSE, u"QVNPLATFORMTEST.CASE");
    ASSERT_NE(nullptr, hLower);
    ASSERT_NE(nullptr, hUpper);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    ASSERT_TRUE(SetEvent(hLower));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hUpper, 0));

    HANDLE hEmpty1 = CreateEventW(nullptr, TRUE, FALSE, u"");
    HANDLE hEmpty2 = CreateEventW(nullptr, TRUE, FALSE, u"");
    ASSERT_NE(nullptr, hEmpty1);
    ASSERT_NE(nullptr, hEmpty2);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    ASSERT_TRUE(SetEvent(hEmpty1));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hEmpty2, 0));

    for (HANDLE h : {hLower, hUpper, hEmpty1, hEmpty2}) {
        CloseHandle(h);
    }
}

} // namespace
