#include "provider/KspBaseProviderContext.h"

#include "common/KspError.h"
#include "provider/KspMapErrors.h"

CKspBaseProviderContext::CKspBaseProviderContext(const KSP_WSTRING &strProviderName)
    : m_hProvider(reinterpret_cast<NCRYPT_PROV_HANDLE>(this)), m_mapKeys(), m_strProviderName(strProviderName)
{
}

CKspBaseProviderContext::~CKspBaseProviderContext()
{
    FreeAllKeys();
}

KSP_KEY_MAP::iterator CKspBaseProviderContext::FindKey(NCRYPT_KEY_HANDLE hKey)
{
    // A handle from the caller is only ever a key into the map.
    KSP_KEY_MAP::iterator mapIterator = KspMapOperation([&] { return m_mapKeys.find(hKey); });
    if (mapIterator == m_mapKeys.end()) {
        throw CKspError(NTE_INVALID_HANDLE);
    }
    if (mapIterator->second == NULL) {
        throw CKspError(NTE_INTERNAL_ERROR);
    }
    return mapIterator;
}

CKspBaseKeyContext *CKspBaseProviderContext::GetKey(NCRYPT_KEY_HANDLE hKey)
{
    return FindKey(hKey)->second;
}

void CKspBaseProviderContext::FreeKey(NCRYPT_KEY_HANDLE hKey)
{
    KSP_KEY_MAP::iterator mapIterator = FindKey(hKey);
    CKspBaseKeyContext *pKey = mapIterator->second;
    KspMapOperation([&] { m_mapKeys.erase(mapIterator); });
    pKey->Close();
    delete pKey;
}

void CKspBaseProviderContext::FreeAllKeys()
{
    try {
        KSP_KEY_MAP::iterator mapIterator = m_mapKeys.begin();
        while (mapIterator != m_mapKeys.end()) {
            // The key object's destructor closes it.
            delete mapIterator->second;
            mapIterator = m_mapKeys.erase(mapIterator);
        }
    } catch (...) {
        // Teardown never fails; whatever goes wrong ends the walk.
    }
}

NCRYPT_KEY_HANDLE CKspBaseProviderContext::EnterKey(CKspBaseKeyContext *pKey)
{
    const NCRYPT_KEY_HANDLE hKey = pKey->GetHandle();
    KspMapOperation([&] { m_mapKeys[hKey] = pKey; });
    return hKey;
}
