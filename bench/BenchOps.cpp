#include "BenchOps.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace qvnbench
{

CryptoOps::CryptoOps(BenchWorld &world, const BenchKey &key)
    : m_table(world.Table()), m_hProvider(world.CspProvider()), m_key(key),
      m_hash(BenchHash()), m_padding{BCRYPT_SHA256_ALGORITHM}, m_plain{}, m_signature(key.cbKey), m_cipher(key.cbKey),
      m_output(key.cbKey)
{
    for (size_t i = 0; i < m_plain.size(); ++i) {
        m_plain[i] = static_cast<BYTE>(0xA5 ^ i);
    }
    OpenSslSign(key.pkey.get(), m_hash.data(), m_hash.size(), m_signature.data(), key.cbKey);
    m_capiSignature.assign(m_signature.rbegin(), m_signature.rend());
    OpenSslEncrypt(key.pkey.get(), m_plain.data(), m_plain.size(), m_cipher.data(), key.cbKey);
    m_capiCipher.assign(m_cipher.rbegin(), m_cipher.rend());
}

void CryptoOps::SignTable()
{
    DWORD cbResult = 0;
    RequireStatus(m_table.SignHash(m_hProvider, m_key.hTableKey, &m_padding, m_hash.data(), 32, m_output.data(),
                                   m_key.cbKey, &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                  "SignHash");
    Require(cbResult == m_key.cbKey, "SignHash result length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::SignCapi()
{
    Require(CapiSignHash(m_key.hCapiProv, m_hash.data(), m_output.data(), m_key.cbKey) == m_key.cbKey,
            "CryptSignHashW result length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::SignOpenSsl()
{
    Require(OpenSslSign(m_key.pkey.get(), m_hash.data(), 32, m_output.data(), m_key.cbKey) == m_key.cbKey,
            "OpenSSL signature length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::VerifyTable()
{
    RequireStatus(m_table.VerifySignature(m_hProvider, m_key.hTableKey, &m_padding, m_hash.data(), 32,
                                          m_signature.data(), m_key.cbKey, NCRYPT_PAD_PKCS1_FLAG),
                  "VerifySignature");
}

void CryptoOps::VerifyCapi()
{
    Require(CapiVerifySignature(m_key.hCapiProv, m_key.hCapiKey, m_hash.data(), m_capiSignature.data(), m_key.cbKey),
            "CryptVerifySignatureW");
}

void CryptoOps::VerifyOpenSsl()
{
    Require(OpenSslVerify(m_key.pkey.get(), m_hash.data(), 32, m_signature.data(), m_key.cbKey), "EVP_PKEY_verify");
}

void CryptoOps::EncryptTable()
{
    DWORD cbResult = 0;
    RequireStatus(m_table.Encrypt(m_hProvider, m_key.hTableKey, m_plain.data(), 32, nullptr, m_output.data(),
                                  m_key.cbKey, &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                  "Encrypt");
    Require(cbResult == m_key.cbKey, "Encrypt result length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::EncryptCapi()
{
    // CryptEncrypt works in place: the message goes into a buffer of the
    // key's size first.
    std::memcpy(m_output.data(), m_plain.data(), m_plain.size());
    DWORD dwcData = static_cast<DWORD>(m_plain.size());
    RequireCapi(CryptEncrypt(m_key.hCapiKey, 0, TRUE, 0, m_output.data(), &dwcData, m_key.cbKey), "CryptEncrypt");
    Require(dwcData == m_key.cbKey, "CryptEncrypt result length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::EncryptOpenSsl()
{
    Require(OpenSslEncrypt(m_key.pkey.get(), m_plain.data(), m_plain.size(), m_output.data(), m_key.cbKey) ==
                m_key.cbKey,
            "OpenSSL ciphertext length");
    benchmark::DoNotOptimize(m_output.data());
}

void CryptoOps::DecryptTable()
{
    DWORD cbResult = 0;
    RequireStatus(m_table.Decrypt(m_hProvider, m_key.hTableKey, m_cipher.data(), m_key.cbKey, nullptr, m_output.data(),
                                  m_key.cbKey, &cbResult, NCRYPT_PAD_PKCS1_FLAG),
                  "Decrypt");
    Require(cbResult == m_plain.size(), "Decrypt result length");
}

void CryptoOps::DecryptCapi()
{
    std::memcpy(m_output.data(), m_capiCipher.data(), m_key.cbKey);
    DWORD dwcData = m_key.cbKey;
    RequireCapi(CryptDecrypt(m_key.hCapiKey, 0, TRUE, 0, m_output.data(), &dwcData), "CryptDecrypt");
    Require(dwcData == m_plain.size(), "CryptDecrypt result length");
}

void CryptoOps::DecryptOpenSsl()
{
    Require(OpenSslDecrypt(m_key.pkey.get(), m_cipher.data(), m_key.cbKey, m_output.data(), m_key.cbKey) ==
                m_plain.size(),
            "OpenSSL plaintext length");
}

} // namespace qvnbench
