// The CAPI key object: opening a container's key pair, then signing,
// verification, encryption and decryption with it: results equal to
// OpenSSL's, every refusal with what it leaves alone, every CryptoAPI
// failure, the wiping of the working buffer and what each call costs.
#include "UnitTestSupport.h"

#include "ksp/KspInterface.h"
#include "provider/KspProviderManager.h"

#include <optional>

namespace unit
{
namespace
{

using qvntest::CachedTestKey;
using qvntest::OpenSslDecrypt;
using qvntest::OpenSslEncrypt;
using qvntest::OpenSslSign;
typedef std::vector<std::string> NAMES;

constexpr DWORD kUntouched = 0xABCD1234;
constexpr BYTE kFill = 0xEE;
constexpr LPCWSTR kContainer = TEXT("unit key");
const NAMES kSignCalls = {"CryptGetKeyParam",  "CryptCreateHash", "CryptGetHashParam",
                          "CryptSetHashParam", "CryptSignHashW",  "CryptDestroyHash"};

NAMES KeyLengths(size_t cCalls)
{
    return NAMES(cCalls, "CryptGetKeyParam");
}

enum Op { kSign, kVerify, kEncrypt, kDecrypt };

// One call: the input is the hash value or the data; the buffer is the
// signature for kVerify, else the output. A null buffer makes a size query
// (a null signature).
struct Call {
    Op op;
    Bytes input, buffer;
    VOID *pPadding = nullptr;
    DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG;
    bool fNullBuffer = false, fNullInput = false, fNullResult = false;
};

struct Outcome {
    LONG lStatus = 0;
    DWORD cbResult = kUntouched;
    Bytes buffer; // afterwards
    Footprint footprint;
    NAMES calls;
};

Outcome Perform(CKspCapiKeyContext &key, Call call, DWORD nthMalloc = 0)
{
    Outcome outcome;
    const Bytes input = call.input;
    call.input.reserve(1); // empty ones still have an address
    call.buffer.reserve(1);
    PBYTE pbIn = call.fNullInput ? nullptr : call.input.data();
    PBYTE pbBuffer = call.fNullBuffer ? nullptr : call.buffer.data();
    const DWORD cbIn = static_cast<DWORD>(input.size());
    const DWORD cbBuffer = static_cast<DWORD>(call.buffer.size());
    DWORD *pcbResult = call.fNullResult ? nullptr : &outcome.cbResult;
    QvnPlatformClearCallLog();
    outcome.footprint = MeasureModuleMemory(
        [&] {
            outcome.lStatus = StatusOf([&] {
                if (call.op == kSign) {
                    key.SignHash(call.pPadding, pbIn, cbIn, pbBuffer, cbBuffer, pcbResult, call.dwFlags);
                } else if (call.op == kVerify) {
                    key.VerifySignature(call.pPadding, pbIn, cbIn, pbBuffer, cbBuffer, call.dwFlags);
                } else {
                    (key.*(call.op == kEncrypt ? &CKspCapiKeyContext::Encrypt : &CKspCapiKeyContext::Decrypt))(
                        pbIn, cbIn, call.pPadding, pbBuffer, cbBuffer, pcbResult, call.dwFlags);
                }
            });
        },
        nthMalloc);
    outcome.calls = CallNames();
    EXPECT_EQ(input, call.input) << "the input is never written";
    outcome.buffer = std::move(call.buffer);
    return outcome;
}

Bytes Fill(size_t cb)
{
    return Bytes(cb, kFill);
}

class KspCAPIKeyContext : public ModuleTest
{
protected:
    static LONG OpenStatus(CKspCapiKeyContext &key, DWORD dwFlags)
    {
        return StatusOf([&] { key.Open(dwFlags, KSP_WSTRING(kAlder), PROV_RSA_FULL); });
    }
};

TEST_F(KspCAPIKeyContext, OpenPassesKnownFlagsOnTranslatesOnlyTheMissingKeysetAndReleasesAllOnce)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE);
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, 1024, CRYPT_MACHINE_KEYSET);
    MakeContainer(kAlder, TEXT("signature only"), AT_SIGNATURE);
    ASSERT_TRUE(QvnPlatformSetContainerNeedsPrompt(kAlder, TEXT("signature only"), 0, TRUE));
    const DWORD dwSilent = static_cast<DWORD>(NTE_SILENT_CONTEXT);
    struct Case {
        const char *pszFunction; // null: no injection
        LPCWSTR pszContainer;
        DWORD dwFlags, dwError;
        LONG lStatus;
        size_t cCalls; // 1: the acquisition failed; 2 and a failure: the context is held, no key pair
    };
    std::vector<Case> cases = {
        {nullptr, TEXT("no such container"), 0, 0, NTE_BAD_KEYSET, 1},
        {nullptr, TEXT("signature only"), 0, 0, NTE_BAD_KEYSET, 2}, // prompt answered, no exchange pair
        {nullptr, TEXT("signature only"), NCRYPT_SILENT_FLAG, 0, NTE_UI_REQUIRED, 1},
        {"CryptAcquireContextW", kContainer, 0, static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_BAD_KEYSET, 1},
        {"CryptAcquireContextW", kContainer, 0, static_cast<DWORD>(NTE_BAD_KEYSET), NTE_BAD_KEYSET, 1},
        {"CryptAcquireContextW", kContainer, 0, dwSilent, NTE_UI_REQUIRED, 1},
        {"CryptAcquireContextW", kContainer, 0, static_cast<DWORD>(NTE_NO_KEY), NTE_NO_KEY, 1},
        {"CryptAcquireContextW", kContainer, 0, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, 1},
        {"CryptGetUserKey", kContainer, 0, static_cast<DWORD>(NTE_NO_KEY), NTE_BAD_KEYSET, 2},
        {"CryptGetUserKey", kContainer, 0, static_cast<DWORD>(NTE_KEYSET_NOT_DEF), NTE_KEYSET_NOT_DEF, 2},
        {"CryptGetUserKey", kContainer, 0, dwSilent, NTE_UI_REQUIRED, 2},
        {"CryptGetUserKey", kContainer, 0, static_cast<DWORD>(NTE_FAIL), NTE_FAIL, 2},
    };
    for (DWORD dwFlags : {0x00u, 0x20u, 0x40u, 0x60u}) {
        cases.push_back({nullptr, kContainer, dwFlags, 0, 0, 2});
    }
    for (DWORD dwFlags : {0x01u, 0x02u, 0x08u, 0x61u, 0x80u, 0x10000u, CRYPT_VERIFYCONTEXT, 0xFFFFFFFFu}) {
        cases.push_back({nullptr, kContainer, dwFlags, 0, NTE_BAD_FLAGS, 0});
    }
    const LIVE_HANDLES before = LiveNow();
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pszFunction ? c.pszFunction : Narrow(c.pszContainer)) + " flags " +
                     std::to_string(c.dwFlags) + " " + ::testing::PrintToString(Status{static_cast<LONG>(c.dwError)}));
        auto pKey = std::make_unique<CKspCapiKeyContext>(KSP_WSTRING(c.pszContainer), AT_KEYEXCHANGE);
        if (c.pszFunction != nullptr) {
            QvnPlatformFailCall(c.pszFunction, 1, c.dwError);
        }
        QvnPlatformClearCallLog();
        EXPECT_STATUS(c.lStatus, OpenStatus(*pKey, c.dwFlags));
        const std::vector<QVN_CALL_RECORD> log = CallsOf();
        ASSERT_EQ(c.cCalls, log.size());
        for (const QVN_CALL_RECORD &record : log) {
            EXPECT_EQ(log[0].hHandle, record.hHandle) << "the pair of the context just acquired";
        }
        if (c.cCalls != 0) {
            EXPECT_EQ(c.dwFlags, log[0].dwFlags) << "the flags reach CryptoAPI unchanged";
            EXPECT_EQ(std::u16string(c.pszContainer), std::u16string(log[0].szContainer));
            EXPECT_EQ(std::u16string(kAlder), std::u16string(log[0].szProvider));
            EXPECT_EQ(static_cast<DWORD>(PROV_RSA_FULL), log[0].dwProvType);
        }
        const DWORD dwRecorded = c.lStatus == NTE_BAD_FLAGS ? 0 : c.dwFlags; // a refused value records nothing
        EXPECT_EQ((dwRecorded & 0x20) != 0, pKey->IsMachineKey());
        EXPECT_EQ((dwRecorded & 0x40) != 0, pKey->IsSilent());
        QvnPlatformClearCallLog();
        pKey.reset();
        NAMES released = c.cCalls != 2    ? NAMES{}
                         : c.lStatus != 0 ? NAMES{"CryptReleaseContext"}
                                          : NAMES{"CryptDestroyKey", "CryptReleaseContext"};
        EXPECT_EQ(released, CallNames()) << "the key goes before the context it lives in";
        if (c.cCalls == 2) {
            EXPECT_EQ(log[0].hHandle, CallsOf("CryptReleaseContext").at(0).hHandle);
        }
        EXPECT_EQ(before, LiveNow());
    }
}

