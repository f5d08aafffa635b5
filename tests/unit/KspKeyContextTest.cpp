// What the CAPI objects keep to themselves and the table cannot show: the open
// flags a key records, the reports of opening an open object, and what each
// operation costs in CryptoAPI calls and module allocations.
#include "UnitTestSupport.h"

#include "capi/KspCAPIKeyContext.h"
#include "capi/KspCAPIProviderContext.h"
#include "ksp/KspInterface.h"

#include <functional>

namespace unit
{
namespace
{

constexpr LPCWSTR kContainer = TEXT("unit key");

class KspKeyContext : public ModuleTest
{
protected:
    static void MakeContainer(DWORD dwBits, DWORD dwAcquireFlags = 0)
    {
        ASSERT_TRUE(qvntest::CreateContainerWithKey(kAlder, kContainer, AT_KEYEXCHANGE, qvntest::CachedTestKey(dwBits),
                                                    dwAcquireFlags));
    }
};

TEST_F(KspKeyContext, OpenRecordsTheMachineAndSilentFlagsOnlyWhenItAcceptsThem)
{
    MakeContainer(1024);
    MakeContainer(1024, CRYPT_MACHINE_KEYSET);
    for (DWORD dwFlags : {0x00u, 0x20u, 0x40u, 0x60u, 0x61u}) {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        const bool fAccepted = dwFlags != 0x61; // an unknown flag refuses them all
        EXPECT_STATUS(fAccepted ? 0 : NTE_BAD_FLAGS,
                      StatusOf([&] { key.Open(dwFlags, KSP_WSTRING(kAlder), PROV_RSA_FULL); }));
        EXPECT_EQ(fAccepted && (dwFlags & NCRYPT_MACHINE_KEY_FLAG) != 0, key.IsMachineKey()) << dwFlags;
        EXPECT_EQ(fAccepted && (dwFlags & NCRYPT_SILENT_FLAG) != 0, key.IsSilent()) << dwFlags;
    }
}

TEST_F(KspKeyContext, OpeningWhatIsOpenIsReportedWithTheConditionAndTheUnit)
{
    MakeContainer(1024);
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
    CKspCapiProviderContext provider{KSP_WSTRING(kAlder)};
    const auto OpenKey = [&] { key.Open(0, KSP_WSTRING(kAlder), PROV_RSA_FULL); };
    const struct {
        std::function<void()> fnOpen;
        const char *pszFirstFailing; // in the first open: a key holding a context and no key pair
        std::u16string strReport;
    } rgCases[] = {{OpenKey, "CryptGetUserKey", u"KspCAPIKeyContext: m_hCapiProvider == NULL"},
                   {OpenKey, nullptr, u"KspCAPIKeyContext: m_hCapiKey == NULL"},
                   {[&] { provider.Open(0); }, nullptr, u"KspCAPIProviderContext: m_hCapiProvider == NULL"}};
    for (const auto &c : rgCases) {
        QvnPlatformFailCall(c.pszFirstFailing, 1, static_cast<DWORD>(NTE_FAIL));
        EXPECT_STATUS(c.pszFirstFailing ? NTE_FAIL : 0, StatusOf(c.fnOpen));
        const HCRYPTPROV hHeld = LastCallHandle(); // the context acquired, or the one asked for the key
        // The second open fails to acquire: the report is all that is left of it.
        QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_FAIL));
        EXPECT_STATUS(NTE_FAIL, StatusOf(c.fnOpen));
        EXPECT_EQ(c.strReport, LastAssertion());
        EXPECT_TRUE(CryptReleaseContext(hHeld, 0));
    }
    EXPECT_EQ(4u, QvnPlatformAssertCount()) << "the open key reported its context too";
}

// Through the entries: exactly these CryptoAPI calls and one working buffer
// at most, wiped when it held plaintext.
TEST_F(KspKeyContext, EachOperationCostsExactlyItsCallsAndOneBufferAtMost)
{
    MakeContainer(2048);
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    BCRYPT_PKCS1_PADDING_INFO sha512{TEXT("SHA512")};
    qvntest::Bytes hash = qvntest::PatternBytes(64, 1), plain = qvntest::PatternBytes(100, 9), signature(256),
                   ciphertext(256), output(245);
    DWORD cbResult = 0;
    const std::string strHash = "CryptGetKeyParam CryptCreateHash CryptGetHashParam CryptSetHashParam ";
    const struct {
        std::string strCalls;
        DWORD cbResult;
        std::string strMemory;
        std::function<SECURITY_STATUS()> fnEntry;
    } rgCases[] = {
        {strHash + "CryptSignHashW CryptDestroyHash", 256, "0 mallocs",
         [&] { return KspSignHash(hProvider, hKey, &sha512, hash.data(), 64, signature.data(), 256, &cbResult, 2); }},
        {strHash + "CryptVerifySignatureW CryptDestroyHash", 0, "1 mallocs, freed 256",
         [&] { return KspVerifySignature(hProvider, hKey, &sha512, hash.data(), 64, signature.data(), 256, 2); }},
        {"CryptGetKeyParam CryptGetKeyParam CryptGetKeyParam CryptEncrypt", 256, "1 mallocs, freed 256",
         [&] { return KspEncrypt(hProvider, hKey, plain.data(), 100, nullptr, ciphertext.data(), 256, &cbResult, 2); }},
        {"CryptGetKeyParam CryptGetKeyParam CryptDecrypt", 100, "1 mallocs, freed 256 zeroed",
         [&] {
             return KspDecrypt(hProvider, hKey, ciphertext.data(), 256, nullptr, output.data(), 245, &cbResult, 2);
         }},
    };
    for (size_t i = 0; i < std::size(rgCases); ++i) {
        SCOPED_TRACE(i);
        SECURITY_STATUS status = NTE_INTERNAL_ERROR;
        cbResult = 0;
        QvnPlatformClearCallLog();
        EXPECT_EQ(rgCases[i].strMemory, ModuleMemoryOf([&] { status = rgCases[i].fnEntry(); }));
        ASSERT_STATUS(0, status);
        EXPECT_EQ(rgCases[i].cbResult, cbResult);
        EXPECT_EQ(rgCases[i].strCalls, CallLog());
    }
    EXPECT_EQ(plain, qvntest::Bytes(output.begin(), output.begin() + 100));
}

} // namespace
} // namespace unit
