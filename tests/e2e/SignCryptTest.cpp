// Signing hashes, verifying signatures, encrypting and decrypting through the
// table, PKCS #1 v1.5 only, on Alder's main container. The judge checks every
// signature and ciphertext that the module makes, and the module those that
// the judge makes (signatures are deterministic: the judge's own must be the
// same bytes). Every refusal leaves the caller's buffers as they were.
#include "E2E.h"

namespace e2e
{
namespace
{

struct HashAlgorithm {
    const char *pszTag;
    LPCWSTR pszAlgId;
    size_t cbHash;
};

class HashAlgorithmTest : public AlderTest, public ::testing::WithParamInterface<HashAlgorithm>
{
};

// A named algorithm signs its DigestInfo; without a name (no padding
// information, or none in it) the bare hash value is signed, its algorithm
// chosen by its length. Either key pair signs.
TEST_P(HashAlgorithmTest, IsSignedAsTheJudgeSignsIt)
{
    const HashAlgorithm &row = GetParam();
    for (int iVariant = 0; iVariant < (row.pszAlgId == nullptr ? 4 : 2); ++iVariant) {
        const DWORD dwKeySpec = iVariant % 2 == 0 ? AT_KEYEXCHANGE : AT_SIGNATURE;
        const KeyPair &pair = Keys().Main(0, dwKeySpec);
        const std::string strLabel = std::string(row.pszTag) + "-" + std::to_string(iVariant);
        SCOPED_TRACE(strLabel);
        const NCRYPT_KEY_HANDLE hKey = dwKeySpec == AT_KEYEXCHANGE ? m_hExchange : m_hSignature;
        BCRYPT_PKCS1_PADDING_INFO info = {row.pszAlgId};
        VOID *pPadding = iVariant >= 2 ? nullptr : &info;
        const Bytes hash = Pattern(row.cbHash, static_cast<BYTE>(row.cbHash + iVariant));
        const Out signature = Sign(strLabel.c_str(), m_hProvider, hKey, pPadding, hash, pair.cb);
        ASSERT_EQ(0, signature.status);
        EXPECT_EQ(pair.cb, signature.cb);
        EXPECT_EQ(0, Verify(strLabel.c_str(), m_hProvider, hKey, pPadding, hash, signature.bytes));
        if (row.pszAlgId != nullptr) { // the DigestInfo is part of what was signed
            EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("as-bare", m_hProvider, hKey, nullptr, hash, signature.bytes));
        }
        if (JudgeCanCheck(row.pszAlgId)) { // else (Wine's BCrypt) the module's side is checked and recorded
            EXPECT_EQ(Hex(pair.pJudge->Sign(row.pszAlgId, hash)), Hex(signature.bytes));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Algorithms, HashAlgorithmTest,
                         ::testing::Values(HashAlgorithm{"SHA1", TEXT("SHA1"), 20},
                                           HashAlgorithm{"SHA256", TEXT("SHA256"), 32},
                                           HashAlgorithm{"SHA384", TEXT("SHA384"), 48},
                                           HashAlgorithm{"SHA512", TEXT("SHA512"), 64},
                                           HashAlgorithm{"MD2", TEXT("MD2"), 16}, HashAlgorithm{"MD4", TEXT("MD4"), 16},
                                           HashAlgorithm{"MD5", TEXT("MD5"), 16}, HashAlgorithm{"Bare16", nullptr, 16},
                                           HashAlgorithm{"Bare20", nullptr, 20}, HashAlgorithm{"Bare32", nullptr, 32},
                                           HashAlgorithm{"Bare36", nullptr, 36}, HashAlgorithm{"Bare48", nullptr, 48},
                                           HashAlgorithm{"Bare64", nullptr, 64}),
                         [](const ::testing::TestParamInfo<HashAlgorithm> &info) { return info.param.pszTag; });

// Flags, algorithm names and hash lengths are refused before the CSP sees
// anything; the size is cleared only once flags and buffers have passed.
TEST_F(AlderTest, SignAndVerifyRefuseFlagsNamesLengthsAndMissingBuffers)
{
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    const Bytes good = Sign("good", m_hProvider, m_hExchange, &sha256, Pattern(32, 0x51), kExchangeBytes).bytes;
    const struct {
        const char *pszLabel;
        DWORD dwFlags;
        LPCWSTR pszAlgId;
        size_t cbHash;
        SECURITY_STATUS expected;
        DWORD cbAfter;
    } rows[] = {{"flags-0", 0, TEXT("SHA256"), 32, NTE_BAD_FLAGS, 0xDEAD},
                {"flags-oaep", NCRYPT_PAD_OAEP_FLAG, TEXT("SHA256"), 32, NTE_BAD_FLAGS, 0xDEAD},
                {"flags-pss", NCRYPT_PAD_PSS_FLAG, TEXT("SHA256"), 32, NTE_BAD_FLAGS, 0xDEAD},
                {"flags-pkcs1-silent", kPkcs1 | NCRYPT_SILENT_FLAG, TEXT("SHA256"), 32, NTE_BAD_FLAGS, 0xDEAD},
                {"flags-pkcs1-pss", kPkcs1 | NCRYPT_PAD_PSS_FLAG, TEXT("SHA256"), 32, NTE_BAD_FLAGS, 0xDEAD},
                {"name-lower-case", kPkcs1, TEXT("sha256"), 32, NTE_INVALID_PARAMETER, 0},
                {"name-trailing-blank", kPkcs1, TEXT("SHA256 "), 32, NTE_INVALID_PARAMETER, 0},
                {"name-empty", kPkcs1, TEXT(""), 32, NTE_INVALID_PARAMETER, 0},
                {"name-rsa", kPkcs1, TEXT("RSA"), 32, NTE_INVALID_PARAMETER, 0},
                {"length-sha256-20", kPkcs1, TEXT("SHA256"), 20, NTE_INVALID_PARAMETER, 0},
                {"length-sha1-32", kPkcs1, TEXT("SHA1"), 32, NTE_INVALID_PARAMETER, 0},
                {"length-md5-20", kPkcs1, TEXT("MD5"), 20, NTE_INVALID_PARAMETER, 0},
                {"length-sha384-64", kPkcs1, TEXT("SHA384"), 64, NTE_INVALID_PARAMETER, 0},
                {"length-bare-15", kPkcs1, nullptr, 15, NTE_INVALID_PARAMETER, 0},
                {"length-bare-17", kPkcs1, nullptr, 17, NTE_INVALID_PARAMETER, 0},
                {"length-bare-28", kPkcs1, nullptr, 28, NTE_INVALID_PARAMETER, 0},
                {"length-bare-33", kPkcs1, nullptr, 33, NTE_INVALID_PARAMETER, 0},
                {"length-bare-65", kPkcs1, nullptr, 65, NTE_INVALID_PARAMETER, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pszLabel);
        BCRYPT_PKCS1_PADDING_INFO padding = {row.pszAlgId};
        const Bytes hash = Pattern(row.cbHash, 0x52);
        const Out out = Sign(row.pszLabel, m_hProvider, m_hExchange, &padding, hash, kExchangeBytes, row.dwFlags);
        EXPECT_EQ(row.expected, out.status);
        EXPECT_EQ(row.cbAfter, out.cb);
        EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), out.bytes);
        EXPECT_EQ(row.expected, Verify(row.pszLabel, m_hProvider, m_hExchange, &padding, hash, good, row.dwFlags));
    }
    // A hash value must be given, even for a size query; and a place for the size.
    BYTE rgbHash[32] = {};
    Bytes buffer(kExchangeBytes, 0xCC), signature = good;
    DWORD cbResult = 0xDEAD;
    for (PBYTE pbSignature : {buffer.data(), static_cast<PBYTE>(nullptr)}) {
        EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(SignHash, "null-hash", m_hProvider, m_hExchange, &sha256, nullptr, 32,
                                             pbSignature, kExchangeBytes, Size(&cbResult), kPkcs1));
        EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(SignHash, "empty-hash", m_hProvider, m_hExchange, &sha256, rgbHash, 0,
                                             pbSignature, kExchangeBytes, Size(&cbResult), kPkcs1));
    }
    EXPECT_EQ(0xDEADu, cbResult);
    EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(SignHash, "null-result", m_hProvider, m_hExchange, &sha256, rgbHash, 32,
                                         buffer.data(), kExchangeBytes, nullptr, kPkcs1));
    EXPECT_EQ(Bytes(kExchangeBytes, 0xCC), buffer);
    EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(VerifySignature, "null-hash", m_hProvider, m_hExchange, &sha256, nullptr, 32,
                                         signature.data(), kExchangeBytes, kPkcs1));
    EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(VerifySignature, "empty-hash", m_hProvider, m_hExchange, &sha256, rgbHash, 0,
                                         signature.data(), kExchangeBytes, kPkcs1));
    EXPECT_EQ(NTE_INVALID_PARAMETER, KSP(VerifySignature, "null-signature", m_hProvider, m_hExchange, &sha256, rgbHash,
                                         32, nullptr, kExchangeBytes, kPkcs1));
}