TEST_F(KspCAPIKeyContext, SignaturesEqualOpenSslsByNameAndByLengthForEveryKey)
{
    BCRYPT_PKCS1_PADDING_INFO noName{nullptr};
    const struct {
        LPCWSTR pszAlgId; // null: no padding information; "-": a null algorithm name
        DWORD cbHash;
        ALG_ID aiCreated;
        ALG_ID aiJudge; // 0: the bare hash is signed (CRYPT_NOHASHOID)
    } rgCases[] = {{TEXT("SHA1"), 20, CALG_SHA1, CALG_SHA1},
                   {TEXT("SHA256"), 32, CALG_SHA_256, CALG_SHA_256},
                   {TEXT("SHA384"), 48, CALG_SHA_384, CALG_SHA_384},
                   {TEXT("SHA512"), 64, CALG_SHA_512, CALG_SHA_512},
                   {TEXT("MD2"), 16, CALG_MD2, CALG_MD2},
                   {TEXT("MD4"), 16, CALG_MD4, CALG_MD4},
                   {TEXT("MD5"), 16, CALG_MD5, CALG_MD5},
                   {nullptr, 16, CALG_MD5, 0},
                   {nullptr, 20, CALG_SHA1, 0},
                   {nullptr, 32, CALG_SHA_256, 0},
                   {nullptr, 36, CALG_SSL3_SHAMD5, 0},
                   {nullptr, 48, CALG_SHA_384, 0},
                   {TEXT("-"), 64, CALG_SHA_512, 0},
                   {TEXT("-"), 36, CALG_SSL3_SHAMD5, 0}};
    for (const auto &key : {std::make_pair(1023u, AT_KEYEXCHANGE), std::make_pair(1024u, AT_SIGNATURE),
                            std::make_pair(2048u, AT_KEYEXCHANGE), std::make_pair(4096u, AT_KEYEXCHANGE)}) {
        std::unique_ptr<CKspCapiKeyContext> pKey = AlderKey(key.first, key.second);
        ASSERT_NE(nullptr, pKey);
        const DWORD cbKey = CachedTestKey(key.first).ByteLength();
        for (const auto &c : rgCases) {
            SCOPED_TRACE(std::to_string(key.first) + " bits, " + Narrow(c.pszAlgId) + " " + std::to_string(c.cbHash));
            BCRYPT_PKCS1_PADDING_INFO named{c.pszAlgId};
            VOID *pPadding = c.pszAlgId == nullptr ? nullptr : c.aiJudge == 0 ? &noName : &named;
            const Bytes hash = PatternBytes(c.cbHash, c.aiCreated + key.first);
            const Outcome outcome = Perform(*pKey, {kSign, hash, Fill(cbKey + 7), pPadding}); // longer than needed
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(cbKey, outcome.cbResult);
            Bytes expected = OpenSslSign(CachedTestKey(key.first), c.aiJudge, hash);
            const DWORD dwSignFlags = c.aiJudge == 0 ? CRYPT_NOHASHOID : 0;
            EXPECT_EQ(c.aiCreated, CallsOf("CryptCreateHash").at(0).dwAlgId);
            EXPECT_EQ(dwSignFlags, CallsOf("CryptSignHashW").at(0).dwFlags);
            EXPECT_EQ(key.second, CallsOf("CryptSignHashW").at(0).dwKeySpec);
            EXPECT_STATUS(0, Perform(*pKey, {kVerify, hash, expected, pPadding}).lStatus);
            EXPECT_EQ(c.aiCreated, CallsOf("CryptCreateHash").at(0).dwAlgId);
            EXPECT_EQ(dwSignFlags, CallsOf("CryptVerifySignatureW").at(0).dwFlags);
            expected.resize(cbKey + 7, kFill); // nothing is written beyond the signature
            EXPECT_EQ(expected, outcome.buffer);
        }
    }
}

