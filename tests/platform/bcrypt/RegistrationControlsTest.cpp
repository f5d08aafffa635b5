// The test controls over the registration functions: an injected failure is
// returned as the NTSTATUS and changes nothing, every call is in the call log
// with its provider name and flags, and none of them touches the thread's
// last-error value.
#include "RegistrationTestSupport.h"

namespace bcrypt_test
{
namespace
{

constexpr LPCWSTR kSample = TEXT("Sample Provider");

bool IsRegistered(LPCWSTR pszProvider)
{
    NTSTATUS status = 0;
    Query(pszProvider, CRYPT_ANY, NCRYPT_KEY_STORAGE_INTERFACE, &status);
    return status == STATUS_SUCCESS;
}

TEST_F(RegistrationTest, InjectedRegisterFailureIsReturnedAndStoresNothing)
{
    QvnPlatformFailCall("BCryptRegisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    EXPECT_NT(STATUS_ACCESS_DENIED, Register(kSample, CRYPT_OVERWRITE, SampleProvider()));
    EXPECT_FALSE(IsRegistered(kSample));

    // Consumed: the next call works.
    EXPECT_NT(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, SampleProvider()));
    EXPECT_TRUE(IsRegistered(kSample));
}

TEST_F(RegistrationTest, InjectedFailureFallsOnTheNthCall)
{
    QvnPlatformFailCall("BCryptRegisterProvider", 2, static_cast<DWORD>(STATUS_NO_MEMORY));
    EXPECT_NT(STATUS_SUCCESS, Register(TEXT("First"), 0, SampleProvider()));
    EXPECT_NT(STATUS_NO_MEMORY, Register(TEXT("Second"), 0, SampleProvider()));
    EXPECT_NT(STATUS_SUCCESS, Register(TEXT("Third"), 0, SampleProvider()));
    EXPECT_TRUE(IsRegistered(TEXT("First")));
    EXPECT_FALSE(IsRegistered(TEXT("Second")));
    EXPECT_TRUE(IsRegistered(TEXT("Third")));
}

TEST_F(RegistrationTest, InjectedValueIsReturnedEvenWhenItIsNotAnError)
{
    // A positive status is returned as it is, and the call still does nothing.
    QvnPlatformFailCall("BCryptRegisterProvider", 1, 0x00000103);
    EXPECT_NT(0x00000103, Register(kSample, 0, SampleProvider()));
    EXPECT_FALSE(IsRegistered(kSample));

    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    QvnPlatformFailCall("BCryptUnregisterProvider", 1, 0x00000103);
    EXPECT_NT(0x00000103, BCryptUnregisterProvider(kSample));
    EXPECT_TRUE(IsRegistered(kSample));
}

TEST_F(RegistrationTest, InjectedFailuresOfUnregisterAndQuery)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));

    QvnPlatformFailCall("BCryptUnregisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    EXPECT_NT(STATUS_ACCESS_DENIED, BCryptUnregisterProvider(kSample));
    EXPECT_TRUE(IsRegistered(kSample));

    QvnPlatformFailCall("BCryptQueryProviderRegistration", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    ULONG cbBuffer = 7;
    PCRYPT_PROVIDER_REG pReg = nullptr;
    EXPECT_NT(STATUS_ACCESS_DENIED,
              BCryptQueryProviderRegistration(kSample, CRYPT_UM, NCRYPT_KEY_STORAGE_INTERFACE, &cbBuffer, &pReg));
    EXPECT_EQ(nullptr, pReg);
    EXPECT_EQ(7u, cbBuffer);

    // An injection for one function does not touch the others.
    QvnPlatformFailCall("BCryptRegisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    EXPECT_NT(STATUS_SUCCESS, BCryptUnregisterProvider(kSample));
    EXPECT_NT(STATUS_ACCESS_DENIED, Register(kSample, 0, SampleProvider()));
}

TEST_F(RegistrationTest, CallLogRecordsNameFlagsAndOutcome)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, CRYPT_OVERWRITE, SampleProvider()));
    ASSERT_NT(STATUS_OBJECT_NAME_COLLISION, Register(kSample, 0, SampleProvider()));
    QvnPlatformFailCall("BCryptUnregisterProvider", 1, static_cast<DWORD>(STATUS_ACCESS_DENIED));
    ASSERT_NT(STATUS_ACCESS_DENIED, BCryptUnregisterProvider(kSample));
    ASSERT_NT(STATUS_SUCCESS, BCryptUnregisterProvider(kSample));

    const std::vector<QVN_CALL_RECORD> registers = CallsOf("BCryptRegisterProvider");
    ASSERT_EQ(2u, registers.size());
    EXPECT_EQ(u"Sample Provider", std::u16string(registers[0].szProvider));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_OVERWRITE), registers[0].dwFlags);
    EXPECT_TRUE(registers[0].fSucceeded);
    EXPECT_EQ(0u, registers[0].dwError);
    EXPECT_EQ(u"Sample Provider", std::u16string(registers[1].szProvider));
    EXPECT_EQ(0u, registers[1].dwFlags);
    EXPECT_FALSE(registers[1].fSucceeded);
    EXPECT_EQ(static_cast<DWORD>(STATUS_OBJECT_NAME_COLLISION), registers[1].dwError);

    const std::vector<QVN_CALL_RECORD> unregisters = CallsOf("BCryptUnregisterProvider");
    ASSERT_EQ(2u, unregisters.size());
    for (const QVN_CALL_RECORD &record : unregisters) {
        EXPECT_EQ(u"Sample Provider", std::u16string(record.szProvider));
        EXPECT_EQ(0u, record.dwFlags);
    }
    EXPECT_FALSE(unregisters[0].fSucceeded);
    EXPECT_EQ(static_cast<DWORD>(STATUS_ACCESS_DENIED), unregisters[0].dwError);
    EXPECT_TRUE(unregisters[1].fSucceeded);

    EXPECT_EQ(2u, QvnPlatformCountCalls("BCryptRegisterProvider"));
    EXPECT_EQ(2u, QvnPlatformCountCalls("BCryptUnregisterProvider"));
}