// A signature is exactly the key length: a size query answers it without
// looking at the algorithm, a longer buffer is written as far as the key
// length. In VerifySignature a signature of another length is an invalid
// parameter, not a bad signature.
TEST_F(AlderTest, SignatureIsTheKeyLength)
{
    for (const std::pair<LPCWSTR, DWORD> &alg :
         std::initializer_list<std::pair<LPCWSTR, DWORD>>{{TEXT("SHA256"), 32}, {TEXT("Bogus"), 32}, {nullptr, 28}}) {
        BCRYPT_PKCS1_PADDING_INFO padding = {alg.first};
        Bytes hash = Pattern(alg.second, 0x55);
        for (const auto &key :
             {std::make_pair(m_hExchange, kExchangeBytes), std::make_pair(m_hSignature, kSignatureBytes)}) {
            DWORD cbResult = 0xDEAD;
            EXPECT_EQ(0, KSP(SignHash, "size", m_hProvider, key.first, &padding, hash.data(), alg.second, nullptr, 0,
                             Size(&cbResult), kPkcs1));
            EXPECT_EQ(key.second, cbResult);
        }
    }
    const Bytes hash = Pattern(32, 0x56);
    BCRYPT_PKCS1_PADDING_INFO sha256 = {TEXT("SHA256")};
    Out larger = Sign("larger", m_hProvider, m_hExchange, &sha256, hash, kExchangeBytes + 44);
    ASSERT_EQ(0, larger.status);
    EXPECT_EQ(kExchangeBytes, larger.cb);
    EXPECT_EQ(Bytes(44, 0xCC), Bytes(larger.bytes.begin() + kExchangeBytes, larger.bytes.end()));
    larger.bytes.resize(kExchangeBytes);
    EXPECT_EQ(Hex(Judge().Sign(TEXT("SHA256"), hash)), Hex(larger.bytes));

    Bytes longer = larger.bytes, otherHash = hash;
    longer.push_back(0);
    otherHash[31] ^= 0x01;
    const Bytes shorter(larger.bytes.begin(), larger.bytes.end() - 1);
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("one-short", m_hProvider, m_hExchange, &sha256, hash, shorter));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("one-long", m_hProvider, m_hExchange, &sha256, hash, longer));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Verify("other-key", m_hProvider, m_hSignature, &sha256, hash, larger.bytes));
    EXPECT_EQ(NTE_BAD_SIGNATURE, Verify("other-hash", m_hProvider, m_hExchange, &sha256, otherHash, larger.bytes));
    EXPECT_EQ(0, Verify("good", m_hProvider, m_hExchange, &sha256, hash, larger.bytes));
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
        SCOPED_TRACE(cb);
        const Bytes plaintext = Pattern(cb, 0x71);
        const Out ciphertext = Crypt(true, "plaintext", m_hProvider, m_hExchange, plaintext, kExchangeBytes);
        ASSERT_EQ(0, ciphertext.status);
        ASSERT_EQ(kExchangeBytes, ciphertext.cb);
        EXPECT_EQ(plaintext, Judge().Decrypt(ciphertext.bytes).value_or(Bytes(1, 0xEE)));
        const Out decrypted = Crypt(false, "plaintext", m_hProvider, m_hExchange, ciphertext.bytes, kMaxPlaintext);
        ASSERT_EQ(0, decrypted.status);
        ASSERT_EQ(plaintext.size(), decrypted.cb);
        Bytes expected = plaintext;
        expected.resize(kMaxPlaintext, 0xCC);
        EXPECT_EQ(Hex(expected), Hex(decrypted.bytes));
    }
}