TEST_F(KspCAPIKeyContext, EncryptAndDecryptAgreeWithOpenSslForEveryKeyLength)
{
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u}) {
        const TestKey &testKey = CachedTestKey(dwBits);
        std::unique_ptr<CKspCapiKeyContext> pKey = AlderKey(dwBits);
        ASSERT_NE(nullptr, pKey);
        const DWORD cbKey = testKey.ByteLength();
        for (DWORD cbPlain : {0u, 1u, 17u, cbKey - 11}) {
            SCOPED_TRACE(std::to_string(dwBits) + " bits, " + std::to_string(cbPlain) + " bytes");
            const Bytes plaintext = PatternBytes(cbPlain, dwBits + cbPlain);
            Outcome outcome = Perform(*pKey, {kEncrypt, plaintext, Fill(cbKey)});
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(cbKey, outcome.cbResult);
            EXPECT_EQ(std::optional<Bytes>(plaintext), OpenSslDecrypt(testKey, outcome.buffer));
            const std::vector<QVN_CALL_RECORD> encrypted = CallsOf("CryptEncrypt");
            ASSERT_EQ(1u, encrypted.size());
            EXPECT_EQ(cbPlain, encrypted[0].cbData);
            EXPECT_EQ(cbKey, encrypted[0].dwBufLen);
            EXPECT_EQ(0u, encrypted[0].dwFlags);

            // An output of the most a ciphertext can carry suffices for any.
            outcome = Perform(*pKey, {kDecrypt, OpenSslEncrypt(testKey, plaintext), Fill(cbKey - 11)});
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(cbPlain, outcome.cbResult);
            Bytes expected = plaintext;
            expected.resize(cbKey - 11, kFill); // nothing is written beyond the plaintext
            EXPECT_EQ(expected, outcome.buffer);
        }
    }
}

