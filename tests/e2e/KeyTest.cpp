// Keys: the container of each CSP under each key spec, judged both ways; the
// refusals of OpenKey; and the handle rules: a handle is only ever looked up,
// so freed, foreign, neighbouring and made-up values are all refused with
// NTE_INVALID_HANDLE and nothing is written (under AddressSanitizer a
// dereference of any of them would end the run).
#include "E2E.h"

namespace e2e
{
namespace
{

TEST_F(KspTest, EveryCspsKeysSignAndEncryptAsTheJudgeDoes)
{
    const Bytes hash = Pattern(32, 0x21), hash384 = Pattern(48, 0x22);
    Bytes otherHash = hash384;
    otherHash[0] ^= 0x01;
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

// Opens a key expecting a refusal; the out-parameter must stay as it was.
#define EXPECT_OPEN_KEY_REFUSED(expected, l, hProvider, pszName, dwKeySpec, dwFlags)                                   \
    do {                                                                                                               \
        NCRYPT_KEY_HANDLE hKey = 0xBADC0DE;                                                                            \
        EXPECT_EQ(expected, KSP(OpenKey, l, hProvider, &hKey, pszName, dwKeySpec, dwFlags)) << l;                      \
        EXPECT_EQ(0xBADC0DEu, hKey) << l;                                                                              \
    } while (0)

TEST_F(KspTest, OpenKeyRefusalsLeaveTheOutParameter)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME), hKsp = Open(E2E_KSP_NAME);
    const struct {
        const char *pszLabel;
        NCRYPT_PROV_HANDLE hProvider;
        LPCWSTR pszName;
        DWORD dwKeySpec, dwFlags;
        SECURITY_STATUS expected;
    } rows[] = {
        {"unknown-provider", 0x1234, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_HANDLE},
        {"next-to-provider", hAlder + 1, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_HANDLE},
        {"ksp", hKsp, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_NOT_SUPPORTED},
        {"ksp-bad-key-spec-and-flags", hKsp, nullptr, 7, 0xFFFF, NTE_NOT_SUPPORTED},
        {"key-spec-3", hAlder, E2E_MAIN, 3, 0, NTE_INVALID_PARAMETER},
        {"null-name", hAlder, nullptr, AT_KEYEXCHANGE, 0, NTE_INVALID_PARAMETER},
        {"flags-0x1", hAlder, E2E_MAIN, AT_KEYEXCHANGE, 0x1, NTE_BAD_FLAGS},
        {"flags-0x61", hAlder, E2E_MAIN, AT_KEYEXCHANGE, 0x61, NTE_BAD_FLAGS},
        {"flags-high-bit", hAlder, E2E_MAIN, AT_KEYEXCHANGE, 0x80000000, NTE_BAD_FLAGS},
        {"missing", hAlder, E2E_MISSING, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"empty", hAlder, E2E_EMPTY, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"signature-only-exchange", hAlder, E2E_SIGNATURE_ONLY, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"machine-container-as-user", hAlder, E2E_MACHINE, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"user-container-as-machine", hAlder, E2E_MAIN, AT_KEYEXCHANGE, NCRYPT_MACHINE_KEY_FLAG, NTE_BAD_KEYSET},
        {"prompt-silent", hAlder, E2E_PROMPT, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG, NTE_UI_REQUIRED},
    };
    for (const auto &row : rows) {
        EXPECT_OPEN_KEY_REFUSED(row.expected, row.pszLabel, row.hProvider, row.pszName, row.dwKeySpec, row.dwFlags);
    }
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
TEST_F(KspTest, OpenKeyRefusesLegacyKeySpecZero)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME);
    for (LPCWSTR pszName : {E2E_MAIN, E2E_SIGNATURE_ONLY, static_cast<LPCWSTR>(nullptr)}) {
        EXPECT_OPEN_KEY_REFUSED(NTE_INVALID_PARAMETER, "key-spec-0", hAlder, pszName, 0, 0);
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
        Bytes output(4, 0xCC);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(OpenKey, l, hProvider, &hKey, E2E_MAIN, AT_KEYEXCHANGE, 0)) << l;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(GetProviderProperty, l, hProvider, NCRYPT_VERSION_PROPERTY, output.data(), 4,
                                          Size{&cbResult}, 0));
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(EnumAlgorithms, l, hProvider, 0, Size{&cbResult}, nullptr, 0)) << l;
        EXPECT_EQ(0x5EEDu, hKey);
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(Bytes(4, 0xCC), output);
        ExpectKeyEntriesRefuse(strLabel + "-key-0", hProvider, 0);
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, l, hProvider)) << l;
    }
};

