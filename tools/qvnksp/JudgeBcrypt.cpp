// The judge on Windows: the platform's own BCrypt.
#include "Judge.h"

#include "StatusNames.h"

#include <windows.h>
#include <bcrypt.h>

namespace qvnksp
{
namespace judge
{
namespace
{

constexpr NTSTATUS kStatusInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

std::string Failed(const char *pszCall, NTSTATUS status)
{
    return std::string(pszCall) + " " + StatusText(static_cast<uint32_t>(status), StatusKind::NtStatus);
}

class AlgorithmHandle
{
public:
    ~AlgorithmHandle()
    {
        if (m_h != nullptr) {
            BCryptCloseAlgorithmProvider(m_h, 0);
        }
    }
    BCRYPT_ALG_HANDLE m_h = nullptr;
};

class KeyHandle
{
public:
    ~KeyHandle()
    {
        if (m_h != nullptr) {
            BCryptDestroyKey(m_h);
        }
    }
    BCRYPT_KEY_HANDLE m_h = nullptr;
};

class HashHandle
{
public:
    ~HashHandle()
    {
        if (m_h != nullptr) {
            BCryptDestroyHash(m_h);
        }
    }
    BCRYPT_HASH_HANDLE m_h = nullptr;
};

// BCRYPT_RSAKEY_BLOB, then the exponent and the modulus, both big-endian.
bool ImportKey(const RsaPublicKey &key, AlgorithmHandle &alg, KeyHandle &hKey, std::string &strError)
{
    NTSTATUS status = BCryptOpenAlgorithmProvider(&alg.m_h, BCRYPT_RSA_ALGORITHM, nullptr, 0);
    if (status != 0) {
        strError = Failed("BCryptOpenAlgorithmProvider(RSA)", status);
        return false;
    }
    BCRYPT_RSAKEY_BLOB header = {};
    header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
    header.BitLength = key.cBits;
    header.cbPublicExp = static_cast<ULONG>(key.exponent.size());
    header.cbModulus = static_cast<ULONG>(key.modulus.size());
    Bytes blob(reinterpret_cast<const uint8_t *>(&header), reinterpret_cast<const uint8_t *>(&header) + sizeof(header));
    blob.insert(blob.end(), key.exponent.begin(), key.exponent.end());
    blob.insert(blob.end(), key.modulus.begin(), key.modulus.end());
    status = BCryptImportKeyPair(alg.m_h, nullptr, BCRYPT_RSAPUBLIC_BLOB, &hKey.m_h, blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
    if (status != 0) {
        strError = Failed("BCryptImportKeyPair", status);
        return false;
    }
    return true;
}

} // namespace

const char *ShortName()
{
    return "BCrypt";
}

std::string Name()
{
    return "Windows BCrypt";
}

bool Digest(const std::string &strHash, const Bytes &data, Bytes &digest, std::string &strError)
{
    const WString strAlg = Widen(strHash);
    AlgorithmHandle alg;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&alg.m_h, reinterpret_cast<LPCWSTR>(strAlg.c_str()), nullptr, 0);
    if (status != 0) {
        strError = Failed(("BCryptOpenAlgorithmProvider(" + strHash + ")").c_str(), status);
        return false;
    }
    DWORD cbHash = 0;
    ULONG cbResult = 0;
    HashHandle hash;
    status =
        BCryptGetProperty(alg.m_h, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&cbHash), sizeof(cbHash), &cbResult, 0);
    if (status == 0) {
        status = BCryptCreateHash(alg.m_h, &hash.m_h, nullptr, 0, nullptr, 0, 0);
    }
    if (status == 0) {
        status = BCryptHashData(hash.m_h, const_cast<PUCHAR>(data.data()), static_cast<ULONG>(data.size()), 0);
    }
    if (status == 0) {
        digest.assign(cbHash, 0);
        status = BCryptFinishHash(hash.m_h, digest.data(), cbHash, 0);
    }
    if (status != 0) {
        strError = Failed("BCrypt hashing", status);
        return false;
    }
    return true;
}

Verdict VerifyPkcs1(const RsaPublicKey &key, const std::string &strHash, const Bytes &digest, const Bytes &signature,
                    std::string &strDetail)
{
    AlgorithmHandle alg;
    KeyHandle hKey;
    if (!ImportKey(key, alg, hKey, strDetail)) {
        return Verdict::CannotJudge;
    }
    const WString strAlg = Widen(strHash);
    BCRYPT_PKCS1_PADDING_INFO padding = {strHash.empty() ? nullptr : strAlg.c_str()};
    const NTSTATUS status = BCryptVerifySignature(
        hKey.m_h, &padding, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
        const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1);
    strDetail = Failed("BCryptVerifySignature", status);
    if (status == 0) {
        return Verdict::Valid;
    }
    return status == kStatusInvalidSignature ? Verdict::Invalid : Verdict::CannotJudge;
}

bool EncryptPkcs1(const RsaPublicKey &key, const Bytes &plaintext, Bytes &ciphertext, std::string &strError)
{
    AlgorithmHandle alg;
    KeyHandle hKey;
    if (!ImportKey(key, alg, hKey, strError)) {
        return false;
    }
    ULONG cbOut = 0;
    NTSTATUS status =
        BCryptEncrypt(hKey.m_h, const_cast<PUCHAR>(plaintext.data()), static_cast<ULONG>(plaintext.size()), nullptr,
                      nullptr, 0, nullptr, 0, &cbOut, BCRYPT_PAD_PKCS1);
    if (status == 0) {
        ciphertext.assign(cbOut, 0);
        status = BCryptEncrypt(hKey.m_h, const_cast<PUCHAR>(plaintext.data()), static_cast<ULONG>(plaintext.size()),
                               nullptr, nullptr, 0, ciphertext.data(), cbOut, &cbOut, BCRYPT_PAD_PKCS1);
    }
    if (status != 0) {
        strError = Failed("BCryptEncrypt", status);
        return false;
    }
    ciphertext.resize(cbOut);
    return true;
}

} // namespace judge
} // namespace qvnksp