TEST_F(KspCAPIKeyContext, VerificationRejectsEverySignatureThatDoesNotMatch)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = AlderKey(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes hash = PatternBytes(32, 11);
    BCRYPT_PKCS1_PADDING_INFO sha256{TEXT("SHA256")};
    const Bytes good = OpenSslSign(CachedTestKey(1024), CALG_SHA_256, hash);
    const LIVE_HANDLES before = LiveNow();
    std::vector<Call> rgBad = {
        {kVerify, hash, good},                          // a named signature checked as a bare one
        {kVerify, PatternBytes(32, 12), good, &sha256}, // another hash
        {kVerify, hash, OpenSslSign(CachedTestKey(1024), 0, hash), &sha256},
        {kVerify, hash, OpenSslSign(CachedTestKey(1024, 1), CALG_SHA_256, hash), &sha256},
        {kVerify, hash, qvntest::Reversed(good), &sha256},
    };
    for (size_t iBit : {0u, 7u, 500u, 1023u}) {
        rgBad.push_back({kVerify, hash, good, &sha256});
        rgBad.back().buffer[iBit / 8] ^= static_cast<BYTE>(1u << (iBit % 8));
    }
    for (const Call &bad : rgBad) {
        const Outcome outcome = Perform(*pKey, bad);
        EXPECT_STATUS(NTE_BAD_SIGNATURE, outcome.lStatus) << qvntest::Hex(bad.buffer);
        EXPECT_EQ(bad.buffer, outcome.buffer) << "the caller's signature is never written";
    }
    EXPECT_EQ(before, LiveNow());
}

