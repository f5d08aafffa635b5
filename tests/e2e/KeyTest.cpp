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

class EveryCspTest : public KspTest, public ::testing::WithParamInterface<size_t>
{
};

TEST_P(EveryCspTest, KeysSignAndEncryptAsTheJudgeDoes)
{
    const size_t iCsp = GetParam();
    const NCRYPT_PROV_HANDLE hProvider = Open(kCsps[iCsp].pszName);
    const Bytes hash = Pattern(32, 0x21);
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    for (DWORD dwKeySpec : Dwords{DWORD(AT_KEYEXCHANGE), DWORD(AT_SIGNATURE)}) {
        for (DWORD dwFlags : Dwords{0u, DWORD(NCRYPT_SILENT_FLAG)}) {
            SCOPED_TRACE("key spec " + std::to_string(dwKeySpec) + " flags " + std::to_string(dwFlags));
            const KeyPair &pair = Keys().Main(iCsp, dwKeySpec);
            const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN, dwKeySpec, dwFlags);
            Out signature = Sign("sign", hProvider, hKey, &sha256, hash, pair.cb);
            ASSERT_EQ(0, signature.status);
            EXPECT_EQ(pair.cb, signature.cb);
            // PKCS #1 v1.5 signatures are deterministic: the judge's own is the same bytes.
            EXPECT_EQ(Hex(pair.pJudge->Sign(TEXT("SHA256"), hash)), Hex(signature.bytes));
            EXPECT_EQ(0, Verify("verify", hProvider, hKey, &sha256, hash, signature.bytes));
            signature.bytes[pair.cb / 2] ^= 0x01;
            EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("verify-flipped", hProvider, hKey, &sha256, hash, signature.bytes));
            const Bytes hash384 = Pattern(48, 0x22);
            Bytes otherHash = hash384;
            otherHash[0] ^= 0x01;
            BCRYPT_PKCS1_PADDING_INFO sha384 = {TEXT("SHA384")};
            EXPECT_EQ(0, Verify("judges-signature", hProvider, hKey, &sha384, hash384,
                                pair.pJudge->Sign(TEXT("SHA384"), hash384)));
            EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("judges-other-hash", hProvider, hKey, &sha384, hash384,
                                                pair.pJudge->Sign(TEXT("SHA384"), otherHash)));
            if (dwKeySpec == AT_KEYEXCHANGE) {
                const Bytes plaintext = Pattern(37, static_cast<BYTE>(0x60 + iCsp));
                const Out first = Crypt(true, "encrypt", hProvider, hKey, plaintext, kExchangeBytes);
                const Out second = Crypt(true, "encrypt", hProvider, hKey, plaintext, kExchangeBytes);
                ASSERT_EQ(0, first.status);
                EXPECT_EQ(kExchangeBytes, first.cb);
                EXPECT_NE(first.bytes, second.bytes) << "PKCS #1 v1.5 encryption pads with fresh random bytes";
                EXPECT_EQ(plaintext, pair.pJudge->Decrypt(first.bytes).value_or(Bytes())) << Hex(first.bytes);
                EXPECT_EQ(plaintext, pair.pJudge->Decrypt(second.bytes).value_or(Bytes())) << Hex(second.bytes);
                const Out back =
                    Crypt(false, "decrypt", hProvider, hKey, pair.pJudge->Encrypt(plaintext), kMaxPlaintext);
                ASSERT_EQ(0, back.status);
                ASSERT_EQ(plaintext.size(), back.cb);
                EXPECT_EQ(plaintext, Bytes(back.bytes.begin(), back.bytes.begin() + back.cb));
            }
            EXPECT_EQ(0, KSP(FreeKey, "free", hProvider, hKey));
        }
    }
    EXPECT_EQ(0, KSP(FreeProvider, "free", hProvider));
}

INSTANTIATE_TEST_SUITE_P(Csps, EveryCspTest, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<size_t> &info) { return kCsps[info.param].pszTag; });

