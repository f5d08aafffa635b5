// CryptEncrypt and CryptDecrypt with RSA keys against OpenSSL: PKCS #1 v1.5
// ciphertexts least significant byte first, one block per call.
#include "CapiTestUtil.h"

using namespace capitest;

namespace
{

using EncryptionTest = ContainerTest;

// CryptEncrypt of plaintext in a buffer of the key length; the ciphertext.
Bytes Encrypt(HCRYPTKEY hKey, const Bytes &plaintext, DWORD cbKey)
{
    Bytes buffer(cbKey, 0xee);
    std::copy(plaintext.begin(), plaintext.end(), buffer.begin());
    DWORD cbData = static_cast<DWORD>(plaintext.size());
    if (!CryptEncrypt(hKey, 0, TRUE, 0, buffer.data(), &cbData, cbKey)) {
        ADD_FAILURE() << "CryptEncrypt failed with 0x" << std::hex << GetLastError();
        return Bytes();
    }
    EXPECT_EQ(cbKey, cbData);
    return buffer;
}

TEST_F(EncryptionTest, CiphertextsGoBothWaysWithOpenSslForEveryKeyLength)
{
    for (DWORD dwBits : {1023u, 1024u, 2048u, 4096u}) {
        SCOPED_TRACE(dwBits);
        const TestKey &key = CachedTestKey(dwBits);
        SetUpContainer(key, AT_KEYEXCHANGE, Wide(std::to_string(dwBits)).c_str());
        const DWORD cbKey = key.ByteLength();
        DWORD cbData = 10;
        ASSERT_TRUE(CryptEncrypt(m_key, 0, TRUE, 0, nullptr, &cbData, 0)); // size query
        EXPECT_EQ(cbKey, cbData);
        for (size_t cbPlain : {size_t(0), size_t(1), size_t(cbKey - 11)}) {
            SCOPED_TRACE(cbPlain);
            const Bytes plaintext = PatternBytes(cbPlain, static_cast<unsigned>(cbPlain));
            const Bytes ciphertext = Encrypt(m_key, plaintext, cbKey);
            EXPECT_EQ(plaintext, OpenSslDecrypt(key, Reversed(ciphertext)));
            EXPECT_NE(ciphertext, Encrypt(m_key, plaintext, cbKey)); // random padding

            Bytes buffer = Reversed(OpenSslEncrypt(key, plaintext));
            cbData = cbKey;
            ASSERT_TRUE(CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), &cbData)) << std::hex << GetLastError();
            EXPECT_EQ(plaintext, Bytes(buffer.begin(), buffer.begin() + cbData));
        }
    }
}

TEST_F(EncryptionTest, RefusalsLeaveTheBufferAndItsLengthAlone)
{
    SetUpContainer(CachedTestKey(2048));
    Key signatureKey(ImportTestKey(m_prov, CachedTestKey(2048, 1), AT_SIGNATURE));
    const Bytes ciphertext = Encrypt(m_key, BytesOf("secret"), 256);
    const Bytes forOther = Reversed(OpenSslEncrypt(CachedTestKey(2048, 1), BytesOf("x")));
    auto damaged = [&](size_t i) {
        Bytes buffer = ciphertext;
        buffer[i] ^= 0x80;
        return buffer;
    };
    const Bytes plain(256, 0x41);
    const struct {
        const char *pszName;
        bool fEncrypt;
        HCRYPTKEY hKey;
        Bytes buffer; // its size is CryptEncrypt's buffer length
        DWORD cbData;
        BOOL fFinal;
        DWORD dwFlags;
        HRESULT hr;
    } cases[] = {
        {"encrypt into a buffer one byte short", true, m_key, Bytes(255, 0x41), 10, TRUE, 0, ERROR_MORE_DATA},
        {"encrypt above key length less 11", true, m_key, plain, 246, TRUE, 0, NTE_BAD_LEN},
        {"encrypt with a signature key", true, signatureKey, plain, 4, TRUE, 0, NTE_BAD_KEY},
        {"decrypt one byte short", false, m_key, plain, 255, TRUE, 0, NTE_BAD_LEN},
        {"decrypt nothing", false, m_key, plain, 0, TRUE, 0, NTE_BAD_LEN},
        {"first byte damaged", false, m_key, damaged(0), 256, TRUE, 0, NTE_BAD_DATA},
        {"for another key", false, m_key, forOther, 256, TRUE, 0, NTE_BAD_DATA},
        {"big-endian", false, m_key, OpenSslEncrypt(CachedTestKey(2048), BytesOf("x")), 256, TRUE, 0, NTE_BAD_DATA},
        {"decrypt, not final", false, m_key, ciphertext, 256, FALSE, 0, NTE_BAD_DATA},
        {"decrypt with a signature key", false, signatureKey, forOther, 256, TRUE, 0, NTE_BAD_KEY},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        Bytes buffer = c.buffer;
        DWORD cbData = c.cbData;
        if (c.fEncrypt) {
            const DWORD cbBuffer = static_cast<DWORD>(buffer.size());
            EXPECT_FAILS(c.hr, CryptEncrypt(c.hKey, 0, c.fFinal, c.dwFlags, buffer.data(), &cbData, cbBuffer));
        } else {
            EXPECT_FAILS(c.hr, CryptDecrypt(c.hKey, 0, c.fFinal, c.dwFlags, buffer.data(), &cbData));
        }
        EXPECT_EQ(c.hr == HRESULT(ERROR_MORE_DATA) ? 256u : c.cbData, cbData);
        EXPECT_EQ(c.buffer, buffer);
    }
    DWORD cbData = 0;
    EXPECT_FAILS(NTE_BAD_KEY, CryptEncrypt(signatureKey, 0, TRUE, 0, nullptr, &cbData, 0));
    Bytes buffer = ciphertext;
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptEncrypt(m_key, 0, TRUE, 0, buffer.data(), nullptr, 256));
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptDecrypt(m_key, 0, TRUE, 0, buffer.data(), nullptr));
    cbData = 256;
    EXPECT_FAILS(ERROR_INVALID_PARAMETER, CryptDecrypt(m_key, 0, TRUE, 0, nullptr, &cbData));
}

} // namespace
