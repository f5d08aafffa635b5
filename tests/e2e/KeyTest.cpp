// Keys: each CSP's container under each key spec, judged both ways; OpenKey's
// refusals; and the handle rules: freed, foreign, neighbouring and made-up
// values are refused with NTE_INVALID_HANDLE, nothing written (under
// AddressSanitizer a dereference of any of them would end the run).
#include "E2E.h"

#include <set>

namespace e2e
{
namespace
{

TEST_F(KspTest, EveryCspsKeysSignAndEncryptAsTheJudgeDoes)
{
    const Bytes hash = Pattern(32, 0x21), hash384 = Pattern(48, 0x22), otherHash = Pattern(48, 0x23);
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")}, sha384 = {TEXT("SHA384")};
    for (size_t iCsp = 0; iCsp < 4; ++iCsp) {
        const NCRYPT_PROV_HANDLE hProvider = Open(kCsps[iCsp].pszName);
        for (DWORD dwKeySpec : Dwords{DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
            SCOPED_TRACE(std::string(kCsps[iCsp].pszTag) + " key spec " + std::to_string(dwKeySpec));
            const KeyPair &pair = Keys().Main(iCsp, dwKeySpec);
            const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN, dwKeySpec, iCsp % 2 * NCRYPT_SILENT_FLAG);
            Out signature = Sign("sign", hProvider, hKey, &sha256, hash, pair.cb);
            EXPECT_EQ(0, signature.status);
            EXPECT_EQ(pair.cb, signature.cb);
            EXPECT_EQ(Hex(pair.pJudge->Sign(TEXT("SHA256"), hash)), Hex(signature.bytes));
            EXPECT_EQ(0, Verify("verify", hProvider, hKey, &sha256, hash, signature.bytes));
            signature.bytes[pair.cb / 2] ^= 0x01;
            EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("verify-flipped", hProvider, hKey, &sha256, hash, signature.bytes));
            EXPECT_EQ(0,
                      Verify("judges", hProvider, hKey, &sha384, hash384, pair.pJudge->Sign(TEXT("SHA384"), hash384)));
            EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("judges-other-hash", hProvider, hKey, &sha384, hash384,
                                                pair.pJudge->Sign(TEXT("SHA384"), otherHash)));
            if (dwKeySpec == AT_KEYEXCHANGE) {
                const Bytes plaintext = Pattern(37, static_cast<BYTE>(0x60 + iCsp));
                const Out first = Crypt(true, "encrypt", hProvider, hKey, plaintext, kExchangeBytes);
                const Out second = Crypt(true, "encrypt", hProvider, hKey, plaintext, kExchangeBytes);
                EXPECT_EQ(kExchangeBytes, first.cb);
                EXPECT_NE(first.bytes, second.bytes) << "PKCS #1 v1.5 encryption pads with fresh random bytes";
                EXPECT_EQ(plaintext, pair.pJudge->Decrypt(first.bytes).value_or(Bytes())) << Hex(first.bytes);
                EXPECT_EQ(plaintext, pair.pJudge->Decrypt(second.bytes).value_or(Bytes())) << Hex(second.bytes);
                Out back = Crypt(false, "decrypt", hProvider, hKey, pair.pJudge->Encrypt(plaintext), kMaxPlaintext);
                back.bytes.resize(back.cb == 0xDEAD ? 0 : back.cb);
                EXPECT_EQ(plaintext, back.bytes);
            }
            EXPECT_EQ(0, KSP(FreeKey, "free", hProvider, hKey));
        }
        EXPECT_EQ(0, KSP(FreeProvider, "free", hProvider));
    }
}

class OpenKeyTest : public KspTest
{
protected:
    // Opens a key expecting a refusal; the out-parameter must stay as it was.
    void ExpectRefused(SECURITY_STATUS expected, const char *l, NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszName,
                       DWORD dwKeySpec = AT_KEYEXCHANGE, DWORD dwFlags = 0)
    {
        NCRYPT_KEY_HANDLE hKey = 0xBADC0DE;
        EXPECT_EQ(expected, KSP(OpenKey, l, hProvider, &hKey, pszName, dwKeySpec, dwFlags)) << l;
        EXPECT_EQ(0xBADC0DEu, hKey) << l;
    }
};