TEST_F(KspCAPIKeyContext, RefusalsTouchNothingAndCallOnlyWhatTheyMust)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = AlderKey(1024);
    std::unique_ptr<CKspCapiKeyContext> pSignatureKey = AlderKey(1024, AT_SIGNATURE);
    ASSERT_TRUE(pKey && pSignatureKey);
    BCRYPT_PKCS1_PADDING_INFO sha256{TEXT("SHA256")}, noName{nullptr}, unknown{TEXT("no such algorithm")};
    BCRYPT_PSS_PADDING_INFO pss{TEXT("SHA1"), 20};
    const Bytes hash = PatternBytes(32, 1), plain = PatternBytes(10, 1), cipher = Fill(128);
    const Bytes signature = OpenSslSign(CachedTestKey(1024), CALG_SHA_256, hash);
    const NAMES kWrongSize = {"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptDestroyHash"};
    struct Case {
        Call call;
        LONG lStatus;
        DWORD cbResult;
        NAMES calls;
        bool fSignatureKey = false;
    };
    std::vector<Case> cases = {
        // Hash value, result size and signature are checked even for a size query.
        {{kSign, hash, Fill(128), &sha256, 2, true, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kSign, hash, Fill(128), &sha256, 2, false, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kSign, {}, Fill(128), &sha256, 2, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kSign, {}, Fill(128), &sha256}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kSign, hash, Fill(128), &sha256, 2, true, false, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kSign, hash, Fill(128), &sha256, 2, false, false, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kVerify, hash, signature, &sha256, 2, false, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kVerify, {}, signature, &sha256}, NTE_INVALID_PARAMETER, kUntouched, {}},
        {{kVerify, hash, signature, &sha256, 2, true}, NTE_INVALID_PARAMETER, kUntouched, {}},
        // The size query asks the key length only, whatever the padding says.
        {{kSign, PatternBytes(28, 0), Fill(1), &unknown, 2, true}, 0, 128, KeyLengths(1)},
        {{kSign, hash, Fill(127), &sha256}, NTE_BUFFER_TOO_SMALL, kUntouched, KeyLengths(1)},
        {{kSign, hash, Fill(1), nullptr}, NTE_BUFFER_TOO_SMALL, kUntouched, KeyLengths(1)},
        {{kEncrypt, plain, {}, nullptr, 2, true}, 0, 128, KeyLengths(2)},
        {{kEncrypt, PatternBytes(117, 1), {}, nullptr, 2, true}, 0, 128, KeyLengths(2)},
        {{kDecrypt, cipher, {}, nullptr, 2, true}, 0, 117, KeyLengths(2)}, // the ciphertext is not looked at
        {{kEncrypt, PatternBytes(118, 1), Fill(128)}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kEncrypt, PatternBytes(118, 1), {}, nullptr, 2, true}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kEncrypt, plain, Fill(127)}, NTE_BUFFER_TOO_SMALL, kUntouched, KeyLengths(2)},
        {{kDecrypt, Fill(127), Fill(128)}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kDecrypt, Fill(129), Fill(128)}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kDecrypt, {}, Fill(128)}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kDecrypt, Fill(129), {}, nullptr, 2, true}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)},
        {{kDecrypt, cipher, Fill(116)}, NTE_BUFFER_TOO_SMALL, kUntouched, KeyLengths(2)},
    };
    // A signature of the wrong length is a wrong argument, not a bad signature.
    for (size_t cbSignature : {0u, 1u, 127u, 129u, 256u}) {
        cases.push_back(
            {{kVerify, hash, Fill(cbSignature), &sha256}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)});
    }
    // Unknown names and lengths are refused before a hash is made, once the
    // result size is cleared; a known name of another size once the hash tells its size.
    BCRYPT_PKCS1_PADDING_INFO rgUnknown[] = {{TEXT("sha256")}, {TEXT("SHA-256")}, {TEXT("SHA256 ")}, {TEXT("")}};
    for (BCRYPT_PKCS1_PADDING_INFO &padding : rgUnknown) {
        cases.push_back({{kSign, hash, Fill(128), &padding}, NTE_INVALID_PARAMETER, 0, KeyLengths(1)});
        cases.push_back({{kVerify, hash, signature, &padding}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)});
    }
    for (DWORD cbHash : {1u, 15u, 17u, 28u, 33u, 35u, 37u, 63u, 65u}) {
        cases.push_back({{kSign, PatternBytes(cbHash, 2), Fill(128)}, NTE_INVALID_PARAMETER, 0, KeyLengths(1)});
        cases.push_back(
            {{kVerify, PatternBytes(cbHash, 2), signature}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)});
    }
    BCRYPT_PKCS1_PADDING_INFO rgWrongSize[] = {{TEXT("SHA256")}, {TEXT("SHA1")}, {TEXT("MD5")}, {TEXT("SHA512")}};
    const DWORD rgcbWrongSize[] = {20, 32, 20, 48};
    for (int i = 0; i < 4; ++i) {
        cases.push_back({{kSign, PatternBytes(rgcbWrongSize[i], 4), Fill(128), &rgWrongSize[i]},
                         NTE_INVALID_PARAMETER,
                         0,
                         kWrongSize});
        cases.push_back({{kVerify, PatternBytes(rgcbWrongSize[i], 4), signature, &rgWrongSize[i]},
                         NTE_INVALID_PARAMETER,
                         kUntouched,
                         kWrongSize});
    }
    for (DWORD dwFlags : {0x0u, 0x1u, 0x3u, 0x4u, 0x8u, 0xAu, 0x40u, 0x42u, 0x80000002u, 0xFFFFFFFFu}) {
        cases.push_back({{kSign, hash, Fill(128), &sha256, dwFlags}, NTE_BAD_FLAGS, kUntouched, {}});
        cases.push_back({{kSign, {}, {}, nullptr, dwFlags, true, true}, NTE_BAD_FLAGS, kUntouched, {}});
        cases.push_back({{kVerify, hash, signature, &sha256, dwFlags}, NTE_BAD_FLAGS, kUntouched, {}});
    }
    for (Op op : {kEncrypt, kDecrypt}) {
        const Bytes &input = op == kEncrypt ? plain : cipher;
        for (DWORD dwFlags : {0x0u, 0x1u, 0x3u, 0x4u, 0x8u, 0x40u, 0x42u, 0xFFFFFFFFu}) {
            cases.push_back({{op, input, Fill(128), &sha256, dwFlags}, NTE_BAD_FLAGS, kUntouched, {}});
            cases.push_back({{op, input, {}, nullptr, dwFlags, true}, NTE_BAD_FLAGS, kUntouched, {}, true});
        }
        for (VOID *pPadding : {static_cast<VOID *>(&sha256), static_cast<VOID *>(&noName), static_cast<VOID *>(&pss)}) {
            cases.push_back({{op, input, Fill(128), pPadding}, NTE_INVALID_PARAMETER, kUntouched, {}});
            cases.push_back({{op, input, Fill(128), pPadding}, NTE_INVALID_PARAMETER, kUntouched, {}, true});
        }
        cases.push_back({{op, input, Fill(128)}, NTE_PERM, kUntouched, {}, true});
        cases.push_back({{op, input, {}, nullptr, 2, true}, NTE_PERM, kUntouched, {}, true});
        cases.push_back({{op, input, Fill(128), nullptr, 2, false, true}, NTE_INVALID_PARAMETER, kUntouched, {}});
        cases.push_back(
            {{op, input, Fill(128), nullptr, 2, false, false, true}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)});
        cases.push_back(
            {{op, input, {}, nullptr, 2, true, false, true}, NTE_INVALID_PARAMETER, kUntouched, KeyLengths(1)});
    }
    const LIVE_HANDLES before = LiveNow();
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const Outcome outcome = Perform(c.fSignatureKey ? *pSignatureKey : *pKey, c.call);
        EXPECT_STATUS(c.lStatus, outcome.lStatus) << "case " << i;
        EXPECT_EQ(c.cbResult, outcome.cbResult) << "case " << i;
        EXPECT_EQ(c.call.buffer, outcome.buffer) << "case " << i;
        EXPECT_EQ(c.calls, outcome.calls) << "case " << i;
        EXPECT_EQ(0u, outcome.footprint.cMallocs) << "case " << i;
    }
    EXPECT_EQ(before, LiveNow());
}

