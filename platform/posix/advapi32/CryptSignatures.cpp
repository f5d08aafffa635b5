// CryptSignHashW and CryptVerifySignatureW: PKCS #1 v1.5 signatures, least
// significant byte first as CryptoAPI gives them.
#include "CryptCommon.h"

#include <wincrypt.h>

#include <algorithm>

using namespace qvn;
using namespace qvn::advapi32;

namespace
{

constexpr DWORD kX931Format = 0x00000004; // CRYPT_X931_FORMAT: a known flag, not supported
constexpr DWORD kSignFlags = CRYPT_NOHASHOID | kX931Format;

// The flags, and no description: the stand-in computes no hash to add one to.
void CheckSignArguments(DWORD dwFlags, LPCWSTR szDescription)
{
    if ((dwFlags & ~kSignFlags) != 0 || (dwFlags & kX931Format) != 0) {
        csp::Fail(NTE_BAD_FLAGS);
    }
    if (szDescription != nullptr) {
        csp::Fail(static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
}

// The signature input for the hash's algorithm: DigestInfo and hash, or the
// bare hash with CRYPT_NOHASHOID and always for CALG_SSL3_SHAMD5.
std::vector<uint8_t> SignatureInput(csp::HashObject &hash, DWORD dwFlags)
{
    std::lock_guard<std::mutex> lock(hash.mutex);
    return csp::BuildSignatureInput(*hash.pAlgorithm, HashValue(hash), (dwFlags & CRYPT_NOHASHOID) != 0);
}

} // namespace

extern "C" BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec, LPCWSTR szDescription, DWORD dwFlags,
                                      BYTE *pbSignature, DWORD *pdwSigLen)
{
    ApiFrame frame("CryptSignHashW", hHash);
    return frame.Run([&] {
        std::shared_ptr<csp::HashObject> hash = HashOrFail(hHash);
        if (pdwSigLen == nullptr) {
            FailInvalidParameter();
        }
        CheckSignArguments(dwFlags, szDescription);
        std::shared_ptr<csp::ContextObject> context = csp::Table<csp::ContextObject>().Find(hash->hOwner);
        if (!context) {
            FailInvalidHandle();
        }
        std::optional<csp::KeyPair> pair;
        {
            std::lock_guard<std::mutex> lock(context->mutex);
            if (dwKeySpec == AT_KEYEXCHANGE) {
                pair = context->exchange;
            } else if (dwKeySpec == AT_SIGNATURE) {
                pair = context->signature;
            }
        }
        if (!pair) {
            csp::Fail(NTE_NO_KEY);
        }
        const DWORD cbSignature = pair->key->Bytes();
        if (pbSignature == nullptr) {
            *pdwSigLen = cbSignature;
            return;
        }
        if (*pdwSigLen < cbSignature) {
            *pdwSigLen = cbSignature;
            csp::Fail(static_cast<DWORD>(ERROR_MORE_DATA));
        }
        std::vector<uint8_t> signature = pair->key->SignPkcs1(SignatureInput(*hash, dwFlags));
        std::reverse_copy(signature.begin(), signature.end(), pbSignature);
        *pdwSigLen = cbSignature;
    });
}

extern "C" BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash, const BYTE *pbSignature, DWORD dwSigLen,
                                             HCRYPTKEY hPubKey, LPCWSTR szDescription, DWORD dwFlags)
{
    ApiFrame frame("CryptVerifySignatureW", hHash);
    return frame.Run([&] {
        std::shared_ptr<csp::HashObject> hash = HashOrFail(hHash);
        std::shared_ptr<csp::KeyObject> key = KeyOrFail(hPubKey);
        CheckSignArguments(dwFlags, szDescription);
        if (key->pProvider != hash->pProvider) {
            csp::Fail(NTE_BAD_KEY); // a key of another CSP means nothing to this one
        }
        if (dwSigLen != key->key->Bytes()) {
            csp::Fail(NTE_BAD_SIGNATURE);
        }
        if (pbSignature == nullptr) {
            FailInvalidParameter();
        }
        const std::vector<uint8_t> input = SignatureInput(*hash, dwFlags);
        std::vector<uint8_t> signature(pbSignature, pbSignature + dwSigLen);
        std::reverse(signature.begin(), signature.end());
        std::vector<uint8_t> encoded;
        if (!key->key->PublicOperation(signature.data(), &encoded)) {
            csp::Fail(NTE_BAD_SIGNATURE);
        }
        // The expected encoding: 00 01 FF..FF 00 <input>.
        const size_t cbBlock = key->key->Bytes();
        if (input.size() + 11 > cbBlock) {
            csp::Fail(NTE_BAD_SIGNATURE);
        }
        std::vector<uint8_t> expected(cbBlock, 0xff);
        expected[0] = 0x00;
        expected[1] = 0x01;
        expected[cbBlock - input.size() - 1] = 0x00;
        std::copy(input.begin(), input.end(), expected.end() - static_cast<std::ptrdiff_t>(input.size()));
        if (encoded != expected) {
            csp::Fail(NTE_BAD_SIGNATURE);
        }
    });
}
