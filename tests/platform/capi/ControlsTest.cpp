// The test controls as CryptoAPI honours them: injected failures and the
// call log.
#include "CapiTestUtil.h"

#include <map>

using namespace capitest;

namespace
{

class ControlsTest : public ContainerTest
{
protected:
    void SetUp() override
    {
        ContainerTest::SetUp();
        SetUpContainer(CachedTestKey(1024));
        QvnPlatformClearCallLog();
    }

    // Creates and destroys a hash; the error of a failed create, or 0.
    DWORD CreateHash()
    {
        HCRYPTHASH hHash = 0x77;
        if (!CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &hHash)) {
            EXPECT_EQ(0x77u, hHash);
            return GetLastError();
        }
        CryptDestroyHash(hHash);
        return 0;
    }
};

// A logged call as text: the function and the fields that are set, handles by name.
std::string Describe(const QVN_CALL_RECORD &record, const std::map<ULONG_PTR, std::string> &handleNames)
{
    std::string str = record.szFunction;
    if (std::string(record.szFunction) == "CryptAcquireContextW") {
        str += " '" + Narrow(record.szProvider) + "' " +
               (record.fContainerNull ? std::string("null") : "'" + Narrow(record.szContainer) + "'");
    }
    auto field = [&str](const char *pszName, DWORD dwValue) {
        char sz[32];
        std::snprintf(sz, sizeof(sz), " %s=%x", pszName, static_cast<unsigned>(dwValue));
        str += dwValue != 0 ? sz : "";
    };
    field("type", record.dwProvType);
    field("flags", record.dwFlags);
    field("spec", record.dwKeySpec);
    field("alg", record.dwAlgId);
    field("param", record.dwParam);
    field("cb", record.cbData);
    field("buf", record.dwBufLen);
    const auto name = handleNames.find(record.hHandle);
    str += " " + (name != handleNames.end() ? name->second : std::to_string(record.hHandle));
    field(record.fSucceeded ? "ok" : "error", record.fSucceeded ? 1 : record.dwError);
    return str;
}

TEST_F(ControlsTest, InjectedFailureEndsTheNthCallWithoutEffect)
{
    Hash hash;
    ASSERT_TRUE(HashWithValue(&hash, m_prov, CALG_SHA1, Bytes(20, 1)));
    QvnPlatformFailCall("CryptSignHashW", 2, Code(NTE_FAIL));
    QvnPlatformFailCall("CryptSignHash", 1, Code(NTE_BAD_KEY)); // names are compared exactly
    QvnPlatformFailCall("cryptsignhashw", 1, Code(NTE_BAD_KEY));
    Bytes signature(128, 0xcc);
    DWORD cbSignature = 0;
    EXPECT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &cbSignature));
    EXPECT_FAILS(NTE_FAIL, CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature));
    EXPECT_EQ(Bytes(128, 0xcc), signature);
    EXPECT_EQ(128u, cbSignature);
    EXPECT_TRUE(CryptSignHashW(hash, AT_KEYEXCHANGE, nullptr, 0, signature.data(), &cbSignature)); // once only

    // An injected acquire creates nothing; an injected release keeps the context.
    const LONG cContexts = QvnPlatformLiveContexts();
    QvnPlatformFailCall("CryptAcquireContextW", 1, Code(NTE_PROVIDER_DLL_FAIL));
    HCRYPTPROV hProv = 0x11;
    EXPECT_FAILS(NTE_PROVIDER_DLL_FAIL, CryptAcquireContextW(&hProv, u"new", kAlderProvider, 1, CRYPT_NEWKEYSET));
    EXPECT_EQ(0x11u, hProv);
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
    EXPECT_FAILS(NTE_BAD_KEYSET, CryptAcquireContextW(&hProv, u"new", kAlderProvider, PROV_RSA_FULL, 0));
    ASSERT_TRUE(Acquire(&m_prov, u"container"));
    QvnPlatformFailCall("CryptReleaseContext", 1, Code(NTE_FAIL));
    EXPECT_FAILS(NTE_FAIL, CryptReleaseContext(m_prov, 0));
    EXPECT_EQ(cContexts, QvnPlatformLiveContexts());
}

TEST_F(ControlsTest, PendingInjectionsFireInOrderUntilClearedOrReset)
{
    QvnPlatformFailCall("CryptCreateHash", 1, 11);
    QvnPlatformFailCall("CryptCreateHash", 3, 33);
    QvnPlatformFailCall("CryptCreateHash", 5, 51); // two due on the same call: once, with the first error
    QvnPlatformFailCall("CryptCreateHash", 5, 52);
    QvnPlatformFailCall("CryptCreateHash", 0, 7); // the zeroth call and a null name are ignored
    QvnPlatformFailCall(nullptr, 1, 7);
    for (DWORD dwExpected : {11u, 0u, 33u, 0u, 51u, 0u}) {
        EXPECT_EQ(dwExpected, CreateHash());
    }
    QvnPlatformFailCall("CryptCreateHash", 1, 7);
    QvnPlatformClearFailures();
    EXPECT_EQ(0u, CreateHash());
    QvnPlatformFailCall("CryptCreateHash", 1, 7);
    QvnPlatformReset();
    EXPECT_EQ(0u, CreateHash());
}

