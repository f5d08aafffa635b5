#include "KspModule.h"

#include "E2ERecord.h"

#include <cstdlib>

namespace e2e
{

namespace
{

std::string SlotLabel(const char *pszSlot, const char *pszLabel)
{
    return std::string(pszSlot) + "." + pszLabel;
}

SECURITY_STATUS Observe(const char *pszSlot, const char *pszLabel, SECURITY_STATUS status)
{
    Record(SlotLabel(pszSlot, pszLabel), status);
    return status;
}

SECURITY_STATUS Observe(const char *pszSlot, const char *pszLabel, SECURITY_STATUS status, const DWORD *pdwSize)
{
    if (pdwSize == nullptr) {
        Record(SlotLabel(pszSlot, pszLabel), status);
    } else {
        Record(SlotLabel(pszSlot, pszLabel), status, *pdwSize);
    }
    return status;
}

} // namespace

WString ModulePath()
{
#ifdef _WIN32
    WCHAR szPath[MAX_PATH] = {};
    const DWORD cch = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    WString strPath(szPath, cch);
    const size_t pos = strPath.find_last_of(L"\\/");
    strPath.resize(pos == WString::npos ? 0 : pos + 1);
    return strPath + L"QvnTpmKsp.dll";
#else
    const char *pszPath = std::getenv("QVN_E2E_MODULE");
#ifdef QVN_E2E_MODULE_PATH
    if (pszPath == nullptr || *pszPath == '\0') {
        pszPath = QVN_E2E_MODULE_PATH;
    }
#endif
    if (pszPath == nullptr) {
        return WString();
    }
    // Build paths are ASCII.
    WString strPath;
    for (const char *pch = pszPath; *pch != '\0'; ++pch) {
        strPath.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*pch)));
    }
    return strPath;
#endif
}

bool KspModule::Load(std::string &strError)
{
    Unload();
    const WString strPath = ModulePath();
    if (strPath.empty()) {
        strError = "the module's path is unknown (set QVN_E2E_MODULE)";
        return false;
    }
    m_hModule = LoadLibraryW(strPath.c_str());
    if (m_hModule == nullptr) {
        strError = "LoadLibraryW failed with " + std::to_string(GetLastError());
        return false;
    }
    FARPROC pfn = GetProcAddress(m_hModule, NCRYPT_KEY_STORAGE_INTERFACE_NAME);
    if (pfn == nullptr) {
        strError = "GetProcAddress(GetKeyStorageInterface) failed with " + std::to_string(GetLastError());
        Unload();
        return false;
    }
    m_pfnGetKeyStorageInterface = reinterpret_cast<GetKeyStorageInterfaceFn>(reinterpret_cast<void *>(pfn));
    return true;
}

void KspModule::Unload()
{
    if (m_hModule != nullptr) {
        FreeLibrary(m_hModule);
        m_hModule = nullptr;
        m_pfnGetKeyStorageInterface = nullptr;
    }
}

NTSTATUS KspModule::GetKeyStorageInterface(LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable,
                                           DWORD dwFlags) const
{
    return m_pfnGetKeyStorageInterface(pszProviderName, ppFunctionTable, dwFlags);
}

SECURITY_STATUS Ksp::OpenProvider(const char *pszLabel, NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName,
                                  DWORD dwFlags) const
{
    return Observe("OpenProvider", pszLabel, m_pTable->OpenProvider(phProvider, pszProviderName, dwFlags));
}

SECURITY_STATUS Ksp::OpenKey(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey,
                             LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) const
{
    return Observe("OpenKey", pszLabel, m_pTable->OpenKey(hProvider, phKey, pszKeyName, dwLegacyKeySpec, dwFlags));
}

SECURITY_STATUS Ksp::GetProviderProperty(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                         PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags) const
{
    return Observe("GetProviderProperty", pszLabel,
                   m_pTable->GetProviderProperty(hProvider, pszProperty, pbOutput, cbOutput, pcbResult, dwFlags),
                   pcbResult);
}

SECURITY_STATUS Ksp::FreeProvider(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider) const
{
    return Observe("FreeProvider", pszLabel, m_pTable->FreeProvider(hProvider));
}

SECURITY_STATUS Ksp::FreeKey(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) const
{
    return Observe("FreeKey", pszLabel, m_pTable->FreeKey(hProvider, hKey));
}

SECURITY_STATUS Ksp::Encrypt(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                             DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                             DWORD dwFlags) const
{
    return Observe(
        "Encrypt", pszLabel,
        m_pTable->Encrypt(hProvider, hKey, pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags),
        pcbResult);
}

SECURITY_STATUS Ksp::Decrypt(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                             DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                             DWORD dwFlags) const
{
    return Observe(
        "Decrypt", pszLabel,
        m_pTable->Decrypt(hProvider, hKey, pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags),
        pcbResult);
}

SECURITY_STATUS Ksp::EnumAlgorithms(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations,
                                    DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList, DWORD dwFlags) const
{
    return Observe("EnumAlgorithms", pszLabel,
                   m_pTable->EnumAlgorithms(hProvider, dwAlgOperations, pdwAlgCount, ppAlgList, dwFlags), pdwAlgCount);
}

SECURITY_STATUS Ksp::SignHash(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                              VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                              DWORD cbSignature, DWORD *pcbResult, DWORD dwFlags) const
{
    return Observe("SignHash", pszLabel,
                   m_pTable->SignHash(hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature,
                                      pcbResult, dwFlags),
                   pcbResult);
}

SECURITY_STATUS Ksp::VerifySignature(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                     VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                                     DWORD cbSignature, DWORD dwFlags) const
{
    return Observe("VerifySignature", pszLabel,
                   m_pTable->VerifySignature(hProvider, hKey, pPaddingInfo, pbHashValue, cbHashValue, pbSignature,
                                             cbSignature, dwFlags));
}

} // namespace e2e
