// Encryption and decryption of the CAPI key object: PKCS #1 v1.5 both ways
// against OpenSSL, size queries and limits, every refusal with what it leaves
// alone, every CryptoAPI failure, the cost of a call, and the wiping of
// working buffers that may hold plaintext.
#include "CapiTestSupport.h"

#include "common/KspBytes.h"
#include "ksp/KspInterface.h"

#include <memory>
#include <optional>

namespace
{

using qvntest::OpenSslDecrypt;
using qvntest::OpenSslEncrypt;
using qvntest::PatternBytes;
using qvntest::Reversed;
using unit::Bytes;
using unit::CallLog;
using unit::CallNames;
using unit::kAlder;
using unit::StatusOf;
using unit::TestKey;

constexpr DWORD kUntouchedSize = 0xABCD1234;
constexpr BYTE kFill = 0xEE;

struct CryptOutcome {
    LONG lStatus = 0;
    DWORD cbResult = kUntouchedSize;
    Bytes output;              // the whole caller buffer afterwards
    unit::Footprint footprint; // of the operation alone
};

enum class Op { Encrypt, Decrypt };

struct CryptCall {
    Op op;
    Bytes input;
    DWORD cbOutput;
    VOID *pPaddingInfo = nullptr;
    DWORD dwFlags = NCRYPT_PAD_PKCS1_FLAG;
    bool fSizeQuery = false;
    bool fNullInput = false;
    bool fNullResult = false;
    DWORD nthMallocFailure = 0;
};

CryptOutcome RunCrypt(CKspCapiKeyContext &key, const CryptCall &call)
{
    CryptOutcome outcome;
    outcome.output.assign(call.cbOutput, kFill);
    Bytes input = call.input;
    const Bytes original = input;
    BYTE bEmpty = 0; // an empty input still has an address
    PBYTE pbInput = call.fNullInput ? nullptr : input.empty() ? &bEmpty : input.data();
    PBYTE pbOutput = call.fSizeQuery ? nullptr : outcome.output.data();
    DWORD *pcbResult = call.fNullResult ? nullptr : &outcome.cbResult;
    const DWORD cbInput = static_cast<DWORD>(input.size());
    outcome.footprint = unit::MeasureModuleMemory(
        [&] {
            outcome.lStatus = StatusOf([&] {
                if (call.op == Op::Encrypt) {
                    key.Encrypt(pbInput, cbInput, call.pPaddingInfo, pbOutput, call.cbOutput, pcbResult, call.dwFlags);
                } else {
                    key.Decrypt(pbInput, cbInput, call.pPaddingInfo, pbOutput, call.cbOutput, pcbResult, call.dwFlags);
                }
            });
        },
        call.nthMallocFailure);
    EXPECT_EQ(original, input) << "the input is never transformed in place";
    return outcome;
}

const char *NameOf(Op op)
{
    return op == Op::Encrypt ? "Encrypt" : "Decrypt";
}

class KspCAPICrypt : public unit::CapiTest
{
protected:
    std::unique_ptr<CKspCapiKeyContext> KeyOf(DWORD dwBits, DWORD dwKeySpec = AT_KEYEXCHANGE, int iVariant = 0)
    {
        const std::u16string strName = u"crypt " + qvntest::Wide(std::to_string(dwBits)) + u" " +
                                       qvntest::Wide(std::to_string(dwKeySpec)) + u" " +
                                       qvntest::Wide(std::to_string(iVariant));
        MakeContainer(kAlder, strName.c_str(), dwKeySpec, unit::KeyOfBits(dwBits, iVariant));
        std::unique_ptr<CKspCapiKeyContext> pKey = OpenKeyObject(kAlder, strName.c_str(), dwKeySpec);
        QvnPlatformClearCallLog();
        return pKey;
    }

