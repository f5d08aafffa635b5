// The independent judge of the suite's cryptographic results: never the module
// under test nor the CSP that made a result. On Linux it is OpenSSL; built for
// Windows it is the platform's own BCrypt.
//
// Byte strings are as CNG has them: signatures, ciphertexts and key numbers
// most significant byte first.
#ifndef QVN_E2E_JUDGE_H
#define QVN_E2E_JUDGE_H

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

namespace e2e
{

using Bytes = std::vector<BYTE>;

enum class Verdict {
    Accepted,    // the operation succeeded / the signature is valid
    Rejected,    // the signature or ciphertext is not valid for this key
    Unavailable, // the judge cannot do this here (algorithm not offered)
};

struct Judgement {
    Verdict verdict = Verdict::Unavailable;
    std::string strDetail; // why, for the failure message
};

// The hash algorithms by their CNG names; nullptr stands for a bare hash
// value without an algorithm identifier (PKCS #1 v1.5 "no OID").
class JudgeKey
{
public:
    virtual ~JudgeKey() = default;

    // The key pair as a CryptoAPI PRIVATEKEYBLOB, for CryptImportKey; aiKeyAlg
    // is CALG_RSA_KEYX or CALG_RSA_SIGN. Only for keys that the judge made.
    virtual Bytes PrivateKeyBlob(ALG_ID aiKeyAlg) const = 0;

    virtual Judgement Verify(LPCWSTR pszAlgId, const Bytes &hash, const Bytes &signature) const = 0;
    virtual Judgement Sign(LPCWSTR pszAlgId, const Bytes &hash, Bytes &signature) const = 0;
    virtual Judgement Encrypt(const Bytes &plaintext, Bytes &ciphertext) const = 0;
    virtual Judgement Decrypt(const Bytes &ciphertext, Bytes &plaintext) const = 0;
};

// A fresh RSA key pair with public exponent 65537.
std::unique_ptr<JudgeKey> GenerateJudgeKey(DWORD dwBits);

// The public half of a key, from a CryptoAPI PUBLICKEYBLOB. Sign and Decrypt
// are unavailable on it.
std::unique_ptr<JudgeKey> JudgeKeyFromPublicKeyBlob(const Bytes &publicKeyBlob);

} // namespace e2e

#endif
