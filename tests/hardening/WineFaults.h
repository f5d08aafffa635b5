// The fault sweep's ground on Windows (run under Wine with the product DLL):
// the platform's test controls (QvnWineControls.h), and the keys and judge
// that TestSupport gives on Linux, made by Wine's rsaenh (never the test CSP)
// instead of OpenSSL.
#ifndef QVN_TESTS_HARDENING_WINEFAULTS_H
#define QVN_TESTS_HARDENING_WINEFAULTS_H

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "QvnWineControls.h"

namespace qvntest
{

using Bytes = std::vector<BYTE>;
std::string Hex(const Bytes &bytes);
Bytes PatternBytes(size_t cb, unsigned seed);
extern const WCHAR *const kAlderProvider, *const kCedarProvider;

// The Wine prefix is the store (CreateContainerWithKey replaces what an
// earlier run left); what is reset is the test controls.
struct ScopedStore {
    ScopedStore();
};

// An RSA key pair as its PRIVATEKEYBLOB (exchange pair), made once per process.
struct TestKey {
    Bytes blob;
};
const TestKey &CachedTestKey(DWORD dwBits, int iVariant);
bool CreateContainerWithKey(const WCHAR *pszProvider, const WCHAR *pszContainer, DWORD dwKeySpec, const TestKey &key);
// PKCS #1 v1.5, big-endian as OpenSSL gives them on Linux.
Bytes JudgeSign(const TestKey &key, ALG_ID aiHash, const Bytes &hash);
Bytes JudgeEncrypt(const TestKey &key, const Bytes &plaintext);
std::optional<Bytes> JudgeDecrypt(const TestKey &key, const Bytes &ciphertext);

} // namespace qvntest

#endif
