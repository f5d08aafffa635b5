// An RSA public key as CryptoAPI exports it (PUBLICKEYBLOB) and as everyone
// else reads it (SubjectPublicKeyInfo, PEM).
#ifndef QVNKSP_PUBLICKEY_H
#define QVNKSP_PUBLICKEY_H

#include "Host.h"

#include <string>

namespace qvnksp
{

struct RsaPublicKey {
    uint32_t cBits = 0;
    Bytes modulus;  // big-endian, no leading zero bytes
    Bytes exponent; // big-endian, no leading zero bytes
};

// Reads a PUBLICKEYBLOB: BLOBHEADER, RSAPUBKEY ("RSA1"), modulus least
// significant byte first. False (with the reason) when the blob is not one.
bool ParsePublicKeyBlob(const Bytes &blob, RsaPublicKey &key, std::string &strError);
// DER SubjectPublicKeyInfo (rsaEncryption).
Bytes SubjectPublicKeyInfo(const RsaPublicKey &key);
// "-----BEGIN PUBLIC KEY-----" ... of the SubjectPublicKeyInfo.
std::string PublicKeyPem(const RsaPublicKey &key);
// The exponent as a number (it is at most 4 bytes in a PUBLICKEYBLOB).
uint32_t ExponentValue(const RsaPublicKey &key);

} // namespace qvnksp

#endif