    static CryptOutcome Encrypt(CKspCapiKeyContext &key, const Bytes &plaintext, DWORD cbOutput)
    {
        return RunCrypt(key, CryptCall{Op::Encrypt, plaintext, cbOutput});
    }
    static CryptOutcome Decrypt(CKspCapiKeyContext &key, const Bytes &ciphertext, DWORD cbOutput)
    {
        return RunCrypt(key, CryptCall{Op::Decrypt, ciphertext, cbOutput});
    }
};

TEST_F(KspCAPICrypt, CiphertextFromEncryptDecryptsWithOpenSsl)
{
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u}) {
        const TestKey &testKey = unit::KeyOfBits(dwBits);
        std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(dwBits);
        ASSERT_NE(nullptr, pKey);
        const DWORD cbKey = BitsToBytes(dwBits);
        for (DWORD cbPlain : {0u, 1u, 17u, cbKey - 11}) {
            SCOPED_TRACE(std::to_string(dwBits) + " bits, " + std::to_string(cbPlain) + " bytes");
            const Bytes plaintext = PatternBytes(cbPlain, dwBits + cbPlain);
            QvnPlatformClearCallLog();
            const CryptOutcome outcome = Encrypt(*pKey, plaintext, cbKey);
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(cbKey, outcome.cbResult);
            EXPECT_EQ(std::optional<Bytes>(plaintext), OpenSslDecrypt(testKey, outcome.output));

            const std::vector<QVN_CALL_RECORD> encrypted = unit::CallsOf("CryptEncrypt");
            ASSERT_EQ(1u, encrypted.size());
            EXPECT_EQ(cbPlain, encrypted[0].cbData);
            EXPECT_EQ(cbKey, encrypted[0].dwBufLen);
            EXPECT_EQ(0u, encrypted[0].dwFlags);
            EXPECT_EQ(unit::CapiKeyOf(*pKey), encrypted[0].hHandle);
        }
    }
}

TEST_F(KspCAPICrypt, CiphertextFromOpenSslDecryptsWithDecrypt)
{
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u}) {
        const TestKey &testKey = unit::KeyOfBits(dwBits);
        std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(dwBits);
        ASSERT_NE(nullptr, pKey);
        const DWORD cbKey = BitsToBytes(dwBits);
        for (DWORD cbPlain : {0u, 1u, 50u, cbKey - 11}) {
            SCOPED_TRACE(std::to_string(dwBits) + " bits, " + std::to_string(cbPlain) + " bytes");
            const Bytes plaintext = PatternBytes(cbPlain, cbPlain + 3);
            const CryptOutcome outcome = Decrypt(*pKey, OpenSslEncrypt(testKey, plaintext), cbKey - 11);
            ASSERT_STATUS(0, outcome.lStatus);
            EXPECT_EQ(cbPlain, outcome.cbResult);
            EXPECT_EQ(plaintext, Bytes(outcome.output.begin(), outcome.output.begin() + cbPlain));
            EXPECT_EQ(Bytes(cbKey - 11 - cbPlain, kFill), Bytes(outcome.output.begin() + cbPlain, outcome.output.end()))
                << "nothing is written beyond the plaintext";
        }
    }
}

TEST_F(KspCAPICrypt, CiphertextIsTheReverseOfWhatCryptDecryptTakes)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes plaintext = PatternBytes(40, 1);
    const CryptOutcome outcome = Encrypt(*pKey, plaintext, 128);
    ASSERT_STATUS(0, outcome.lStatus);

    HCRYPTPROV hProv = 0;
    HCRYPTKEY hKey = 0;
    ASSERT_TRUE(CryptAcquireContextW(&hProv, TEXT("crypt 1024 1 0"), kAlder, PROV_RSA_FULL, 0));
    ASSERT_TRUE(CryptGetUserKey(hProv, AT_KEYEXCHANGE, &hKey));
    Bytes buffer = Reversed(outcome.output);
    DWORD cbData = 128;
    const BOOL fDecrypted = CryptDecrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData);
    CryptDestroyKey(hKey);
    CryptReleaseContext(hProv, 0);
    ASSERT_TRUE(fDecrypted);
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + cbData));
}