TEST_F(OpenKeyTest, OpenKeyRefusalsLeaveTheOutParameter)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME), hKsp = Open(E2E_KSP_NAME);
    ExpectRefused(NTE_INVALID_HANDLE, "unknown-provider", 0x1234, E2E_MAIN);
    ExpectRefused(NTE_INVALID_HANDLE, "next-to-provider", hAlder + 1, E2E_MAIN);
    ExpectRefused(NTE_NOT_SUPPORTED, "ksp", hKsp, E2E_MAIN);
    ExpectRefused(NTE_NOT_SUPPORTED, "ksp-bad-key-spec-and-flags", hKsp, nullptr, 7, 0xFFFF);
    ExpectRefused(NTE_INVALID_PARAMETER, "key-spec-3", hAlder, E2E_MAIN, 3);
    ExpectRefused(NTE_INVALID_PARAMETER, "null-name", hAlder, nullptr);
    for (DWORD dwFlags : Dwords{0x1, 0x61, 0x80000000}) {
        ExpectRefused(NTE_BAD_FLAGS, "flags", hAlder, E2E_MAIN, AT_KEYEXCHANGE, dwFlags);
    }
    ExpectRefused(NTE_BAD_KEYSET, "missing", hAlder, E2E_MISSING);
    ExpectRefused(NTE_BAD_KEYSET, "empty", hAlder, E2E_EMPTY);
    ExpectRefused(NTE_BAD_KEYSET, "signature-only-exchange", hAlder, E2E_SIGNATURE_ONLY);
    ExpectRefused(NTE_BAD_KEYSET, "machine-container-as-user", hAlder, E2E_MACHINE);
    ExpectRefused(NTE_BAD_KEYSET, "user-as-machine", hAlder, E2E_MAIN, AT_KEYEXCHANGE, NCRYPT_MACHINE_KEY_FLAG);
    ExpectRefused(NTE_UI_REQUIRED, "prompt-silent", hAlder, E2E_PROMPT, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG);
    for (NCRYPT_PROV_HANDLE hProvider : {hAlder, NCRYPT_PROV_HANDLE(0x1234)}) { // before the provider is looked up
        EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(OpenKey, "null-out", hProvider, nullptr, E2E_MAIN, AT_KEYEXCHANGE, 0));
    }
    // What they refused opens with the right arguments: the machine key set
    // (silently too), the signature pair alone, the prompt when not silent.
    const Bytes hash = Pattern(20, 0x51);
    BCRYPT_PKCS1_PADDING_INFO sha1 = {TEXT("SHA1")};
    for (DWORD dwFlags : Dwords{NCRYPT_MACHINE_KEY_FLAG, NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG}) {
        const NCRYPT_KEY_HANDLE hKey = OpenKey(hAlder, E2E_MACHINE, AT_KEYEXCHANGE, dwFlags);
        EXPECT_EQ(Hex(Keys().machine.pJudge->Sign(TEXT("SHA1"), hash)),
                  Hex(Sign("machine", hAlder, hKey, &sha1, hash, kSignatureBytes).bytes));
    }
    OpenKey(hAlder, E2E_SIGNATURE_ONLY, AT_SIGNATURE);
    OpenKey(hAlder, E2E_PROMPT, AT_KEYEXCHANGE);
}

// CryptoAPI would take 0 as "the exchange pair"; the bridge makes the caller
// name the pair, whatever the container holds.
TEST_F(OpenKeyTest, OpenKeyRefusesLegacyKeySpecZero)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME);
    for (LPCWSTR pszName : {E2E_MAIN, E2E_SIGNATURE_ONLY, static_cast<LPCWSTR>(nullptr)}) {
        ExpectRefused(NTE_INVALID_PARAMETER, "key-spec-0", hAlder, pszName, 0);
    }
}

class HandleTest : public AlderTest
{
protected:
    // Every entry that takes a key handle refuses the pair and writes nothing.
    void ExpectKeyEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        const char *l = strLabel.c_str();
        const Bytes hash = Pattern(32, 0x81);
        BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
        for (const Out &out : {Sign(l, hProvider, hKey, &padding, hash, kExchangeBytes),
                               Crypt(true, l, hProvider, hKey, Pattern(16, 0x82), kExchangeBytes),
                               Crypt(false, l, hProvider, hKey, Pattern(kExchangeBytes, 0x83), kExchangeBytes)}) {
            EXPECT_EQ(NTE_INVALID_HANDLE, out.status) << l;
            EXPECT_EQ(0xDEADu, out.cb) << l;
            EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << l;
        }
        EXPECT_EQ(NTE_INVALID_HANDLE, Verify(l, hProvider, hKey, &padding, hash, Pattern(kExchangeBytes, 0x84))) << l;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, l, hProvider, hKey)) << l;
    }
    // Every entry that takes a provider handle refuses it and writes nothing.
    void ExpectProviderEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider)
    {
        const char *l = strLabel.c_str();
        NCRYPT_KEY_HANDLE hKey = 0x5EED;
        DWORD dwOutput = 0xCCCCCCCC, cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(OpenKey, l, hProvider, &hKey, E2E_MAIN, AT_KEYEXCHANGE, 0)) << l;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(GetProviderProperty, l, hProvider, NCRYPT_VERSION_PROPERTY,
                                          reinterpret_cast<PBYTE>(&dwOutput), 4, Size{&cbResult}, 0));
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(EnumAlgorithms, l, hProvider, 0, Size{&cbResult}, nullptr, 0)) << l;
        EXPECT_TRUE(hKey == 0x5EED && cbResult == 0xDEAD && dwOutput == 0xCCCCCCCC)
            << l << ": an out-parameter written";
        ExpectKeyEntriesRefuse(strLabel + "-key-0", hProvider, 0);
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, l, hProvider)) << l;
    }
};