TEST_F(KspTest, OpenKeyRefusalsLeaveTheOutParameter)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME);
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    const NCRYPT_PROV_HANDLE kUnknown = 0x1234;
    const struct {
        const char *pszLabel;
        NCRYPT_PROV_HANDLE hProvider;
        bool fNullOut;
        LPCWSTR pszName;
        DWORD dwKeySpec;
        DWORD dwFlags;
        SECURITY_STATUS expected;
    } rows[] = {
        {"null-out-unknown-provider", kUnknown, true, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_PARAMETER},
        {"null-out", hAlder, true, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_PARAMETER},
        {"unknown-provider", kUnknown, false, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_HANDLE},
        {"next-to-provider", hAlder + 1, false, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_INVALID_HANDLE},
        {"ksp", hKsp, false, E2E_MAIN, AT_KEYEXCHANGE, 0, NTE_NOT_SUPPORTED},
        {"ksp-null-name", hKsp, false, nullptr, 0, 0, NTE_NOT_SUPPORTED},
        {"ksp-bad-key-spec-and-flags", hKsp, false, E2E_MAIN, 7, 0xFFFF, NTE_NOT_SUPPORTED},
        {"key-spec-0", hAlder, false, E2E_MAIN, 0, 0, NTE_INVALID_PARAMETER},
        {"key-spec-3", hAlder, false, E2E_MAIN, 3, 0, NTE_INVALID_PARAMETER},
        {"null-name-key-spec-3", hAlder, false, nullptr, 3, 0, NTE_INVALID_PARAMETER},
        {"null-name-exchange", hAlder, false, nullptr, AT_KEYEXCHANGE, 0, NTE_INVALID_PARAMETER},
        {"flags-0x1", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, 0x1, NTE_BAD_FLAGS},
        {"flags-0x80", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, 0x80, NTE_BAD_FLAGS},
        {"flags-0x61", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, 0x61, NTE_BAD_FLAGS},
        {"flags-0x10000", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, 0x10000, NTE_BAD_FLAGS},
        {"flags-high-bit", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, 0x80000000, NTE_BAD_FLAGS},
        {"missing-exchange", hAlder, false, E2E_MISSING, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"empty-exchange", hAlder, false, E2E_EMPTY, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"signature-only-exchange", hAlder, false, E2E_SIGNATURE_ONLY, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"machine-container-as-user", hAlder, false, E2E_MACHINE, AT_KEYEXCHANGE, 0, NTE_BAD_KEYSET},
        {"user-container-as-machine", hAlder, false, E2E_MAIN, AT_KEYEXCHANGE, NCRYPT_MACHINE_KEY_FLAG, NTE_BAD_KEYSET},
        {"prompt-silent", hAlder, false, E2E_PROMPT, AT_KEYEXCHANGE, NCRYPT_SILENT_FLAG, NTE_UI_REQUIRED},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pszLabel);
        NCRYPT_KEY_HANDLE hKey = 0xBADC0DE;
        EXPECT_EQ(row.expected, KSP(OpenKey, row.pszLabel, row.hProvider, row.fNullOut ? nullptr : &hKey, row.pszName,
                                    row.dwKeySpec, row.dwFlags));
        EXPECT_EQ(0xBADC0DEu, hKey);
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

class HandleTest : public KspTest
{
protected:
    // Every entry that takes a key handle refuses the pair and writes nothing.
    void ExpectKeyEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        SCOPED_TRACE(strLabel);
        const char *l = strLabel.c_str();
        const Bytes hash = Pattern(32, 0x81);
        BCRYPT_PKCS1_PADDING_INFO padding = {TEXT("SHA256")};
        for (const Out &out : {Sign(l, hProvider, hKey, &padding, hash, kExchangeBytes),
                               Crypt(true, l, hProvider, hKey, Pattern(16, 0x82), kExchangeBytes),
                               Crypt(false, l, hProvider, hKey, Pattern(kExchangeBytes, 0x83), kExchangeBytes)}) {
            EXPECT_EQ(NTE_INVALID_HANDLE, out.status);
            EXPECT_EQ(0xDEADu, out.cb);
            EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes);
        }
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(SignHash, l, hProvider, hKey, &padding, const_cast<PBYTE>(hash.data()), 32,
                                          nullptr, 0, Size(&cbResult), kPkcs1));
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(NTE_INVALID_HANDLE, Verify(l, hProvider, hKey, &padding, hash, Pattern(kExchangeBytes, 0x84)));
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeKey, l, hProvider, hKey));
    }

    // Every entry that takes a provider handle refuses it and writes nothing.
    void ExpectProviderEntriesRefuse(const std::string &strLabel, NCRYPT_PROV_HANDLE hProvider)
    {
        SCOPED_TRACE(strLabel);
        const char *l = strLabel.c_str();
        NCRYPT_KEY_HANDLE hKey = 0x5EED;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(OpenKey, l, hProvider, &hKey, E2E_MAIN, AT_KEYEXCHANGE, 0));
        EXPECT_EQ(0x5EEDu, hKey);
        Bytes output(4, 0xCC);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(GetProviderProperty, l, hProvider, NCRYPT_VERSION_PROPERTY, output.data(), 4,
                                          Size(&cbResult), 0));
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(EnumAlgorithms, l, hProvider, 0, Size(&cbResult), nullptr, 0));
        EXPECT_EQ(0xDEADu, cbResult);
        EXPECT_EQ(Bytes(4, 0xCC), output);
        ExpectKeyEntriesRefuse(strLabel + "-key-0", hProvider, 0);
        EXPECT_EQ(NTE_INVALID_HANDLE, KSP(FreeProvider, l, hProvider));
    }

    // A key still works where it belongs.
    void ExpectKeySigns(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
    {
        EXPECT_EQ(0, Sign("own-provider", hProvider, hKey, nullptr, Pattern(20, 0x85), kExchangeBytes).status);
    }
};

