// The provider object behind every CNG provider handle, owning the key
// objects opened through it.
#ifndef KSP_BASE_PROVIDER_CONTEXT_H
#define KSP_BASE_PROVIDER_CONTEXT_H

#include <map>

#include "capi/KspBaseKeyContext.h"
#include "common/KspPlatform.h"
#include "common/KspString.h"

typedef std::map<NCRYPT_KEY_HANDLE, CKspBaseKeyContext *> KSP_KEY_MAP;

class CKspBaseProviderContext
{
public:
    virtual ~CKspBaseProviderContext();

    virtual void EnumAlgorithms(DWORD dwAlgOperations, DWORD *pdwAlgCount, NCryptAlgorithmName **ppAlgList,
                                DWORD dwFlags) = 0;
    virtual void Close() = 0;
    virtual void GetProviderProperty(LPCWSTR pszProperty, PBYTE pbOutput, DWORD cbOutput, DWORD *pcbResult,
                                     DWORD dwFlags) = 0;
    virtual void Open(DWORD dwFlags) = 0;
    virtual NCRYPT_KEY_HANDLE OpenKey(LPCWSTR pszKeyName, DWORD dwLegacyKeySpec, DWORD dwFlags) = 0;

    NCRYPT_PROV_HANDLE GetHandle() const { return m_hProvider; }
    // The key object under hKey in this provider's map; it stays owned here.
    CKspBaseKeyContext *GetKey(NCRYPT_KEY_HANDLE hKey);
    // Takes hKey out of the map, closes and destroys its key object.
    void FreeKey(NCRYPT_KEY_HANDLE hKey);
    // Destroys every key object, smallest handle first; never throws.
    void FreeAllKeys();

protected:
    explicit CKspBaseProviderContext(const KSP_WSTRING &strProviderName);

    // Enters a freshly opened key object under its handle and returns it.
    NCRYPT_KEY_HANDLE EnterKey(CKspBaseKeyContext *pKey);

    NCRYPT_PROV_HANDLE m_hProvider;
    KSP_KEY_MAP m_mapKeys;
    KSP_WSTRING m_strProviderName;

private:
    CKspBaseProviderContext(const CKspBaseProviderContext &);
    CKspBaseProviderContext &operator=(const CKspBaseProviderContext &);

    KSP_KEY_MAP::iterator FindKey(NCRYPT_KEY_HANDLE hKey);
};

#endif
