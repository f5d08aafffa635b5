// One RSA key's four operations, each three ways: through the module's table,
// as the CryptoAPI calls that an application makes directly, and with OpenSSL
// alone. The timed benchmarks and the instruction-counting driver both call
// these, so that they measure the same work. Every call checks its result and
// ends the process if it is wrong.
#ifndef QVN_BENCH_OPS_H
#define QVN_BENCH_OPS_H

#include "BenchSupport.h"

namespace qvnbench
{

class CryptoOps
{
public:
    CryptoOps(BenchWorld &world, const BenchKey &key);

    // A PKCS #1 v1.5 signature of a SHA-256 hash value.
    void SignTable();
    void SignCapi();
    void SignOpenSsl();

    // Verification of a good signature of that hash.
    void VerifyTable();
    void VerifyCapi();
    void VerifyOpenSsl();

    // Encryption of a 32-byte message (the size of a wrapped AES-256 key).
    void EncryptTable();
    void EncryptCapi();
    void EncryptOpenSsl();

    // Decryption of a ciphertext of that message.
    void DecryptTable();
    void DecryptCapi();
    void DecryptOpenSsl();

private:
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &m_table;
    NCRYPT_PROV_HANDLE m_hProvider;
    const BenchKey &m_key;
    std::array<BYTE, 32> m_hash;
    BCRYPT_PKCS1_PADDING_INFO m_padding;
    std::array<BYTE, 32> m_plain;
    // A good signature and a ciphertext of m_plain, in CNG's (and OpenSSL's)
    // byte order and reversed for CryptoAPI.
    std::vector<BYTE> m_signature;
    std::vector<BYTE> m_capiSignature;
    std::vector<BYTE> m_cipher;
    std::vector<BYTE> m_capiCipher;
    std::vector<BYTE> m_output;
};

} // namespace qvnbench

#endif