TEST_F(KspCAPIKeyContext, EachFailureLeavesNothingWipesTheWorkingBufferAndKeepsTheKeyUsable)
{
    const TestKey &testKey = CachedTestKey(1024);
    std::unique_ptr<CKspCapiKeyContext> pKey = AlderKey(1024);
    ASSERT_NE(nullptr, pKey);
    BCRYPT_PKCS1_PADDING_INFO sha256{TEXT("SHA256")};
    const Bytes hash = PatternBytes(32, 8), plain = PatternBytes(60, 5), cipher = OpenSslEncrypt(testKey, plain);
    const Bytes signature = OpenSslSign(testKey, CALG_SHA_256, hash);
    const Call rgGood[] = {{kSign, hash, Fill(128), &sha256},
                           {kVerify, hash, signature, &sha256},
                           {kEncrypt, plain, Fill(128)},
                           {kDecrypt, cipher, Fill(128)}};
    struct Failure {
        Op op;
        std::string strFunction; // "malloc": a module allocation; "foreign": a ciphertext of another key
        DWORD nthCall, dwError;
        LONG lStatus;
        DWORD cbResult;
        size_t cWiped; // working buffers freed, all zero
    };
    const DWORD dwBadData = static_cast<DWORD>(NTE_BAD_DATA);
    std::vector<Failure> failures = {
        {kVerify, "malloc", 1, 0, NTE_NO_MEMORY, kUntouched, 0},
        {kEncrypt, "malloc", 1, 0, NTE_NO_MEMORY, 0, 0},
        {kDecrypt, "malloc", 1, 0, NTE_NO_MEMORY, 0, 0},
        {kDecrypt, "foreign", 0, 0, NTE_DECRYPTION_FAILURE, 0, 1},
        {kEncrypt, "CryptEncrypt", 1, dwBadData, NTE_BAD_DATA, 0, 1},
        {kDecrypt, "CryptDecrypt", 1, dwBadData, NTE_DECRYPTION_FAILURE, 0, 1},
        {kDecrypt, "CryptDecrypt", 1, static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY, 0, 1},
    };
    // Each call that an operation makes (the result of CryptDestroyHash is
    // not looked at); *pcbResult is cleared before the call at iCleared.
    const struct {
        Op op;
        NAMES calls;
        size_t iCleared;
    } rgSequences[] = {
        {kSign, NAMES(kSignCalls.begin(), kSignCalls.end() - 1), 1},
        {kVerify,
         {"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptSetHashParam", "CryptVerifySignatureW"},
         9},
        {kEncrypt, {"CryptGetKeyParam", "CryptGetKeyParam", "CryptGetKeyParam", "CryptEncrypt"}, 2},
        {kDecrypt, {"CryptGetKeyParam", "CryptGetKeyParam", "CryptDecrypt"}, 2}};
    for (const auto &sequence : rgSequences) {
        for (size_t i = 0; i < sequence.calls.size(); ++i) {
            const DWORD nth = static_cast<DWORD>(
                std::count(sequence.calls.begin(), sequence.calls.begin() + i + 1, sequence.calls[i]));
            const bool fLast = sequence.op >= kEncrypt && i + 1 == sequence.calls.size();
            for (const auto &e :
                 {std::make_pair(static_cast<DWORD>(NTE_FAIL), NTE_FAIL),
                  std::make_pair(static_cast<DWORD>(NTE_SILENT_CONTEXT), NTE_UI_REQUIRED),
                  std::make_pair(static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<LONG>(ERROR_ACCESS_DENIED))}) {
                failures.push_back({sequence.op, sequence.calls[i], nth, e.first, e.second,
                                    i >= sequence.iCleared ? 0 : kUntouched, fLast ? 1u : 0u});
            }
        }
    }
    const LIVE_HANDLES before = LiveNow();
    for (const Failure &f : failures) {
        SCOPED_TRACE(std::to_string(f.op) + " " + f.strFunction + " #" + std::to_string(f.nthCall) + " " +
                     ::testing::PrintToString(Status{f.lStatus}));
        Call call = rgGood[f.op];
        const std::string &strFunction = f.strFunction;
        if (strFunction == "foreign") {
            call.input = OpenSslEncrypt(CachedTestKey(1024, 1), plain);
        } else if (strFunction != "malloc") {
            QvnPlatformFailCall(strFunction.c_str(), f.nthCall, f.dwError);
        }
        const Outcome outcome = Perform(*pKey, call, strFunction == "malloc" ? f.nthCall : 0);
        QvnPlatformClearFailures();
        EXPECT_STATUS(f.lStatus, outcome.lStatus);
        EXPECT_EQ(f.cbResult, outcome.cbResult);
        EXPECT_EQ(call.buffer, outcome.buffer);
        EXPECT_EQ(before, LiveNow()) << "no hash or key is left";
        EXPECT_TRUE(outcome.footprint.Balanced(strFunction == "malloc")) << "no buffer is left";
        if (f.op >= kEncrypt) {
            EXPECT_EQ((std::vector<std::pair<SIZE_T, bool>>(f.cWiped, {128, true})), outcome.footprint.frees);
        }
        if (strFunction == "malloc") {
            NAMES calls = KeyLengths(f.op == kEncrypt ? 3 : f.op == kDecrypt ? 2 : 0);
            if (f.op == kVerify) {
                calls = {"CryptGetKeyParam", "CryptCreateHash", "CryptGetHashParam", "CryptSetHashParam",
                         "CryptDestroyHash"};
            }
            EXPECT_EQ(calls, outcome.calls) << "the allocation comes last";
        }
        const Outcome again = Perform(*pKey, rgGood[f.op]);
        ASSERT_STATUS(0, again.lStatus) << "the key stays usable";
        if (f.op == kSign) {
            EXPECT_EQ(signature, again.buffer);
        } else if (f.op != kVerify) {
            EXPECT_EQ(std::optional<Bytes>(plain),
                      f.op == kDecrypt ? Bytes(again.buffer.begin(), again.buffer.begin() + again.cbResult)
                                       : OpenSslDecrypt(testKey, again.buffer));
        }
    }
}

