#include "capi/KspBaseKeyContext.h"

#include "common/KspError.h"

CKspBaseKeyContext::CKspBaseKeyContext(const KSP_WSTRING &strKeyName)
    : m_fMachineKey(false), m_fSilent(false), m_hKey(reinterpret_cast<NCRYPT_KEY_HANDLE>(this)),
      m_strKeyName(strKeyName)
{
}

CKspBaseKeyContext::~CKspBaseKeyContext() {}

void CKspBaseKeyContext::SetOpenFlags(DWORD dwFlags)
{
    if ((dwFlags & ~(NCRYPT_MACHINE_KEY_FLAG | NCRYPT_SILENT_FLAG)) != 0) {
        throw CKspError(NTE_BAD_FLAGS);
    }
    if ((dwFlags & NCRYPT_MACHINE_KEY_FLAG) != 0) {
        m_fMachineKey = true;
    }
    if ((dwFlags & NCRYPT_SILENT_FLAG) != 0) {
        m_fSilent = true;
    }
}