TEST_F(KspCAPICrypt, InputAndOutputMayBeOneBuffer)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes plaintext = PatternBytes(100, 2);
    Bytes buffer(128, 0);
    std::copy(plaintext.begin(), plaintext.end(), buffer.begin());
    DWORD cbResult = 0;
    ASSERT_STATUS(0, StatusOf([&] {
                      pKey->Encrypt(buffer.data(), 100, nullptr, buffer.data(), 128, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_EQ(128u, cbResult);
    EXPECT_EQ(std::optional<Bytes>(plaintext), OpenSslDecrypt(unit::KeyOfBits(1024), buffer));

    ASSERT_STATUS(0, StatusOf([&] {
                      pKey->Decrypt(buffer.data(), 128, nullptr, buffer.data(), 128, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
                  }));
    EXPECT_EQ(100u, cbResult);
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + 100));
}

TEST_F(KspCAPICrypt, SizeQueriesAskOnlyTheKeyLength)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    const struct {
        Op op;
        Bytes input;
        DWORD cbExpected;
    } rgCases[] = {
        {Op::Encrypt, PatternBytes(10, 1), 256},
        {Op::Encrypt, PatternBytes(245, 1), 256},
        {Op::Decrypt, Bytes(256, 0xFF), 245}, // the ciphertext is not looked at
    };
    for (const auto &c : rgCases) {
        CryptCall call{c.op, c.input, 0};
        call.fSizeQuery = true;
        QvnPlatformClearCallLog();
        const CryptOutcome outcome = RunCrypt(*pKey, call);
        EXPECT_EQ(0u, outcome.footprint.cMallocs) << NameOf(c.op);
        EXPECT_STATUS(0, outcome.lStatus) << NameOf(c.op);
        EXPECT_EQ(c.cbExpected, outcome.cbResult) << NameOf(c.op);
        EXPECT_EQ((std::vector<std::string>{"CryptGetKeyParam", "CryptGetKeyParam"}), CallNames()) << NameOf(c.op);
    }
}

TEST_F(KspCAPICrypt, LengthLimitsOfAKey)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(2048);
    ASSERT_NE(nullptr, pKey);
    const TestKey &testKey = unit::KeyOfBits(2048);
    const struct {
        const char *pszWhat;
        CryptCall call;
        LONG lStatus;
    } rgCases[] = {
        {"encrypt 245 bytes", {Op::Encrypt, PatternBytes(245, 1), 256}, 0},
        {"encrypt 246 bytes", {Op::Encrypt, PatternBytes(246, 1), 256}, NTE_INVALID_PARAMETER},
        {"encrypt 246 bytes, size query",
         {Op::Encrypt, PatternBytes(246, 1), 0, nullptr, 2, true},
         NTE_INVALID_PARAMETER},
        {"encrypt into 255 bytes", {Op::Encrypt, PatternBytes(10, 1), 255}, NTE_BUFFER_TOO_SMALL},
        {"decrypt 255 bytes", {Op::Decrypt, Bytes(255, 1), 256}, NTE_INVALID_PARAMETER},
        {"decrypt 257 bytes", {Op::Decrypt, Bytes(257, 1), 256}, NTE_INVALID_PARAMETER},
        {"decrypt 0 bytes", {Op::Decrypt, Bytes(), 256}, NTE_INVALID_PARAMETER},
        {"decrypt 257 bytes, size query", {Op::Decrypt, Bytes(257, 1), 0, nullptr, 2, true}, NTE_INVALID_PARAMETER},
        {"decrypt into 244 bytes",
         {Op::Decrypt, OpenSslEncrypt(testKey, PatternBytes(3, 1)), 244},
         NTE_BUFFER_TOO_SMALL},
    };
    for (const auto &c : rgCases) {
        const CryptOutcome outcome = RunCrypt(*pKey, c.call);
        EXPECT_STATUS(c.lStatus, outcome.lStatus) << c.pszWhat;
        if (c.lStatus != 0) {
            EXPECT_EQ(kUntouchedSize, outcome.cbResult) << c.pszWhat;
            EXPECT_EQ(Bytes(c.call.cbOutput, kFill), outcome.output) << c.pszWhat;
        }
    }
    // 245 bytes of output suffice for any plaintext of the key.
    const CryptOutcome outcome = Decrypt(*pKey, OpenSslEncrypt(testKey, PatternBytes(3, 1)), 245);
    EXPECT_STATUS(0, outcome.lStatus);
    EXPECT_EQ(3u, outcome.cbResult);
    EXPECT_EQ(PatternBytes(3, 1), Bytes(outcome.output.begin(), outcome.output.begin() + 3));
}

TEST_F(KspCAPICrypt, EmptyPlaintextReachesCryptEncrypt)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    BYTE bUnused = 0;
    Bytes output(128, kFill);
    DWORD cbResult = 0;
    ASSERT_STATUS(0, StatusOf([&] {
                      pKey->Encrypt(&bUnused, 0, nullptr, output.data(), 128, &cbResult, NCRYPT_PAD_PKCS1_FLAG);
                  }));
    const std::vector<QVN_CALL_RECORD> encrypted = unit::CallsOf("CryptEncrypt");
    ASSERT_EQ(1u, encrypted.size());
    EXPECT_EQ(0u, encrypted[0].cbData);
    EXPECT_EQ(128u, encrypted[0].dwBufLen);
    EXPECT_EQ(std::optional<Bytes>(Bytes()), OpenSslDecrypt(unit::KeyOfBits(1024), output));
}