TEST_F(HandleTest, KeyHandleIsValidOnlyWithItsProviderAndFreedHandlesAreGone)
{
    Keys();
    const NCRYPT_PROV_HANDLE hAlder = Open(E2E_ALDER_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hAlder, E2E_MAIN, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hOtherAlder = Open(E2E_ALDER_NAME);
    const NCRYPT_PROV_HANDLE hBirch = Open(E2E_BIRCH_NAME);
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    const NCRYPT_KEY_HANDLE hOtherKey = OpenKey(hOtherAlder, E2E_MAIN, AT_KEYEXCHANGE); // the same container
    EXPECT_NE(hKey, hOtherKey);
    ExpectKeyEntriesRefuse("other-alder-provider", hOtherAlder, hKey);
    ExpectKeyEntriesRefuse("birch-provider", hBirch, hKey);
    ExpectKeyEntriesRefuse("ksp-provider", hKsp, hKey);
    ExpectKeyEntriesRefuse("key-of-other-provider", hAlder, hOtherKey);
    ExpectKeySigns(hAlder, hKey);
    ExpectKeySigns(hOtherAlder, hOtherKey);
    // A freed key is gone for every entry; its siblings are untouched.
    const NCRYPT_KEY_HANDLE hSibling = OpenKey(hAlder, E2E_MAIN, AT_SIGNATURE);
    EXPECT_EQ(0, KSP(FreeKey, "first", hAlder, hKey));
    ExpectKeyEntriesRefuse("freed-key", hAlder, hKey);
    ExpectKeySigns(hAlder, hSibling);
    ExpectKeySigns(hOtherAlder, hOtherKey);
    // A freed provider is gone for every entry, and takes its keys along.
    ASSERT_EQ(0, KSP(FreeProvider, "alder", hAlder));
    ExpectProviderEntriesRefuse("freed-csp-provider", hAlder);
    ExpectKeyEntriesRefuse("key-of-freed-provider", hAlder, hSibling);
    ASSERT_EQ(0, KSP(FreeProvider, "ksp", hKsp));
    ExpectProviderEntriesRefuse("freed-ksp-provider", hKsp);
    // A new provider (perhaps at the same address) knows none of the old keys.
    const NCRYPT_PROV_HANDLE hNew = Open(E2E_ALDER_NAME);
    ExpectKeyEntriesRefuse("old-key-new-provider", hNew, hSibling);
}

TEST_F(HandleTest, ValuesThatWereNeverHandedOutAreRefused)
{
    Keys();
    const NCRYPT_PROV_HANDLE hProvider = Open(E2E_BIRCH_NAME);
    const NCRYPT_KEY_HANDLE hKey = OpenKey(hProvider, E2E_MAIN, AT_KEYEXCHANGE);
    const NCRYPT_PROV_HANDLE hKsp = Open(E2E_KSP_NAME);
    std::vector<std::pair<std::string, ULONG_PTR>> providers = {
        {"zero", 0}, {"one", 1}, {"all-ones", ~ULONG_PTR(0)}, {"key-as-provider", hKey}};
    std::vector<std::pair<std::string, ULONG_PTR>> keys = {
        {"zero", 0}, {"one", 1}, {"all-ones", ~ULONG_PTR(0)}, {"provider-as-key", hProvider}, {"ksp-as-key", hKsp}};
    ULONG_PTR state = 0x2545F491; // made-up values, the same in every run
    for (int i = 0; i < 8; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        providers.emplace_back("made-up-" + std::to_string(i), state);
        keys.emplace_back("made-up-" + std::to_string(i), ~state);
    }
    for (ULONG_PTR offset : {1, 4, 8, 16, 64, 4096}) {
        providers.emplace_back("provider-plus-" + std::to_string(offset), hProvider + offset);
        providers.emplace_back("provider-minus-" + std::to_string(offset), hProvider - offset);
        keys.emplace_back("key-plus-" + std::to_string(offset), hKey + offset);
        keys.emplace_back("key-minus-" + std::to_string(offset), hKey - offset);
    }
    for (const auto &provider : providers) {
        ExpectProviderEntriesRefuse(provider.first, provider.second);
    }
    for (const auto &key : keys) {
        ExpectKeyEntriesRefuse(key.first, hProvider, key.second);
    }
    ExpectKeySigns(hProvider, hKey); // all of that changed nothing
    EXPECT_EQ(0, KSP(FreeProvider, "after", hProvider));
    EXPECT_EQ(0, KSP(FreeProvider, "after", hKsp));
}

} // namespace
} // namespace e2e
