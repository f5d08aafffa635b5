// Signing, verifying, encrypting and decrypting, PKCS #1 v1.5 only, on Alder's
// main container. The judge checks what the module makes and the module what
// the judge makes (signatures are deterministic: the judge's own must be the
// same bytes). Every refusal leaves the caller's buffers as they were.
#include "E2E.h"

namespace e2e
{
namespace
{

// Every flag value but NCRYPT_PAD_PKCS1_FLAG alone, refused by all four operations.
const Dwords kNotPkcs1Alone = {0u,
                               DWORD(NCRYPT_PAD_OAEP_FLAG),
                               DWORD(NCRYPT_PAD_PSS_FLAG),
                               DWORD(NCRYPT_NO_PADDING_FLAG),
                               kPkcs1 | NCRYPT_SILENT_FLAG,
                               kPkcs1 | NCRYPT_PAD_PSS_FLAG,
                               kPkcs1 | NCRYPT_NO_PADDING_FLAG,
                               0xFFFFFFFFu};

// A named algorithm signs its DigestInfo; without a name (no padding
// information, or none in it) the bare hash value is signed, its algorithm
// chosen by its length. Either key pair signs.
TEST_F(AlderTest, EveryHashAlgorithmIsSignedAsTheJudgeSignsIt)
{
    const std::pair<LPCWSTR, size_t> algorithms[] = {
        {TEXT("SHA1"), 20}, {TEXT("SHA256"), 32}, {TEXT("SHA384"), 48}, {TEXT("SHA512"), 64}, {TEXT("MD2"), 16},
        {TEXT("MD4"), 16},  {TEXT("MD5"), 16},    {nullptr, 16},        {nullptr, 20},        {nullptr, 32},
        {nullptr, 36},      {nullptr, 48},        {nullptr, 64}};
    for (const auto &alg : algorithms) {
        for (int iVariant = 0; iVariant < (alg.first == nullptr ? 4 : 2); ++iVariant) {
            const DWORD dwKeySpec = iVariant % 2 == 0 ? AT_KEYEXCHANGE : AT_SIGNATURE;
            const KeyPair &pair = Keys().Main(0, dwKeySpec);
            const std::string l =
                (alg.first ? "named-" : "bare-") + std::to_string(alg.second) + "-" + std::to_string(iVariant);
            const NCRYPT_KEY_HANDLE hKey = dwKeySpec == AT_KEYEXCHANGE ? m_hExchange : m_hSignature;
            BCRYPT_PKCS1_PADDING_INFO info = {alg.first};
            VOID *pPadding = iVariant >= 2 ? nullptr : &info;
            const Bytes hash = Pattern(alg.second, static_cast<BYTE>(alg.second + iVariant));
            const Out signature = Sign(l.c_str(), m_hProvider, hKey, pPadding, hash, pair.cb);
            EXPECT_EQ(0, signature.status) << l;
            EXPECT_EQ(pair.cb, signature.cb) << l;
            EXPECT_EQ(0, Verify(l.c_str(), m_hProvider, hKey, pPadding, hash, signature.bytes)) << l;
            if (alg.first != nullptr) { // the DigestInfo is part of what was signed
                EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("as-bare", m_hProvider, hKey, nullptr, hash, signature.bytes)) << l;
            }
            if (JudgeCanCheck(alg.first)) { // else (Wine's BCrypt) the module's side is checked and recorded
                EXPECT_EQ(Hex(pair.pJudge->Sign(alg.first, hash)), Hex(signature.bytes)) << l;
            }
        }
    }
}

// Flags, algorithm names and hash lengths are refused before the CSP sees
// anything; the size is cleared only once flags and buffers have passed. A
// hash value must be given, even for a size query, and a place for the size.
TEST_F(AlderTest, SignAndVerifyRefuseFlagsNamesLengthsAndMissingBuffers)
{
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    Bytes good = Sign("good", m_hProvider, m_hExchange, &sha256, Pattern(32, 0x51), kExchangeBytes).bytes;
    auto expectRefused = [&](const char *l, DWORD dwFlags, LPCWSTR pszAlgId, size_t cbHash, SECURITY_STATUS expected) {
        BCRYPT_PKCS1_PADDING_INFO padding = {pszAlgId};
        const Bytes hash = Pattern(cbHash, 0x52);
        const Out out = Sign(l, m_hProvider, m_hExchange, &padding, hash, kExchangeBytes, dwFlags);
        EXPECT_EQ(expected, out.status) << l << " " << dwFlags << " " << cbHash;
        EXPECT_EQ(expected == NTE_BAD_FLAGS ? 0xDEADu : 0u, out.cb) << l;
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes) << l;
        EXPECT_EQ(expected, Verify(l, m_hProvider, m_hExchange, &padding, hash, good, dwFlags)) << l;
    };
    for (DWORD dwFlags : kNotPkcs1Alone) {
        expectRefused("flags", dwFlags, TEXT("SHA256"), 32, NTE_BAD_FLAGS);
    }
    for (LPCWSTR pszAlgId : {TEXT("sha256"), TEXT("SHA256 "), TEXT(""), TEXT("RSA")}) {
        expectRefused("name", kPkcs1, pszAlgId, 32, NTE_INVALID_PARAMETER);
    }
    for (const auto &alg : {std::make_pair(TEXT("SHA256"), 20), std::make_pair(TEXT("SHA1"), 32),
                            std::make_pair(TEXT("MD5"), 20), std::make_pair(TEXT("SHA384"), 64)}) {
        expectRefused("length", kPkcs1, alg.first, alg.second, NTE_INVALID_PARAMETER);
    }
    for (size_t cbHash : {15, 17, 28, 33, 65}) {
        expectRefused("bare-length", kPkcs1, nullptr, cbHash, NTE_INVALID_PARAMETER);
    }
    BYTE rgbHash[32] = {};
    DWORD cbResult = 0xDEAD;
    const SECURITY_STATUS statuses[] = {
        // sign: null hash, empty hash, null result; verify: null hash, empty hash, null signature
        KSP(SignHash, "null-hash", m_hProvider, m_hExchange, &sha256, nullptr, 32, nullptr, 0, Size{&cbResult}, kPkcs1),
        KSP(SignHash, "empty-hash", m_hProvider, m_hExchange, &sha256, rgbHash, 0, good.data(), kExchangeBytes,
            Size{&cbResult}, kPkcs1),
        KSP(SignHash, "null-result", m_hProvider, m_hExchange, &sha256, rgbHash, 32, nullptr, 0, nullptr, kPkcs1),
        KSP(VerifySignature, "null-hash", m_hProvider, m_hExchange, &sha256, nullptr, 32, good.data(), kExchangeBytes,
            kPkcs1),
        KSP(VerifySignature, "empty-hash", m_hProvider, m_hExchange, &sha256, rgbHash, 0, good.data(), kExchangeBytes,
            kPkcs1),
        KSP(VerifySignature, "null-signature", m_hProvider, m_hExchange, &sha256, rgbHash, 32, nullptr, kExchangeBytes,
            kPkcs1)};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(NTE_INVALID_PARAMETER, statuses[i]) << "call " << i;
    }
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(0, Verify("good-untouched", m_hProvider, m_hExchange, &sha256, Pattern(32, 0x51), good));
}