// Freed, foreign, neighbouring and made-up values: every entry that takes the
// handle refuses it and writes nothing; the keys around them still work.
TEST_F(HandleTest, KeyHandleIsValidOnlyWithItsProviderAndFreedOrMadeUpHandlesAreRefused)
{
    const NCRYPT_PROV_HANDLE hP = m_hProvider, hOther = Open(E2E_ALDER_NAME), hBirch = Open(E2E_BIRCH_NAME);
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME), hFreedKsp = Open(E2E_KSP_NAME), hFreed = Open(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE hK = m_hExchange, hOtherKey = OpenKey(hOther, E2E_MAIN, AT_KEYEXCHANGE); // same container
    const NCRYPT_KEY_HANDLE hFreedKey = OpenKey(hP, E2E_MAIN, AT_KEYEXCHANGE), hGone = OpenKey(hFreed, E2E_MAIN, 2);
    EXPECT_EQ(0, KSP(FreeKey, "freed", hP, hFreedKey));
    EXPECT_EQ(0, KSP(FreeProvider, "freed", hFreed)); // with its key
    EXPECT_EQ(0, KSP(FreeProvider, "freed", hFreedKsp));
    const ULONG_PTR kMadeUp = 0x2545F491, kAllOnes = ~ULONG_PTR(0);
    ExpectKeyEntriesRefuse("other-alder-provider", hOther, hK);
    ExpectKeyEntriesRefuse("birch-provider", hBirch, hK);
    ExpectKeyEntriesRefuse("ksp-provider", hKsp, hK);
    ExpectKeyEntriesRefuse("key-of-other-provider", hP, hOtherKey);
    ExpectKeyEntriesRefuse("freed-key", hP, hFreedKey);
    ExpectKeyEntriesRefuse("key-of-freed-provider", hFreed, hGone);
    for (ULONG_PTR hMadeUp : {ULONG_PTR(0), kAllOnes, kMadeUp, hK + 8, hK - 1, hP}) {
        ExpectKeyEntriesRefuse("made-up-key", hP, hMadeUp);
    }
    ExpectProviderEntriesRefuse("freed-csp-provider", hFreed);
    ExpectProviderEntriesRefuse("freed-ksp-provider", hFreedKsp);
    for (ULONG_PTR hMadeUp : {ULONG_PTR(0), kAllOnes, kMadeUp, hP + 8, hK}) {
        ExpectProviderEntriesRefuse("made-up-provider", hMadeUp);
    }
    for (const auto &key :
         {std::make_pair(hP, hK), std::make_pair(hP, m_hSignature), std::make_pair(hOther, hOtherKey)}) {
        EXPECT_EQ(0, Sign("alive", key.first, key.second, nullptr, Pattern(20, 0x85), kExchangeBytes).status);
    }
}

// A handle is the object's address, so once freed its value may be handed
// out again for a later object, and then it names that object: a caller that
// kept the freed value frees someone else's provider. (A sanitizer's
// allocator holds freed memory back, so there the value does not come back.)
TEST_F(KspTest, FreedHandleValueCanComeBackForTheNextObject)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not hand freed memory out again soon";
#endif
    std::set<NCRYPT_PROV_HANDLE> freed; // opened and freed in turn, unrecorded: the count may differ
    NCRYPT_PROV_HANDLE hProvider = 0;
    for (int i = 0; i < 256 && freed.count(hProvider) == 0; ++i) {
        if (hProvider != 0) {
            ASSERT_EQ(0, m_pTable->FreeProvider(hProvider));
            freed.insert(hProvider);
        }
        ASSERT_EQ(0, m_pTable->OpenProvider(&hProvider, E2E_KSP_NAME, 0));
    }
    ASSERT_EQ(1u, freed.count(hProvider)) << "no provider got a freed value among " << freed.size() + 1;
    EXPECT_EQ(0, KSP(FreeProvider, "stale", hProvider));
    EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, "newer", hProvider)) << "the stale value freed the newer provider";
}

} // namespace
} // namespace e2e
