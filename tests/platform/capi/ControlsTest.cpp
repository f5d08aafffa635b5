// The test controls as CryptoAPI honours them: injected failures and the
// call log.
#include "CapiTestUtil.h"

#include <cwchar>

using namespace capitest;
using qvntest::CachedTestKey;

namespace
{

const WCHAR kContainer[] = u"controls container";

class ControlsTest : public qvntest::StoreTest
{
protected:
    void SetUp() override
    {
        qvntest::StoreTest::SetUp();
        ASSERT_TRUE(
            qvntest::CreateContainerWithKey(qvntest::kAlderProvider, kContainer, AT_KEYEXCHANGE, CachedTestKey(1024)));
        QvnPlatformClearCallLog();
    }

    QVN_CALL_RECORD Call(DWORD dwIndex)
    {
        QVN_CALL_RECORD record;
        std::memset(&record, 0, sizeof(record));
        EXPECT_TRUE(QvnPlatformGetCall(dwIndex, &record));
        return record;
    }
};

TEST_F(ControlsTest, InjectedFailureEndsTheCallWithoutEffect)
{
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, prov, CALG_SHA1, Bytes(20, 1)));
    QvnPlatformFailCall("CryptSignHashW", 1, Code(NTE_FAIL));

    Bytes signature(128, 0xcc);
    DWORD cbSignature = 128;
    EXPECT_FALSE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature));
    EXPECT_EQ(Code(NTE_FAIL), GetLastError());
    EXPECT_EQ(Bytes(128, 0xcc), signature);
    EXPECT_EQ(128u, cbSignature);
    // Once only.
    EXPECT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature));
}

TEST_F(ControlsTest, InjectedFailureCountsCallsOfThatFunction)
{
    QvnPlatformFailCall("CryptGetUserKey", 2, Code(NTE_BAD_KEYSET));
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    Key first, second, third;
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, first.Out()));
    EXPECT_FALSE(CryptGetUserKey(prov, AT_KEYEXCHANGE, second.Out()));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), GetLastError());
    EXPECT_TRUE(CryptGetUserKey(prov, AT_KEYEXCHANGE, third.Out()));
}

TEST_F(ControlsTest, InjectedAcquireFailureCreatesNothing)
{
    const LONG cContexts = QvnPlatformLiveContexts();
    QvnPlatformFailCall("CryptAcquireContextW", 1, Code(NTE_PROVIDER_DLL_FAIL));
    HCRYPTPROV hProv = 0x11;
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"new one", qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_NEWKEYSET));
    EXPECT_EQ(Code(NTE_PROVIDER_DLL_FAIL), GetLastError());
    EXPECT_EQ(0x11u, hProv);
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
    EXPECT_FALSE(CryptAcquireContextW(&hProv, u"new one", qvntest::kAlderProvider, PROV_RSA_FULL, 0));
    EXPECT_EQ(Code(NTE_BAD_KEYSET), GetLastError());
}

TEST_F(ControlsTest, InjectedReleaseKeepsTheContext)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, 0));
    QvnPlatformFailCall("CryptReleaseContext", 1, Code(NTE_FAIL));
    EXPECT_FALSE(CryptReleaseContext(hProv, 0));
    EXPECT_TRUE(CryptReleaseContext(hProv, 0));
}