TEST_F(KspCAPICrypt, RefusalsComeInOrderAndTouchNothing)
{
    std::unique_ptr<CKspCapiKeyContext> pExchange = KeyOf(1024);
    std::unique_ptr<CKspCapiKeyContext> pSignature = KeyOf(1024, AT_SIGNATURE);
    ASSERT_NE(nullptr, pExchange);
    ASSERT_NE(nullptr, pSignature);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{TEXT("SHA256")};
    BCRYPT_PKCS1_PADDING_INFO pkcs1NoName{nullptr};
    BCRYPT_PSS_PADDING_INFO pss{TEXT("SHA1"), 20};
    const Bytes plaintext = PatternBytes(10, 1);
    const Bytes ciphertext = OpenSslEncrypt(unit::KeyOfBits(1024), plaintext);

    struct Case {
        const char *pszWhat;
        bool fSignatureKey;
        CryptCall call;
        LONG lStatus;
        size_t cKeyLengthCalls; // CryptGetKeyParam calls made before the refusal
    };
    std::vector<Case> cases;
    for (Op op : {Op::Encrypt, Op::Decrypt}) {
        const Bytes &input = op == Op::Encrypt ? plaintext : ciphertext;
        for (DWORD dwFlags : {0x0u, 0x1u, 0x3u, 0x4u, 0x8u, 0x40u, 0x42u, 0xFFFFFFFFu}) {
            cases.push_back({"flags", false, {op, input, 128, &pkcs1, dwFlags}, NTE_BAD_FLAGS, 0});
            cases.push_back({"flags, size query", true, {op, input, 0, nullptr, dwFlags, true}, NTE_BAD_FLAGS, 0});
        }
        for (VOID *pPadding :
             {static_cast<VOID *>(&pkcs1), static_cast<VOID *>(&pkcs1NoName), static_cast<VOID *>(&pss)}) {
            cases.push_back({"padding info", false, {op, input, 128, pPadding}, NTE_INVALID_PARAMETER, 0});
            cases.push_back(
                {"padding info, signature key", true, {op, input, 128, pPadding}, NTE_INVALID_PARAMETER, 0});
        }
        cases.push_back({"signature key", true, {op, input, 128}, NTE_PERM, 0});
        cases.push_back({"signature key, size query", true, {op, input, 0, nullptr, 2, true}, NTE_PERM, 0});
        CryptCall nullInput{op, input, 128};
        nullInput.fNullInput = true;
        cases.push_back({"null input", false, nullInput, NTE_INVALID_PARAMETER, 0});
        CryptCall nullResult{op, input, 128};
        nullResult.fNullResult = true;
        cases.push_back({"null result size", false, nullResult, NTE_INVALID_PARAMETER, 1});
        nullResult.fSizeQuery = true;
        cases.push_back({"null result size, size query", false, nullResult, NTE_INVALID_PARAMETER, 1});
    }
    for (const Case &c : cases) {
        QvnPlatformClearCallLog();
        const CryptOutcome outcome = RunCrypt(c.fSignatureKey ? *pSignature : *pExchange, c.call);
        const std::string strWhat = std::string(NameOf(c.call.op)) + ": " + c.pszWhat;
        EXPECT_STATUS(c.lStatus, outcome.lStatus) << strWhat << " flags " << c.call.dwFlags;
        EXPECT_EQ(kUntouchedSize, outcome.cbResult) << strWhat;
        EXPECT_EQ(Bytes(c.call.cbOutput, kFill), outcome.output) << strWhat;
        EXPECT_EQ(std::vector<std::string>(c.cKeyLengthCalls, "CryptGetKeyParam"), CallNames()) << strWhat;
    }
}

TEST_F(KspCAPICrypt, CiphertextOfAnotherKeyIsADecryptionFailureAndIsWiped)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes foreign = OpenSslEncrypt(unit::KeyOfBits(1024, 1), PatternBytes(20, 4));
    const CryptOutcome outcome = Decrypt(*pKey, foreign, 128);
    const std::vector<unit::ModuleFree> &frees = outcome.footprint.frees;
    EXPECT_STATUS(NTE_DECRYPTION_FAILURE, outcome.lStatus);
    EXPECT_EQ(0u, outcome.cbResult) << "cleared before the working buffer was made";
    EXPECT_EQ(Bytes(128, kFill), outcome.output);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(128u, frees[0].cbBlock);
    EXPECT_TRUE(frees[0].fAllZero);
    EXPECT_EQ(1u, outcome.footprint.cMallocs);
}