TEST_F(RegistrationTest, CallLogRecordsQueryArguments)
{
    ASSERT_NT(STATUS_SUCCESS, Register(kSample, 0, SampleProvider()));
    QvnPlatformClearCallLog();

    ULONG cbBuffer = 0;
    ASSERT_NT(STATUS_BUFFER_TOO_SMALL,
              BCryptQueryProviderRegistration(kSample, CRYPT_MM, BCRYPT_CIPHER_INTERFACE, &cbBuffer, nullptr));

    const std::vector<QVN_CALL_RECORD> queries = CallsOf("BCryptQueryProviderRegistration");
    ASSERT_EQ(1u, queries.size());
    EXPECT_EQ(u"Sample Provider", std::u16string(queries[0].szProvider));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_MM), queries[0].dwFlags);
    EXPECT_EQ(static_cast<DWORD>(BCRYPT_CIPHER_INTERFACE), queries[0].dwParam);
    EXPECT_EQ(0u, queries[0].cbData);
    EXPECT_FALSE(queries[0].fSucceeded);
    EXPECT_EQ(static_cast<DWORD>(STATUS_BUFFER_TOO_SMALL), queries[0].dwError);
}

TEST_F(RegistrationTest, NullNameIsLoggedAsEmpty)
{
    ASSERT_NT(STATUS_INVALID_PARAMETER, BCryptRegisterProvider(nullptr, CRYPT_OVERWRITE, nullptr));
    const std::vector<QVN_CALL_RECORD> registers = CallsOf("BCryptRegisterProvider");
    ASSERT_EQ(1u, registers.size());
    EXPECT_EQ(u"", std::u16string(registers[0].szProvider));
    EXPECT_EQ(static_cast<DWORD>(CRYPT_OVERWRITE), registers[0].dwFlags);
    EXPECT_EQ(static_cast<DWORD>(STATUS_INVALID_PARAMETER), registers[0].dwError);
}

TEST_F(RegistrationTest, LastErrorValueIsLeftAlone)
{
    SetLastError(0x1234ABCD);
    Register(kSample, 0, SampleProvider());                // success
    Register(kSample, 0, SampleProvider());                // collision
    BCryptRegisterProvider(kSample, 0, nullptr);           // invalid
    IsRegistered(kSample);                                 // query and free
    BCryptUnregisterProvider(kSample);                     // success
    BCryptUnregisterProvider(kSample);                     // not found
    QvnPlatformFailCall("BCryptUnregisterProvider", 1, 5); // injected
    BCryptUnregisterProvider(kSample);
    EXPECT_EQ(0x1234ABCDu, GetLastError());
}

} // namespace
} // namespace bcrypt_test