// A signature is exactly the key length: a size query answers it without
// looking at the algorithm, a longer buffer is written as far as the key
// length. In VerifySignature a signature of another length is an invalid
// parameter, not a bad signature.
TEST_F(AlderTest, SignatureIsTheKeyLength)
{
    const Bytes hash = Pattern(32, 0x56);
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")}, bogus = {TEXT("Bogus")};
    for (const auto &key :
         {std::make_pair(m_hExchange, kExchangeBytes), std::make_pair(m_hSignature, kSignatureBytes)}) {
        for (VOID *pPadding : {static_cast<VOID *>(&bogus), static_cast<VOID *>(nullptr)}) {
            DWORD cbResult = 0xDEAD;
            EXPECT_EQ(0, KSP(SignHash, "size", m_hProvider, key.first, pPadding, const_cast<BYTE *>(hash.data()), 28,
                             nullptr, 0, Size{&cbResult}, kPkcs1));
            EXPECT_EQ(key.second, cbResult);
        }
    }
    Out larger = Sign("larger", m_hProvider, m_hExchange, &sha256, hash, kExchangeBytes + 44);
    EXPECT_EQ(kExchangeBytes, larger.cb);
    EXPECT_EQ(Bytes(44, 0xCC), Bytes(larger.bytes.begin() + kExchangeBytes, larger.bytes.end()));
    larger.bytes.resize(kExchangeBytes);
    EXPECT_EQ(Hex(Judge().Sign(TEXT("SHA256"), hash)), Hex(larger.bytes));
    Bytes longer = larger.bytes, otherHash = Pattern(32, 0x57);
    longer.push_back(0);
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("one-short", m_hProvider, m_hExchange, &sha256, hash,
                                            Bytes(larger.bytes.begin(), larger.bytes.end() - 1)));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("one-long", m_hProvider, m_hExchange, &sha256, hash, longer));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("other-key", m_hProvider, m_hSignature, &sha256, hash, larger.bytes));
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("other-hash", m_hProvider, m_hExchange, &sha256, otherHash, larger.bytes));
}

