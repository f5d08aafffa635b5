#include "provider/KspProviderContext.h"

#include "common/KspError.h"

namespace
{

// "Impl Type": no implementation-type bit (not hardware).
const DWORD KSP_IMPL_TYPE = 0;
const DWORD KSP_VERSION = 0x00010000;
const DWORD KSP_MAX_NAME_LENGTH = 260;

} // namespace

CKspProviderContext::CKspProviderContext(const KSP_WSTRING &strProviderName) : CKspBaseProviderContext(strProviderName)
{
}

CKspProviderContext::~CKspProviderContext()
{
    CKspProviderContext::Close();
}

void CKspProviderContext::EnumAlgorithms(DWORD /*dwAlgOperations*/, DWORD *pdwAlgCount,
                                         NCryptAlgorithmName ** /*ppAlgList*/, DWORD /*dwFlags*/)
{
    // Every operation class gets the same empty answer; no list is
    // allocated, so there is never a buffer for the caller to free.
    if (pdwAlgCount == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    *pdwAlgCount = 0;
}

void CKspProviderContext::Close() {}

void CKspProviderContext::GetProviderProperty(LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                                              DWORD /*dwFlags*/)
{
    if (pszProperty == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    const KSP_WSTRING strProperty(pszProperty);
    // Checked before the name: a null size pointer wins over an unknown name.
    if (pcbResult == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    if (strProperty == NCRYPT_IMPL_TYPE_PROPERTY) {
        CopyPropertyValue(KSP_IMPL_TYPE, pbOutput, cbOutput, pcbResult);
    } else if (strProperty == NCRYPT_VERSION_PROPERTY) {
        CopyPropertyValue(KSP_VERSION, pbOutput, cbOutput, pcbResult);
    } else if (strProperty == NCRYPT_MAX_NAME_LENGTH_PROPERTY) {
        CopyPropertyValue(KSP_MAX_NAME_LENGTH, pbOutput, cbOutput, pcbResult);
    } else {
        throw CKspError(NTE_NOT_SUPPORTED);
    }
}

void CKspProviderContext::Open(DWORD /*dwFlags*/) {}

NCRYPT_KEY_HANDLE CKspProviderContext::OpenKey(LPCWSTR /*pszKeyName*/, DWORD /*dwLegacyKeySpec*/, DWORD /*dwFlags*/)
{
    throw CKspError(NTE_NOT_SUPPORTED);
}

void CopyPropertyValue(const DWORD &dwValue, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult)
{
    *pcbResult = sizeof(dwValue);
    if (pbOutput == NULL) {
        return;
    }
    if (cbOutput < sizeof(dwValue)) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    // The caller's buffer need not be aligned.
    memcpy(pbOutput, &dwValue, sizeof(dwValue));
}