struct CryptFailure {
    Op op;
    const char *pszFunction;
    DWORD nthCall;
    DWORD dwError;
    LONG lStatus;
    bool fResultCleared; // the failure comes after *pcbResult was set to 0
    bool fBufferMade;    // the working buffer existed when it failed
};

TEST_F(KspCAPICrypt, EachFailingCryptoApiCallLeavesNothingBehind)
{
    const TestKey &testKey = unit::KeyOfBits(1024);
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes plaintext = PatternBytes(60, 5);
    const Bytes ciphertext = OpenSslEncrypt(testKey, plaintext);
    const DWORD dwFail = static_cast<DWORD>(NTE_FAIL);
    const DWORD dwSilent = static_cast<DWORD>(NTE_SILENT_CONTEXT);
    const CryptFailure rgFailures[] = {
        {Op::Encrypt, "CryptGetKeyParam", 1, dwFail, NTE_FAIL, false, false},
        {Op::Encrypt, "CryptGetKeyParam", 2, dwSilent, NTE_UI_REQUIRED, false, false},
        {Op::Encrypt, "CryptGetKeyParam", 3, dwFail, NTE_FAIL, true, false},
        {Op::Encrypt, "CryptEncrypt", 1, dwFail, NTE_FAIL, true, true},
        {Op::Encrypt, "CryptEncrypt", 1, static_cast<DWORD>(NTE_BAD_DATA), NTE_BAD_DATA, true, true},
        {Op::Encrypt, "CryptEncrypt", 1, dwSilent, NTE_UI_REQUIRED, true, true},
        {Op::Decrypt, "CryptGetKeyParam", 1, dwFail, NTE_FAIL, false, false},
        {Op::Decrypt, "CryptGetKeyParam", 2, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false, false},
        {Op::Decrypt, "CryptDecrypt", 1, static_cast<DWORD>(NTE_BAD_DATA), NTE_DECRYPTION_FAILURE, true, true},
        {Op::Decrypt, "CryptDecrypt", 1, dwFail, NTE_FAIL, true, true},
        {Op::Decrypt, "CryptDecrypt", 1, dwSilent, NTE_UI_REQUIRED, true, true},
        {Op::Decrypt, "CryptDecrypt", 1, static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY, true, true},
    };
    const unit::LiveHandles before = unit::LiveNow();
    for (const CryptFailure &f : rgFailures) {
        SCOPED_TRACE(std::string(NameOf(f.op)) + ": " + f.pszFunction + " #" + std::to_string(f.nthCall) + " fails");
        const CryptCall call{f.op, f.op == Op::Encrypt ? plaintext : ciphertext, 128};
        QvnPlatformFailCall(f.pszFunction, f.nthCall, f.dwError);
        const CryptOutcome outcome = RunCrypt(*pKey, call);
        const std::vector<unit::ModuleFree> &frees = outcome.footprint.frees;
        QvnPlatformClearFailures();

        EXPECT_STATUS(f.lStatus, outcome.lStatus);
        EXPECT_EQ(f.fResultCleared ? 0u : kUntouchedSize, outcome.cbResult);
        EXPECT_EQ(Bytes(128, kFill), outcome.output);
        EXPECT_EQ(before, unit::LiveNow());
        EXPECT_TRUE(unit::LeftNothing(outcome.footprint, false)) << "no buffer remains";
        if (f.fBufferMade) {
            ASSERT_EQ(1u, frees.size());
            EXPECT_EQ(128u, frees[0].cbBlock);
            EXPECT_TRUE(frees[0].fAllZero) << "a failure wipes the working buffer";
        } else {
            EXPECT_TRUE(frees.empty());
        }

        const CryptOutcome again = RunCrypt(*pKey, call);
        ASSERT_STATUS(0, again.lStatus) << "the key stays usable";
        if (f.op == Op::Decrypt) {
            EXPECT_EQ(plaintext, Bytes(again.output.begin(), again.output.begin() + again.cbResult));
        } else {
            EXPECT_EQ(std::optional<Bytes>(plaintext), OpenSslDecrypt(testKey, again.output));
        }
    }
}