// Unlike most CNG providers, the bridge does not tell the caller the size it
// needs when the buffer is short: the size is left as it was (0xDEAD here)
// and so is the buffer. The caller asks with a null buffer first.
TEST_F(AlderTest, SignHashIntoTooSmallBufferIsBufferTooSmallWithoutTheSize)
{
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    for (const auto &key :
         {std::make_pair(m_hExchange, kExchangeBytes), std::make_pair(m_hSignature, kSignatureBytes)}) {
        const Out out = Sign("one-short", m_hProvider, key.first, &sha256, Pattern(32, 0x56), key.second - 1);
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, out.status);
        EXPECT_EQ(0xDEADu, out.cb);
        EXPECT_EQ(Bytes(key.second - 1, 0xCC), out.bytes);
    }
}

// Plaintexts from none up to the key length less eleven bytes go round: the
// judge decrypts the module's ciphertext, and so does the module; room for
// the largest plaintext is enough, however short this one is.
TEST_F(AlderTest, PlaintextsUpToTheKeyLengthLessElevenBytes)
{
    for (size_t cb : {size_t(0), size_t(1), size_t(kMaxPlaintext)}) {
        const Bytes plaintext = Pattern(cb, 0x71);
        const Out ciphertext = Crypt(true, "plaintext", m_hProvider, m_hExchange, plaintext, kExchangeBytes);
        EXPECT_EQ(kExchangeBytes, ciphertext.cb) << cb;
        EXPECT_EQ(plaintext, Judge().Decrypt(ciphertext.bytes).value_or(Bytes(1, 0xEE))) << cb;
        const Out decrypted = Crypt(false, "plaintext", m_hProvider, m_hExchange, ciphertext.bytes, kMaxPlaintext);
        Bytes expected = plaintext;
        expected.resize(kMaxPlaintext, 0xCC);
        EXPECT_EQ(plaintext.size(), decrypted.cb) << cb;
        EXPECT_EQ(Hex(expected), Hex(decrypted.bytes)) << cb;
    }
}

// Every refusal comes before CryptoAPI is asked and leaves the size and the
// output as they were; size queries answer without looking at the data.
// Flags, then padding information, are refused first, by both.
class CryptRefusalTest : public AlderTest
{
protected:
    enum { kNullInput = 1, kNullOutput = 2, kNullResult = 4, kSignatureKey = 8 };
    void Expect(SECURITY_STATUS expected, DWORD cbAfter, const char *l, bool fEncrypt, DWORD cbInput, DWORD cbOutput,
                int fWhat = 0, DWORD dwFlags = kPkcs1, VOID *pPadding = nullptr)
    {
        Bytes input = Pattern(cbInput, 0x75), output(256, 0xCC);
        input.reserve(1);
        DWORD cbResult = 0xDEAD;
        EXPECT_EQ(expected,
                  Call(fEncrypt ? "Encrypt" : "Decrypt", l, m_pTable, fEncrypt ? m_pTable->Encrypt : m_pTable->Decrypt,
                       m_hProvider, fWhat & kSignatureKey ? m_hSignature : m_hExchange,
                       fWhat & kNullInput ? nullptr : input.data(), cbInput, pPadding,
                       fWhat & kNullOutput ? nullptr : output.data(), cbOutput,
                       Size{fWhat & kNullResult ? nullptr : &cbResult}, dwFlags))
            << l;
        EXPECT_EQ(cbAfter, cbResult) << l;
        EXPECT_EQ(Bytes(256, 0xCC), output) << l;
    }
};