TEST_F(ControlsTest, CallLogRecordsArgumentsAndOutcomes)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, kContainer, qvntest::kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT));
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    HCRYPTKEY hMissing = 0;
    EXPECT_FALSE(CryptGetUserKey(hProv, AT_SIGNATURE, &hMissing));
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash));
    const Bytes value(32, 3);
    ASSERT_TRUE(CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0));
    Bytes signature(128);
    DWORD cbSignature = 128;
    ASSERT_TRUE(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, CRYPT_NOHASHOID, signature.data(), &cbSignature));
    Bytes buffer(128);
    DWORD cbData = 5;
    ASSERT_TRUE(CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, 128));
    ASSERT_TRUE(CryptDestroyHash(hHash));
    ASSERT_TRUE(CryptDestroyKey(hKey));
    ASSERT_TRUE(CryptReleaseContext(hProv, 0));

    ASSERT_EQ(10u, QvnPlatformGetCallCount());
    const QVN_CALL_RECORD acquire = Call(0);
    EXPECT_STREQ("CryptAcquireContextW", acquire.szFunction);
    EXPECT_EQ(WString(qvntest::kAlderProvider), WString(acquire.szProvider));
    EXPECT_EQ(WString(kContainer), WString(acquire.szContainer));
    EXPECT_FALSE(acquire.fContainerNull);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), acquire.dwProvType);
    EXPECT_EQ(CRYPT_SILENT, acquire.dwFlags);
    EXPECT_TRUE(acquire.fSucceeded);
    EXPECT_EQ(hProv, acquire.hHandle);

    const QVN_CALL_RECORD userKey = Call(1);
    EXPECT_STREQ("CryptGetUserKey", userKey.szFunction);
    EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), userKey.dwKeySpec);
    EXPECT_EQ(hProv, userKey.hHandle);
    const QVN_CALL_RECORD missing = Call(2);
    EXPECT_FALSE(missing.fSucceeded);
    EXPECT_EQ(Code(NTE_NO_KEY), missing.dwError);
    EXPECT_EQ(static_cast<DWORD>(AT_SIGNATURE), missing.dwKeySpec);

    const QVN_CALL_RECORD create = Call(3);
    EXPECT_STREQ("CryptCreateHash", create.szFunction);
    EXPECT_EQ(static_cast<DWORD>(CALG_SHA_256), create.dwAlgId);
    const QVN_CALL_RECORD set = Call(4);
    EXPECT_STREQ("CryptSetHashParam", set.szFunction);
    EXPECT_EQ(static_cast<DWORD>(HP_HASHVAL), set.dwParam);
    EXPECT_EQ(32u, set.cbData);
    EXPECT_EQ(hHash, set.hHandle);
    const QVN_CALL_RECORD sign = Call(5);
    EXPECT_STREQ("CryptSignHashW", sign.szFunction);
    EXPECT_EQ(CRYPT_NOHASHOID, sign.dwFlags);
    EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), sign.dwKeySpec);
    EXPECT_EQ(128u, sign.cbData);
    const QVN_CALL_RECORD encrypt = Call(6);
    EXPECT_STREQ("CryptEncrypt", encrypt.szFunction);
    EXPECT_EQ(5u, encrypt.cbData);
    EXPECT_EQ(128u, encrypt.dwBufLen);
    EXPECT_EQ(hKey, encrypt.hHandle);
    EXPECT_STREQ("CryptDestroyHash", Call(7).szFunction);
    EXPECT_STREQ("CryptDestroyKey", Call(8).szFunction);
    EXPECT_STREQ("CryptReleaseContext", Call(9).szFunction);
    EXPECT_EQ(1u, QvnPlatformCountCalls("CryptSignHashW"));
    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptGetUserKey"));
}

TEST_F(ControlsTest, CallLogTellsNullContainerFromEmptyOne)
{
    HCRYPTPROV hProv = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, nullptr, qvntest::kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    CryptReleaseContext(hProv, 0);
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"", qvntest::kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    CryptReleaseContext(hProv, 0);
    const QVN_CALL_RECORD first = Call(0);
    const QVN_CALL_RECORD second = Call(2);
    EXPECT_TRUE(first.fContainerNull);
    EXPECT_FALSE(second.fContainerNull);
    EXPECT_EQ(0, second.szContainer[0]);
    EXPECT_EQ(static_cast<DWORD>(PROV_RSA_AES), first.dwProvType);
    EXPECT_EQ(CRYPT_VERIFYCONTEXT, first.dwFlags);
}

TEST_F(ControlsTest, InjectedFailureIsLogged)
{
    QvnPlatformFailCall("CryptCreateHash", 1, Code(NTE_NO_MEMORY));
    Prov prov;
    ASSERT_TRUE(Acquire(&prov, kContainer));
    HCRYPTHASH hHash = 0;
    EXPECT_FALSE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hHash));
    ASSERT_EQ(2u, QvnPlatformGetCallCount());
    const QVN_CALL_RECORD record = Call(1);
    EXPECT_STREQ("CryptCreateHash", record.szFunction);
    EXPECT_FALSE(record.fSucceeded);
    EXPECT_EQ(Code(NTE_NO_MEMORY), record.dwError);
    EXPECT_EQ(static_cast<DWORD>(CALG_MD5), record.dwAlgId);
}

} // namespace
