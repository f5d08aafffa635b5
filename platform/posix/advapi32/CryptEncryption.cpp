// CryptEncrypt and CryptDecrypt with an RSA key: PKCS #1 v1.5 (block type 2),
// one block per call, ciphertext least significant byte first.
#include "CryptCommon.h"

#include <wincrypt.h>

#include <algorithm>

using namespace qvn;
using namespace qvn::advapi32;

namespace
{

// The key of an encryption: an exchange key (a signature key is refused
// with NTE_BAD_KEY, as Windows' RSA CSPs do), final block only, and no hash:
// the stand-in computes none.
void CheckEncryptionKey(const csp::KeyObject &key, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags)
{
    if (hHash != 0) {
        csp::Fail(static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
    if (dwFlags != 0) {
        csp::Fail(NTE_BAD_FLAGS);
    }
    if (key.algid != CALG_RSA_KEYX) {
        csp::Fail(NTE_BAD_KEY);
    }
    if (!Final) {
        csp::Fail(NTE_BAD_DATA); // an RSA block is always the whole message
    }
}

} // namespace

extern "C" BOOL WINAPI CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                    DWORD *pdwDataLen, DWORD dwBufLen)
{
    ApiFrame frame("CryptEncrypt", hKey);
    return frame.Run([&] {
        std::shared_ptr<csp::KeyObject> key = KeyOrFail(hKey);
        if (pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        CheckEncryptionKey(*key, hHash, Final, dwFlags);
        const DWORD cbBlock = key->key->Bytes();
        if (pbData == nullptr) {
            *pdwDataLen = cbBlock;
            return;
        }
        if (dwBufLen < cbBlock) {
            *pdwDataLen = cbBlock;
            csp::Fail(static_cast<DWORD>(ERROR_MORE_DATA));
        }
        if (*pdwDataLen > cbBlock - 11) {
            csp::Fail(NTE_BAD_LEN);
        }
        const std::vector<uint8_t> ciphertext = key->key->EncryptPkcs1(pbData, *pdwDataLen);
        std::reverse_copy(ciphertext.begin(), ciphertext.end(), pbData);
        *pdwDataLen = cbBlock;
    });
}

extern "C" BOOL WINAPI CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE *pbData,
                                    DWORD *pdwDataLen)
{
    ApiFrame frame("CryptDecrypt", hKey);
    return frame.Run([&] {
        std::shared_ptr<csp::KeyObject> key = KeyOrFail(hKey);
        if (pbData == nullptr || pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        CheckEncryptionKey(*key, hHash, Final, dwFlags);
        if (!key->key->HasPrivate()) {
            csp::Fail(NTE_BAD_KEY);
        }
        const DWORD cbBlock = key->key->Bytes();
        if (*pdwDataLen != cbBlock) {
            csp::Fail(NTE_BAD_LEN);
        }
        std::vector<uint8_t> ciphertext(pbData, pbData + cbBlock);
        std::reverse(ciphertext.begin(), ciphertext.end());
        std::vector<uint8_t> plaintext;
        if (!key->key->DecryptPkcs1(ciphertext.data(), &plaintext)) {
            csp::Fail(NTE_BAD_DATA);
        }
        struct Wipe {
            std::vector<uint8_t> &bytes;
            ~Wipe() { std::fill(bytes.begin(), bytes.end(), 0); }
        } wipe{plaintext};
        std::copy(plaintext.begin(), plaintext.end(), pbData);
        *pdwDataLen = static_cast<DWORD>(plaintext.size());
    });
}