// Every refusal comes before CryptoAPI is asked and leaves the size and the
// output as they were; size queries answer without looking at the data.
TEST_F(AlderTest, EncryptAndDecryptRefusalsAndSizeQueries)
{
    const Bytes undecryptable = UndecryptableBlock(Keys().exchange[0], 0x74);
    BCRYPT_PKCS1_PADDING_INFO pkcs1 = {TEXT("SHA256")}, noName = {nullptr};
    const DWORD kNull = ~0u; // as cbInput: a null input
    struct Row {
        const char *pszLabel;
        bool fEncrypt;
        DWORD dwFlags;
        VOID *pPadding;
        DWORD cbInput;
        DWORD cbOutput; // 0: a null output, a size query
        bool fNullResult;
        bool fSignatureKey;
        SECURITY_STATUS expected;
        DWORD cbAfter;
    };
    std::vector<Row> rows = {
        {"encrypt-size", true, kPkcs1, nullptr, 10, 0, false, false, 0, kExchangeBytes},
        {"decrypt-size", false, kPkcs1, nullptr, 256, 0, false, false, 0, kMaxPlaintext},
        {"encrypt-246", true, kPkcs1, nullptr, 246, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"decrypt-0", false, kPkcs1, nullptr, 0, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"decrypt-255", false, kPkcs1, nullptr, 255, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"decrypt-257", false, kPkcs1, nullptr, 257, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"encrypt-out-255", true, kPkcs1, nullptr, 10, 255, false, false, NTE_BUFFER_TOO_SMALL, 0xDEAD},
        {"decrypt-out-244", false, kPkcs1, nullptr, 256, 244, false, false, NTE_BUFFER_TOO_SMALL, 0xDEAD},
        {"encrypt-null-input", true, kPkcs1, nullptr, kNull, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"decrypt-null-input", false, kPkcs1, nullptr, kNull, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"encrypt-null-result", true, kPkcs1, nullptr, 10, 0, true, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"decrypt-null-result", false, kPkcs1, nullptr, 256, 256, true, false, NTE_INVALID_PARAMETER, 0xDEAD},
        {"encrypt-signature-key", true, kPkcs1, nullptr, 10, 256, false, true, NTE_PERM, 0xDEAD},
        {"decrypt-size-signature-key", false, kPkcs1, nullptr, 128, 0, false, true, NTE_PERM, 0xDEAD}};
    for (bool fEncrypt : {true, false}) { // flags, then padding information, are refused first, by both
        const DWORD cb = fEncrypt ? 16 : kExchangeBytes;
        for (DWORD dwFlags : Dwords{0u, DWORD(NCRYPT_PAD_OAEP_FLAG), kPkcs1 | NCRYPT_SILENT_FLAG,
                                    kPkcs1 | NCRYPT_NO_PADDING_FLAG, 0xFFFFFFFFu}) {
            rows.push_back({"flags", fEncrypt, dwFlags, &pkcs1, cb, 256, false, true, NTE_BAD_FLAGS, 0xDEAD});
        }
        for (VOID *pPadding : {static_cast<VOID *>(&pkcs1), static_cast<VOID *>(&noName)}) {
            rows.push_back(
                {"padding-info", fEncrypt, kPkcs1, pPadding, cb, 256, false, false, NTE_INVALID_PARAMETER, 0xDEAD});
            rows.push_back({"padding-info-signature-key", fEncrypt, kPkcs1, pPadding, cb, 0, false, true,
                            NTE_INVALID_PARAMETER, 0xDEAD});
        }
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.pszLabel) + " " + std::to_string(row.dwFlags));
        Bytes input = row.fEncrypt ? Pattern(kExchangeBytes + 1, 0x75) : undecryptable;
        input.resize(row.cbInput == kNull ? 256 : row.cbInput);
        Bytes output(256, 0xCC);
        DWORD cbResult = 0xDEAD;
        const NCRYPT_KEY_HANDLE hKey = row.fSignatureKey ? m_hSignature : m_hExchange;
        PBYTE pbInput = row.cbInput == kNull ? nullptr : input.data();
        PBYTE pbOutput = row.cbOutput == 0 ? nullptr : output.data();
        const SizeOut size = Size(row.fNullResult ? nullptr : &cbResult);
        const DWORD cbInput = row.cbInput != kNull ? row.cbInput : row.fEncrypt ? 16 : kExchangeBytes;
        EXPECT_EQ(row.expected, row.fEncrypt ? KSP(Encrypt, row.pszLabel, m_hProvider, hKey, pbInput, cbInput,
                                                   row.pPadding, pbOutput, row.cbOutput, size, row.dwFlags)
                                             : KSP(Decrypt, row.pszLabel, m_hProvider, hKey, pbInput, cbInput,
                                                   row.pPadding, pbOutput, row.cbOutput, size, row.dwFlags));
        EXPECT_EQ(row.cbAfter, cbResult);
        EXPECT_EQ(Bytes(256, 0xCC), output);
    }
}