TEST_F(ControlsTest, CallLogRecordsArgumentsAndOutcomesInOrder)
{
    HCRYPTPROV hProv = 0, hNull = 0, hEmpty = 0;
    HCRYPTKEY hKey = 0, hMissing = 0;
    HCRYPTHASH hHash = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, u"container", kAlderProvider, PROV_RSA_FULL, CRYPT_SILENT));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    EXPECT_FALSE(CryptGetUserKey(hProv, AT_SIGNATURE, &hMissing));
    QvnPlatformFailCall("CryptCreateHash", 1, Code(NTE_NO_MEMORY));
    EXPECT_FALSE(CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash));
    ASSERT_TRUE(CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &hHash));
    const Bytes value(32, 3);
    ASSERT_TRUE(CryptSetHashParam(hHash, HP_HASHVAL, value.data(), 0));
    Bytes signature(128), buffer(128);
    DWORD cbSignature = 128, cbData = 5;
    ASSERT_TRUE(CryptSignHashW(hHash, AT_KEYEXCHANGE, nullptr, CRYPT_NOHASHOID, signature.data(), &cbSignature));
    ASSERT_TRUE(CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, 128));
    ASSERT_TRUE(CryptDestroyHash(hHash));
    ASSERT_TRUE(CryptDestroyKey(hKey));
    ASSERT_TRUE(CryptReleaseContext(hProv, 0));
    ASSERT_TRUE(CryptAcquireContextW(&hNull, nullptr, kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    ASSERT_TRUE(CryptReleaseContext(hNull, 0));
    ASSERT_TRUE(CryptAcquireContextW(&hEmpty, u"", kCedarProvider, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));

    const std::string strAlder = "CryptAcquireContextW 'Quorvane Alder Cryptographic Provider' ";
    const std::string strCedar = "CryptAcquireContextW 'Quorvane Cedar Cryptographic Provider' ";
    const std::vector<std::string> expected = {
        strAlder + "'container' type=1 flags=40 prov ok=1",
        "CryptGetUserKey spec=1 prov ok=1",
        "CryptGetUserKey spec=2 prov error=8009000d",
        "CryptCreateHash alg=8003 prov error=8009000e",
        "CryptCreateHash alg=800c prov ok=1",
        "CryptSetHashParam param=2 cb=20 hash ok=1",
        "CryptSignHashW flags=1 spec=1 cb=80 hash ok=1",
        "CryptEncrypt cb=5 buf=80 key ok=1",
        "CryptDestroyHash hash ok=1",
        "CryptDestroyKey key ok=1",
        "CryptReleaseContext prov ok=1",
        strCedar + "null type=18 flags=f0000000 null ok=1", // a null container is told from an empty one
        "CryptReleaseContext null ok=1",
        strCedar + "'' type=18 flags=f0000000 empty ok=1",
    };
    ASSERT_EQ(expected.size(), QvnPlatformGetCallCount());
    QVN_CALL_RECORD record;
    for (DWORD i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(QvnPlatformGetCall(i, &record));
        EXPECT_EQ(
            expected[i],
            Describe(record, {{hProv, "prov"}, {hKey, "key"}, {hHash, "hash"}, {hNull, "null"}, {hEmpty, "empty"}}))
            << i;
    }
    EXPECT_EQ(2u, QvnPlatformCountCalls("CryptGetUserKey"));
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptSignHash"));
    EXPECT_EQ(0u, QvnPlatformCountCalls(nullptr));

    // Reading past the end fails and leaves the record alone; clearing and resetting empty the log.
    EXPECT_FALSE(QvnPlatformGetCall(14, &record));
    EXPECT_STREQ("CryptAcquireContextW", record.szFunction);
    EXPECT_FALSE(QvnPlatformGetCall(0, nullptr));
    QvnPlatformClearCallLog();
    EXPECT_EQ(0u, QvnPlatformCountCalls("CryptGetUserKey"));
    ASSERT_TRUE(CryptReleaseContext(hEmpty, 0));
    EXPECT_EQ(1u, QvnPlatformGetCallCount());
    QvnPlatformReset();
    EXPECT_EQ(0u, QvnPlatformGetCallCount());
    EXPECT_FALSE(QvnPlatformGetCall(0, &record));
}

} // namespace