TEST_F(HandleTest, KeyHandleIsValidOnlyWithItsProviderAndFreedHandlesAreGone)
{
    const NCRYPT_PROV_HANDLE hOtherAlder = Open(E2E_ALDER_NAME), hBirch = Open(E2E_BIRCH_NAME);
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    const NCRYPT_KEY_HANDLE hOtherKey = OpenKey(hOtherAlder, E2E_MAIN, AT_KEYEXCHANGE); // the same container
    ExpectKeyEntriesRefuse("other-alder-provider", hOtherAlder, m_hExchange);
    ExpectKeyEntriesRefuse("birch-provider", hBirch, m_hExchange);
    ExpectKeyEntriesRefuse("ksp-provider", hKsp, m_hExchange);
    ExpectKeyEntriesRefuse("key-of-other-provider", m_hProvider, hOtherKey);
    // A freed key is gone for every entry; its sibling and its twin are untouched.
    EXPECT_EQ(0, KSP(FreeKey, "first", m_hProvider, m_hExchange));
    ExpectKeyEntriesRefuse("freed-key", m_hProvider, m_hExchange);
    for (const auto &key : {std::make_pair(m_hProvider, m_hSignature), std::make_pair(hOtherAlder, hOtherKey)}) {
        EXPECT_EQ(0, Sign("alive", key.first, key.second, nullptr, Pattern(20, 0x85), kExchangeBytes).status);
    }
    // A freed provider is gone for every entry, and takes its keys along.
    ASSERT_EQ(0, KSP(FreeProvider, "alder", m_hProvider));
    ExpectProviderEntriesRefuse("freed-csp-provider", m_hProvider);
    ExpectKeyEntriesRefuse("key-of-freed-provider", m_hProvider, m_hSignature);
    ASSERT_EQ(0, KSP(FreeProvider, "ksp", hKsp));
    ExpectProviderEntriesRefuse("freed-ksp-provider", hKsp);
}

TEST_F(HandleTest, ValuesThatWereNeverHandedOutAreRefused)
{
    const NCRYPT_PROV_HANDLE hP = m_hProvider, hKsp = Open(E2E_KSP_NAME);
    const NCRYPT_KEY_HANDLE hK = m_hExchange;
    for (const auto &made : {std::make_pair("zero", ULONG_PTR(0)), std::make_pair("all-ones", ~ULONG_PTR(0)),
                             std::make_pair("made-up", ULONG_PTR(0x2545F491))}) {
        ExpectProviderEntriesRefuse(made.first, made.second);
        ExpectKeyEntriesRefuse(made.first, hP, made.second);
    }
    for (const auto &offset : {std::make_pair("plus-8", ULONG_PTR(8)), std::make_pair("minus-1", ~ULONG_PTR(0))}) {
        ExpectProviderEntriesRefuse(std::string("provider-") + offset.first, hP + offset.second);
        ExpectKeyEntriesRefuse(std::string("key-") + offset.first, hP, hK + offset.second);
    }
    ExpectProviderEntriesRefuse("key-as-provider", hK);
    ExpectKeyEntriesRefuse("provider-as-key", hP, hP);
    ExpectKeyEntriesRefuse("ksp-as-key", hP, hKsp);
    EXPECT_EQ(0, Sign("after", hP, hK, nullptr, Pattern(20, 0x85), kExchangeBytes).status); // all that changed nothing
}

// A handle is the object's address, so once freed its value may be handed
// out again for a later object, and then it names that object: a caller must
// not keep a freed handle. (A sanitizer's allocator holds freed memory back.)
TEST_F(KspTest, FreedHandleValueCanComeBackForTheNextObject)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator does not hand freed memory out again soon";
#endif
    Keys();
    const NCRYPT_PROV_HANDLE hFreed = Open(E2E_DOGWOOD_NAME);
    const NCRYPT_KEY_HANDLE hFreedKey = OpenKey(hFreed, E2E_MAIN, AT_KEYEXCHANGE);
    ASSERT_EQ(0, KSP(FreeProvider, "freed", hFreed));
    std::vector<NCRYPT_PROV_HANDLE> opened;
    while (opened.size() < 32 && (opened.empty() || opened.back() != hFreed)) { // unrecorded: counts may differ
        opened.push_back(0);
        ASSERT_EQ(0, m_pTable->OpenProvider(&opened.back(), E2E_ALDER_NAME, 0));
    }
    ASSERT_EQ(hFreed, opened.back()) << "no provider got the freed value among " << opened.size();
    // The old value is Alder's new provider now: it knows none of the old
    // provider's keys, and a key opened through it is Alder's.
    EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, "old-key", hFreed, hFreedKey));
    BCRYPT_PKCS1_PADDING_INFO sha1 = {TEXT("SHA1")};
    const Bytes hash = Pattern(20, 0x86);
    EXPECT_EQ(Hex(Keys().signature[0].pJudge->Sign(TEXT("SHA1"), hash)),
              Hex(Sign("reused", hFreed, OpenKey(hFreed, E2E_MAIN, AT_SIGNATURE), &sha1, hash, 128).bytes));
}

} // namespace
} // namespace e2e