TEST_F(KspCAPIKeyContext, ThroughTheEntriesEachOperationCostsExactlyItsCallsAndOneBufferAtMost)
{
    MakeContainer(kAlder, kContainer, AT_KEYEXCHANGE, 2048);
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, kContainer, AT_KEYEXCHANGE, 0));
    const CapiHandles handles = HandlesOf(
        *static_cast<CKspCapiKeyContext *>(CKspProviderManager::GetInstance()->GetProvider(hProvider)->GetKey(hKey)));
    BCRYPT_PKCS1_PADDING_INFO sha512{TEXT("SHA512")};
    Bytes hash = PatternBytes(64, 1), plain = PatternBytes(100, 9), signature(256), ciphertext(256), output(245);
    DWORD cbResult = 0;
    NAMES verifyCalls = kSignCalls;
    verifyCalls[4] = "CryptVerifySignatureW";
    const struct {
        std::function<SECURITY_STATUS()> fnEntry;
        DWORD cbResult;
        std::vector<std::pair<SIZE_T, bool>> frees; // one working buffer at most, wiped when it held plaintext
        NAMES calls;
    } rgCases[] = {
        {[&] { return KspSignHash(hProvider, hKey, &sha512, hash.data(), 64, signature.data(), 256, &cbResult, 2); },
         256,
         {},
         kSignCalls},
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
        SECURITY_STATUS status = NTE_INTERNAL_ERROR;
        cbResult = 0;
        QvnPlatformClearCallLog();
        const Footprint footprint = MeasureModuleMemory([&] { status = rgCases[i].fnEntry(); });
        ASSERT_STATUS(0, status) << "case " << i;
        EXPECT_EQ(rgCases[i].cbResult, cbResult) << "case " << i;
        EXPECT_EQ(rgCases[i].frees.size(), footprint.cMallocs) << "case " << i;
        EXPECT_EQ(rgCases[i].frees, footprint.frees) << "case " << i;
        const std::vector<QVN_CALL_RECORD> log = CallsOf();
        ASSERT_EQ(rgCases[i].calls, CallNames()) << "case " << i;
        EXPECT_EQ(handles.hKey, log[0].hHandle);
        EXPECT_EQ(static_cast<DWORD>(KP_KEYLEN), log[0].dwParam);
        if (log.size() == 6) {
            EXPECT_EQ(handles.hContext, log[1].hHandle) << "the hash lives on the key's own context";
            EXPECT_EQ(static_cast<DWORD>(CALG_SHA_512), log[1].dwAlgId);
            EXPECT_EQ(static_cast<DWORD>(HP_HASHSIZE), log[2].dwParam);
            EXPECT_EQ(static_cast<DWORD>(HP_HASHVAL), log[3].dwParam);
            EXPECT_EQ(256u, log[4].cbData);
            for (size_t iCall = 3; iCall < 6; ++iCall) {
                EXPECT_EQ(log[2].hHandle, log[iCall].hHandle) << "the prepared hash, call " << iCall;
            }
        }
    }
    EXPECT_EQ(plain, Bytes(output.begin(), output.begin() + 100));
}

} // namespace
} // namespace unit
