// An RSA key of the CSPs on top of OpenSSL: generation from 512 to 16384 bits
// (OpenSSL's least; keys from 384 bits can be imported), the raw operations that CryptoAPI needs (PKCS #1 v1.5 block
// type 1 signing of a prepared input, the public operation for verification,
// PKCS #1 v1.5 encryption and the private operation for decryption), and the
// key's numbers for key blobs. Byte strings here are big-endian, as in PKCS #1;
// the CryptoAPI layer turns them around. Immutable once built, so one key may
// be used from several threads at once.
#ifndef QVN_CSP_RSAKEY_H
#define QVN_CSP_RSAKEY_H

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace qvn
{
namespace csp
{

// The numbers of a key, big-endian and without leading zero bytes. The private
// ones are empty for a public key.
struct RsaNumbers {
    std::vector<uint8_t> n, e, d, p, q, dmp1, dmq1, iqmp;
};

class RsaKey
{
public:
    static constexpr DWORD kMinBits = 384;
    static constexpr DWORD kMinGenerateBits = 512;
    static constexpr DWORD kMaxBits = 16384;

    // A new key pair of exactly dwBits bits with public exponent 65537.
    static std::shared_ptr<const RsaKey> Generate(DWORD dwBits);
    // A key from its numbers: a key pair when d is present, else a public key.
    // Throws NTE_BAD_DATA when OpenSSL does not accept them.
    static std::shared_ptr<const RsaKey> FromNumbers(const RsaNumbers &numbers);

    ~RsaKey();
    RsaKey(const RsaKey &) = delete;
    RsaKey &operator=(const RsaKey &) = delete;

    DWORD Bits() const { return m_dwBits; }
    DWORD Bytes() const { return (m_dwBits + 7) / 8; }
    bool HasPrivate() const { return m_fPrivate; }
    RsaNumbers Numbers() const;

    // The PKCS #1 v1.5 signature (block type 1) of the prepared input, Bytes()
    // long. Throws NTE_BAD_LEN when the input does not fit the key.
    std::vector<uint8_t> SignPkcs1(const std::vector<uint8_t> &input) const;
    // The public operation on a Bytes()-long value (the encoded message of a
    // signature). Returns false when the value is not below the modulus.
    bool PublicOperation(const uint8_t *pbValue, std::vector<uint8_t> *pResult) const;
    // PKCS #1 v1.5 encryption (block type 2), Bytes() long. Throws NTE_BAD_LEN
    // when the plaintext is longer than Bytes() - 11.
    std::vector<uint8_t> EncryptPkcs1(const uint8_t *pbPlaintext, size_t cbPlaintext) const;
    // The private operation on a Bytes()-long ciphertext followed by the removal
    // of the block type 2 padding. Returns false when the padding is wrong.
    bool DecryptPkcs1(const uint8_t *pbCiphertext, std::vector<uint8_t> *pPlaintext) const;

private:
    RsaKey(EVP_PKEY *pKey, bool fPrivate);

    EVP_PKEY *m_pKey;
    bool m_fPrivate;
    DWORD m_dwBits;
};

} // namespace csp
} // namespace qvn

#endif