TEST_F(CryptRefusalTest, EncryptAndDecryptRefusalsAndSizeQueries)
{
    BCRYPT_PKCS1_PADDING_INFO named = {TEXT("SHA256")}, unnamed = {nullptr};
    Expect(0, kExchangeBytes, "encrypt-size", true, 10, 0, kNullOutput);
    Expect(0, kMaxPlaintext, "decrypt-size", false, 256, 0, kNullOutput);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "encrypt-246", true, 246, 256);
    for (DWORD cbInput : Dwords{0, 255, 257}) {
        Expect(NTE_INVALID_PARAMETER, 0xDEAD, "decrypt-length", false, cbInput, 256);
    }
    Expect(NTE_BUFFER_TOO_SMALL, 0xDEAD, "encrypt-out-255", true, 10, 255);
    Expect(NTE_BUFFER_TOO_SMALL, 0xDEAD, "decrypt-out-244", false, 256, 244);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "encrypt-null-input", true, 16, 256, kNullInput);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "decrypt-null-input", false, 256, 256, kNullInput);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "encrypt-null-result", true, 10, 0, kNullOutput | kNullResult);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "decrypt-null-result", false, 256, 256, kNullResult);
    Expect(NTE_PERM, 0xDEAD, "encrypt-signature-key", true, 10, 256, kSignatureKey);
    Expect(NTE_PERM, 0xDEAD, "decrypt-size-signature-key", false, 128, 0, kNullOutput | kSignatureKey);
    for (DWORD dwFlags : kNotPkcs1Alone) { // before the key and the padding information are looked at
        Expect(NTE_BAD_FLAGS, 0xDEAD, "encrypt-flags", true, 16, 256, kSignatureKey, dwFlags, &named);
        Expect(NTE_BAD_FLAGS, 0xDEAD, "decrypt-flags", false, 256, 256, kSignatureKey, dwFlags, &named);
        Expect(NTE_BAD_FLAGS, 0xDEAD, "encrypt-flags-exchange-key", true, 16, 256, 0, dwFlags);
    }
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "encrypt-padding-info", true, 16, 256, kSignatureKey, kPkcs1, &named);
    Expect(NTE_INVALID_PARAMETER, 0xDEAD, "decrypt-padding-info", false, 256, 0, kNullOutput | kSignatureKey, kPkcs1,
           &unnamed);
}

// CryptoAPI's NTE_BAD_DATA, for a block that is no ciphertext, is a
// decryption failure; the size was cleared before the
// call; the key stays usable; input and output may be one buffer.
TEST_F(AlderTest, CiphertextThatDoesNotDecryptIsADecryptionFailure)
{
    const Bytes plaintext = Pattern(24, 0x7B);
    Bytes undecryptable(kExchangeBytes, 0x00);
    undecryptable.back() = 0x01; // 1 to any power is 1: no PKCS #1 padding for any key
    const Out out = Crypt(false, "undecryptable", m_hProvider, m_hExchange, undecryptable, kMaxPlaintext);
    EXPECT_EQ(NTE_DECRYPTION_FAILURE, out.status);
    EXPECT_EQ(0u, out.cb);
    EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), out.bytes);
    Bytes buffer = plaintext;
    buffer.resize(kExchangeBytes);
    DWORD cbResult = 0;
    ASSERT_EQ(0, KSP(Encrypt, "in-place", m_hProvider, m_hExchange, buffer.data(), 24, nullptr, buffer.data(),
                     kExchangeBytes, Size{&cbResult}, kPkcs1));
    EXPECT_EQ(plaintext, Judge().Decrypt(buffer).value_or(Bytes()));
    ASSERT_EQ(0, KSP(Decrypt, "in-place", m_hProvider, m_hExchange, buffer.data(), kExchangeBytes, nullptr,
                     buffer.data(), kExchangeBytes, Size{&cbResult}, kPkcs1));
    EXPECT_EQ(24u, cbResult);
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + 24));
}

} // namespace
} // namespace e2e
