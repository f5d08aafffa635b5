// The module as the CNG router sees it: a library loaded by path, its export
// GetKeyStorageInterface, and the function table that the export hands out.
#ifndef QVN_E2E_KSP_MODULE_H
#define QVN_E2E_KSP_MODULE_H

#include <windows.h>
#include <ncrypt.h>

#include <ncrypt_provider.h>

#include <string>

#include "E2EPlatform.h"

namespace e2e
{

// Where the module is: beside the test program on Windows; on Linux the path
// that the build passes in (QVN_E2E_MODULE in the environment wins).
WString ModulePath();

class KspModule
{
public:
    KspModule() = default;
    ~KspModule() { Unload(); }
    KspModule(const KspModule &) = delete;
    KspModule &operator=(const KspModule &) = delete;

    // LoadLibraryW and GetProcAddress; false with a reason on failure.
    bool Load(std::string &strError);
    // FreeLibrary, if loaded.
    void Unload();
    bool IsLoaded() const { return m_hModule != nullptr; }

    NTSTATUS GetKeyStorageInterface(LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE **ppFunctionTable,
                                    DWORD dwFlags) const;

private:
    HMODULE m_hModule = nullptr;
    GetKeyStorageInterfaceFn m_pfnGetKeyStorageInterface = nullptr;
};

// The ten implemented slots of a table, each call recorded (E2ERecord.h) as
// "<Slot>.<label>" with its status and, where the slot reports one, the size
// or count that it left behind.
class Ksp
{
public:
    explicit Ksp(const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *pTable) : m_pTable(pTable) {}

    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE &Table() const { return *m_pTable; }

    SECURITY_STATUS OpenProvider(const char *pszLabel, NCRYPT_PROV_HANDLE *phProvider, LPCWSTR pszProviderName,
                                 DWORD dwFlags) const;
    SECURITY_STATUS OpenKey(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE *phKey,
                            LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) const;
    SECURITY_STATUS GetProviderProperty(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszProperty,
                                        PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult, DWORD dwFlags) const;
    SECURITY_STATUS FreeProvider(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider) const;
    SECURITY_STATUS FreeKey(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey) const;
    SECURITY_STATUS Encrypt(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                            DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                            DWORD dwFlags) const;
    SECURITY_STATUS Decrypt(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput,
                            DWORD cbInput, VOID *pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                            DWORD dwFlags) const;
    SECURITY_STATUS EnumAlgorithms(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations,
                                   DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList, DWORD dwFlags) const;
    SECURITY_STATUS SignHash(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                             VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                             DWORD cbSignature, DWORD *pcbResult, DWORD dwFlags) const;
    SECURITY_STATUS VerifySignature(const char *pszLabel, NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey,
                                    VOID *pPaddingInfo, PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature,
                                    DWORD cbSignature, DWORD dwFlags) const;

private:
    const NCRYPT_KEY_STORAGE_FUNCTION_TABLE *m_pTable;
};

} // namespace e2e

#endif
