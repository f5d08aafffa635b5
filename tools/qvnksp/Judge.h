// The independent judge: a cryptographic library that is neither the module
// nor the CSP that holds the key. It hashes input files, checks signatures
// with a public key and encrypts to one. OpenSSL on Linux, BCrypt on Windows.
#ifndef QVNKSP_JUDGE_H
#define QVNKSP_JUDGE_H

#include "PublicKey.h"

#include <string>

namespace qvnksp
{
namespace judge
{

// "OpenSSL 3.0.13 ..." or "Windows BCrypt".
std::string Name();
// "OpenSSL" or "BCrypt", for step lines.
const char *ShortName();

// Hash names as CNG spells them: SHA1, SHA256, SHA384, SHA512, MD5.
bool Digest(const std::string &strHash, const Bytes &data, Bytes &digest, std::string &strError);

enum class Verdict { Valid, Invalid, CannotJudge };
// A PKCS #1 v1.5 signature (most significant byte first) over a digest. With
// strHash empty the digest is taken as it is, without an algorithm identifier.
Verdict VerifyPkcs1(const RsaPublicKey &key, const std::string &strHash, const Bytes &digest, const Bytes &signature,
                    std::string &strDetail);

// PKCS #1 v1.5 encryption to the key; the ciphertext most significant byte first.
bool EncryptPkcs1(const RsaPublicKey &key, const Bytes &plaintext, Bytes &ciphertext, std::string &strError);

} // namespace judge
} // namespace qvnksp

#endif
