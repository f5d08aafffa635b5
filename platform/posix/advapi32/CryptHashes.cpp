// Hash objects: CryptCreateHash, CryptGetHashParam, CryptSetHashParam and
// CryptDestroyHash. A hash's value is set (HP_HASHVAL), never computed.
#include "CryptCommon.h"

#include <wincrypt.h>

using namespace qvn;
using namespace qvn::advapi32;

extern "C" BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                       HCRYPTHASH *phHash)
{
    ApiFrame frame("CryptCreateHash", hProv);
    return frame.Run([&] {
        std::shared_ptr<csp::ContextObject> context = ContextOrFail(hProv);
        if (phHash == nullptr || (hKey != 0 && !csp::Table<csp::KeyObject>().Find(hKey))) {
            FailInvalidParameter();
        }
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        const csp::HashAlgorithm *pAlgorithm = csp::FindHashAlgorithm(Algid);
        if (pAlgorithm == nullptr) {
            csp::Fail(NTE_BAD_ALGID);
        }
        if (hKey != 0) {
            csp::Fail(NTE_BAD_KEY); // none of these hashes is keyed
        }
        auto hash = std::make_shared<csp::HashObject>();
        hash->hOwner = hProv;
        hash->pProvider = context->pProvider;
        hash->pAlgorithm = pAlgorithm;
        *phHash = csp::Table<csp::HashObject>().Add(std::move(hash));
    });
}

extern "C" BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE *pbData, DWORD *pdwDataLen,
                                         DWORD dwFlags)
{
    ApiFrame frame("CryptGetHashParam", hHash);
    return frame.Run([&] {
        std::shared_ptr<csp::HashObject> hash = HashOrFail(hHash);
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        if (pdwDataLen == nullptr) {
            FailInvalidParameter();
        }
        switch (dwParam) {
        case HP_ALGID: {
            const DWORD dwAlgid = hash->pAlgorithm->algid;
            CopyOut(&dwAlgid, sizeof(dwAlgid), pbData, pdwDataLen);
            break;
        }
        case HP_HASHSIZE: {
            const DWORD dwSize = hash->pAlgorithm->cbHash;
            CopyOut(&dwSize, sizeof(dwSize), pbData, pdwDataLen);
            break;
        }
        case HP_HASHVAL: {
            if (pbData == nullptr) {
                *pdwDataLen = hash->pAlgorithm->cbHash;
                break;
            }
            std::lock_guard<std::mutex> lock(hash->mutex);
            CopyOut(HashValue(*hash), hash->pAlgorithm->cbHash, pbData, pdwDataLen);
            break;
        }
        default:
            csp::Fail(NTE_BAD_TYPE);
        }
    });
}

extern "C" BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam, const BYTE *pbData, DWORD dwFlags)
{
    ApiFrame frame("CryptSetHashParam", hHash);
    return frame.Run([&] {
        std::shared_ptr<csp::HashObject> hash = HashOrFail(hHash);
        if (dwFlags != 0) {
            csp::Fail(NTE_BAD_FLAGS);
        }
        if (dwParam != HP_HASHVAL) {
            csp::Fail(NTE_BAD_TYPE);
        }
        if (pbData == nullptr) {
            FailInvalidParameter();
        }
        // The value has no length argument: the algorithm's hash size is read.
        std::lock_guard<std::mutex> lock(hash->mutex);
        std::memcpy(hash->abValue, pbData, hash->pAlgorithm->cbHash);
        hash->fHasValue = true;
    });
}

extern "C" BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash)
{
    ApiFrame frame("CryptDestroyHash", hHash);
    return frame.Run([&] {
        if (!csp::Table<csp::HashObject>().Remove(hHash)) {
            FailInvalidHandle();
        }
    });
}
