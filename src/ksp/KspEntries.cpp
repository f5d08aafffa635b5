// The ten implemented entries of the function table. Each runs in one frame:
// its own null check, then g_csKsp for the rest of the call, the provider
// manager, one operation on the object layer; every thrown error becomes the
// returned status, and the caller's last-error value is left as it was.
#include "COMMON_FILES/Common/mt.h"
#include "capi/KspBaseKeyContext.h"
#include "common/KspError.h"
#include "ksp/KspInterface.h"
#include "provider/KspProviderManager.h"

namespace
{

template <typename TOperation> SECURITY_STATUS KspEntryFrame(bool fArgumentsValid, TOperation fnOperation)
{
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    const DWORD dwLastError = GetLastError();
    try {
        if (!fArgumentsValid) {
            throw CKspError(NTE_INVALID_PARAMETER);
        }
        CTSSyncLock slock(&g_csKsp, TRUE);
        CKspProviderManager *pManager = CKspProviderManager::GetInstance();
        fnOperation(pManager);
        status = ERROR_SUCCESS;
    } catch (const CKspBaseError &err) {
        // slock is gone already: the lock is free before the status is worked out.
        status = err.GetStatus();
    } catch (...) {
        status = NTE_INTERNAL_ERROR;
    }
    SetLastError(dwLastError);
    return status;
}

CKspBaseKeyContext *ResolveKey(CKspProviderManager *pManager, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    // A key handle is valid only under the provider it was opened through.
    return pManager->GetProvider(hProvider)->GetKey(hKey);
}

} // namespace

SECURITY_STATUS WINAPI KspOpenProvider(NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName, DWORD dwFlags)
{
    return KspEntryFrame(phProvider != NULL, [&](CKspProviderManager *pManager) {
        const NCRYPT_PROV_HANDLE hProvider = pManager->OpenProvider(pszProviderName, dwFlags);
        *phProvider = hProvider;
    });
}

SECURITY_STATUS WINAPI KspOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey, LPCWSTR pszKeyName,
                                  DWORD dwLegacyKeySpec, DWORD dwFlags)
{
    return KspEntryFrame(phKey != NULL, [&](CKspProviderManager *pManager) {
        const NCRYPT_KEY_HANDLE hKey = pManager->GetProvider(hProvider)->OpenKey(pszKeyName, dwLegacyKeySpec, dwFlags);
        *phKey = hKey;
    });
}

SECURITY_STATUS WINAPI KspGetProviderProperty(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty, PBYTE pbOutput,
                                              DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        pManager->GetProvider(hProvider)->GetProviderProperty(pszProperty, pbOutput, cbOutput, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspFreeProvider(NCRYPT_PROV_HANDLE hProvider)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) { pManager->FreeProvider(hProvider); });
}

SECURITY_STATUS WINAPI KspFreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) { pManager->GetProvider(hProvider)->FreeKey(hKey); });
}

SECURITY_STATUS WINAPI KspEncrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                                  VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        ResolveKey(pManager, hProvider, hKey)
            ->Encrypt(pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspDecrypt(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                                  VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        ResolveKey(pManager, hProvider, hKey)
            ->Decrypt(pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspEnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations, DWORD *pdwAlgCount,
                                         NCryptAlgorithmName **ppAlgList, DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        pManager->GetProvider(hProvider)->EnumAlgorithms(dwAlgOperations, pdwAlgCount, ppAlgList, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspSignHash(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo,
                                   PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                   DWORD *pcbResult, DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        ResolveKey(pManager, hProvider, hKey)
            ->SignHash(pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, pcbResult, dwFlags);
    });
}

SECURITY_STATUS WINAPI KspVerifySignature(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo,
                                          PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                          DWORD dwFlags)
{
    return KspEntryFrame(true, [&](CKspProviderManager *pManager) {
        ResolveKey(pManager, hProvider, hKey)
            ->VerifySignature(pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, dwFlags);
    });
}
