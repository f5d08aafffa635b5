// What the CAPI objects keep to themselves and the table cannot show: the CNG
// open flags a key records, the reports of opening an object that is open,
// and what each operation through the entries costs in CryptoAPI calls and
// module allocations.
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
typedef std::vector<std::string> NAMES;

class KspKeyContext : public ModuleTest
{
protected:
    static void MakeContainer(DWORD dwBits, DWORD dwAcquireFlags = 0)
    {
        ASSERT_TRUE(qvntest::CreateContainerWithKey(kAlder, kContainer, AT_KEYEXCHANGE, qvntest::CachedTestKey(dwBits),
                                                    dwAcquireFlags));
    }
    static LONG Open(CKspCapiKeyContext &key, DWORD dwFlags)
    {
        return StatusOf([&] { key.Open(dwFlags, KSP_WSTRING(kAlder), PROV_RSA_FULL); });
    }
};

TEST_F(KspKeyContext, OpenRecordsTheMachineAndSilentFlagsOnlyWhenItAcceptsThem)
{
    MakeContainer(1024);
    MakeContainer(1024, CRYPT_MACHINE_KEYSET);
    const struct {
        DWORD dwFlags;
        LONG lStatus;
        bool fMachine, fSilent;
    } rgCases[] = {{0, 0, false, false},
                   {NCRYPT_MACHINE_KEY_FLAG, 0, true, false},
                   {NCRYPT_SILENT_FLAG, 0, false, true},
                   {NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG, 0, true, true},
                   {NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG | 1, NTE_BAD_FLAGS, false, false}};
    for (const auto &c : rgCases) {
        CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
        EXPECT_STATUS(c.lStatus, Open(key, c.dwFlags)) << c.dwFlags;
        EXPECT_EQ(c.fMachine, key.IsMachineKey()) << c.dwFlags;
        EXPECT_EQ(c.fSilent, key.IsSilent()) << c.dwFlags;
    }
}

TEST_F(KspKeyContext, OpeningWhatIsOpenIsReportedWithTheConditionAndTheUnit)
{
    MakeContainer(1024);
    QvnPlatformSetAssertMode(QVN_ASSERT_RECORD);
    // The second open fails to acquire and the reports are all that is left of
    // it; the context that the object held is given back here.
    CKspCapiKeyContext key(KSP_WSTRING(kContainer), AT_KEYEXCHANGE);
    CKspCapiProviderContext provider{KSP_WSTRING(kAlder)};
    const std::function<void()> rgOpen[] = {[&] { key.Open(0, KSP_WSTRING(kAlder), PROV_RSA_FULL); },
                                            [&] { provider.Open(0); }};
    for (const auto &fnOpen : rgOpen) {
        ASSERT_STATUS(0, StatusOf(fnOpen));
        const HCRYPTPROV hHeld = CallsOf("CryptAcquireContextW").back().hHandle;
        QvnPlatformFailCall("CryptAcquireContextW", 1, static_cast<DWORD>(NTE_FAIL));
        EXPECT_STATUS(NTE_FAIL, StatusOf(fnOpen));
        EXPECT_TRUE(CryptReleaseContext(hHeld, 0));
    }
    EXPECT_EQ(3u, QvnPlatformAssertCount()) << "the key reports its context and its key pair";
    EXPECT_EQ(u"KspCAPIProviderContext: m_hCapiProvider == NULL", LastAssertion());
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
    Bytes hash = qvntest::PatternBytes(64, 1), plain = qvntest::PatternBytes(100, 9), signature(256), ciphertext(256),
          output(245);
    DWORD cbResult = 0;
    const NAMES kHashCalls = {"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptSetHashParam"};
    NAMES signCalls = kHashCalls, verifyCalls = kHashCalls;
    signCalls.insert(signCalls.end(), {"CryptSignHashW", "CryptDestroyHash"});
    verifyCalls.insert(verifyCalls.end(), {"CryptVerifySignatureW", "CryptDestroyHash"});
    const struct {
        std::function<SECURITY_STATUS()> fnEntry;
        DWORD cbResult;
        std::vector<std::pair<SIZE_T, bool>> frees;
        NAMES calls;
    } rgCases[] = {
        {[&] { return KspSignHash(hProvider, hKey, &sha512, hash.data(), 64, signature.data(), 256, &cbResult, 2); },
         256,
         {},
         signCalls},
        {[&] { return KspVerifySignature(hProvider, hKey, &sha512, hash.data(), 64, signature.data(), 256, 2); },
         0,
         {{256, false}},
         verifyCalls},
        {[&] { return KspEncrypt(hProvider, hKey, plain.data(), 100, nullptr, ciphertext.data(), 256, &cbResult, 2); },
         256,
         {{256, false}},
         {"CryptGetKeyParam", "CryptGetKeyParam", "CryptGetKeyParam", "CryptEncrypt"}},
        {[&] { return KspDecrypt(hProvider, hKey, ciphertext.data(), 256, nullptr, output.data(), 245, &cbResult, 2); },
         100,
         {{256, true}},
         {"CryptGetKeyParam", "CryptGetKeyParam", "CryptDecrypt"}},
    };
    for (size_t i = 0; i < std::size(rgCases); ++i) {
        SCOPED_TRACE(i);
        SECURITY_STATUS status = NTE_INTERNAL_ERROR;
        cbResult = 0;
        QvnPlatformClearCallLog();
        const Footprint footprint = MeasureModuleMemory([&] { status = rgCases[i].fnEntry(); });
        ASSERT_STATUS(0, status);
        EXPECT_EQ(rgCases[i].cbResult, cbResult);
        EXPECT_EQ(rgCases[i].frees.size(), footprint.cMallocs);
        EXPECT_EQ(rgCases[i].frees, footprint.frees);
        ASSERT_EQ(rgCases[i].calls, CallNames());
    }
    EXPECT_EQ(plain, Bytes(output.begin(), output.begin() + 100));
}

} // namespace
} // namespace unit