TEST_F(KspCAPICrypt, WorkingBufferWithoutMemoryIsNoMemory)
{
    std::unique_ptr<CKspCapiKeyContext> pKey = KeyOf(1024);
    ASSERT_NE(nullptr, pKey);
    const Bytes ciphertext = OpenSslEncrypt(unit::KeyOfBits(1024), PatternBytes(8, 1));
    const unit::LiveHandles before = unit::LiveNow();
    for (Op op : {Op::Encrypt, Op::Decrypt}) {
        CryptCall call{op, op == Op::Encrypt ? PatternBytes(8, 1) : ciphertext, 128};
        call.nthMallocFailure = 1;
        QvnPlatformClearCallLog();
        const CryptOutcome outcome = RunCrypt(*pKey, call);
        EXPECT_STATUS(NTE_NO_MEMORY, outcome.lStatus) << NameOf(op);
        EXPECT_EQ(0u, outcome.cbResult) << NameOf(op);
        EXPECT_EQ(Bytes(128, kFill), outcome.output);
        EXPECT_EQ(0u, QvnPlatformCountCalls(op == Op::Encrypt ? "CryptEncrypt" : "CryptDecrypt"));
        EXPECT_EQ(before, unit::LiveNow());
        EXPECT_TRUE(unit::LeftNothing(outcome.footprint, true));
    }
}

TEST_F(KspCAPICrypt, EncryptionCostsOneWorkingBufferAndItsFourCalls)
{
    MakeContainer(kAlder, TEXT("encrypt cost"), AT_KEYEXCHANGE, unit::KeyOfBits(2048));
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, TEXT("encrypt cost"), AT_KEYEXCHANGE, 0));

    Bytes plaintext = PatternBytes(32, 1);
    Bytes ciphertext(256);
    DWORD cbResult = 0;
    QvnPlatformClearCallLog();
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    const unit::Footprint footprint = unit::MeasureModuleMemory([&] {
        status = KspEncrypt(hProvider, hKey, plaintext.data(), 32, nullptr, ciphertext.data(), 256, &cbResult,
                            NCRYPT_PAD_PKCS1_FLAG);
    });
    const DWORD cMallocs = footprint.cMallocs;
    const std::vector<unit::ModuleFree> &frees = footprint.frees;
    ASSERT_STATUS(0, status);
    EXPECT_EQ(256u, cbResult);
    EXPECT_EQ(1u, cMallocs);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(256u, frees[0].cbBlock);
    EXPECT_EQ((std::vector<std::string>{"CryptGetKeyParam", "CryptGetKeyParam", "CryptGetKeyParam", "CryptEncrypt"}),
              CallNames());
}

TEST_F(KspCAPICrypt, DecryptionCostsOneWorkingBufferWipedBeforeRelease)
{
    MakeContainer(kAlder, TEXT("decrypt cost"), AT_KEYEXCHANGE, unit::KeyOfBits(2048));
    NCRYPT_PROV_HANDLE hProvider = 0;
    NCRYPT_KEY_HANDLE hKey = 0;
    ASSERT_STATUS(0, KspOpenProvider(&hProvider, kAlder, 0));
    ASSERT_STATUS(0, KspOpenKey(hProvider, &hKey, TEXT("decrypt cost"), AT_KEYEXCHANGE, 0));

    const Bytes plaintext = PatternBytes(100, 9);
    Bytes ciphertext = OpenSslEncrypt(unit::KeyOfBits(2048), plaintext);
    Bytes output(245, kFill);
    DWORD cbResult = 0;
    QvnPlatformClearCallLog();
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    const unit::Footprint footprint = unit::MeasureModuleMemory([&] {
        status = KspDecrypt(hProvider, hKey, ciphertext.data(), 256, nullptr, output.data(), 245, &cbResult,
                            NCRYPT_PAD_PKCS1_FLAG);
    });
    const DWORD cMallocs = footprint.cMallocs;
    const std::vector<unit::ModuleFree> &frees = footprint.frees;
    ASSERT_STATUS(0, status);
    EXPECT_EQ(100u, cbResult);
    EXPECT_EQ(plaintext, Bytes(output.begin(), output.begin() + 100));
    EXPECT_EQ(1u, cMallocs);
    ASSERT_EQ(1u, frees.size());
    EXPECT_EQ(256u, frees[0].cbBlock);
    EXPECT_TRUE(frees[0].fAllZero) << "the plaintext is wiped from the working buffer";

    const std::vector<QVN_CALL_RECORD> log = CallLog();
    ASSERT_EQ((std::vector<std::string>{"CryptGetKeyParam", "CryptGetKeyParam", "CryptDecrypt"}), CallNames());
    EXPECT_EQ(256u, log[2].cbData);
    EXPECT_EQ(0u, log[2].dwFlags);
}

} // namespace