// CryptoAPI's NTE_BAD_DATA, for a ciphertext of another key or for no
// ciphertext at all, is a decryption failure; the size was cleared before the
// call; the key stays usable; input and output may be one buffer.
TEST_F(AlderTest, CiphertextThatDoesNotDecryptIsADecryptionFailure)
{
    const Bytes plaintext = Pattern(24, 0x7B);
    Bytes foreign; // made for Birch's key: below 2^2047, so below this modulus, but not valid for it
    for (int iTry = 0; foreign.empty() || foreign[0] >= 0x80 || Judge().Decrypt(foreign); ++iTry) {
        ASSERT_LT(iTry, 64) << "the judge decrypts every block";
        foreign = Keys().exchange[1].pJudge->Encrypt(plaintext);
    }
    for (const Bytes &ciphertext : {foreign, UndecryptableBlock(Keys().exchange[0], 0x7C)}) {
        const Out out = Crypt(false, "undecryptable", m_hProvider, m_hExchange, ciphertext, kMaxPlaintext);
        EXPECT_EQ(NTE_DECRYPTION_FAILURE, out.status);
        EXPECT_EQ(0u, out.cb);
        EXPECT_EQ(Bytes(kMaxPlaintext, 0xCC), out.bytes);
    }
    Bytes buffer = plaintext;
    buffer.resize(kExchangeBytes);
    DWORD cbResult = 0;
    ASSERT_EQ(0, KSP(Encrypt, "in-place", m_hProvider, m_hExchange, buffer.data(), 24, nullptr, buffer.data(),
                     kExchangeBytes, Size(&cbResult), kPkcs1));
    EXPECT_EQ(plaintext, Judge().Decrypt(buffer).value_or(Bytes()));
    ASSERT_EQ(0, KSP(Decrypt, "in-place", m_hProvider, m_hExchange, buffer.data(), kExchangeBytes, nullptr,
                     buffer.data(), kExchangeBytes, Size(&cbResult), kPkcs1));
    ASSERT_EQ(24u, cbResult);
    EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + 24));
}

} // namespace
} // namespace e2e
