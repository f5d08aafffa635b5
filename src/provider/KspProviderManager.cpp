#include "provider/KspProviderManager.h"

#include "capi/KspCAPIProviderContext.h"
#include "common/KspError.h"
#include "ksp/KspProviderNames.h"
#include "provider/KspMapErrors.h"
#include "provider/KspProviderContext.h"

CKspProviderManager *CKspProviderManager::s_pInstance = NULL;

CKspProviderManager::CKspProviderManager() : m_mapProviders() {}

CKspProviderManager::~CKspProviderManager()
{
    // Everything still open goes, smallest handle first; each provider
    // object's destructor closes it and destroys its keys.
    try {
        KSP_PROVIDER_MAP::iterator mapIterator = m_mapProviders.begin();
        while (mapIterator != m_mapProviders.end()) {
            delete mapIterator->second;
            mapIterator = m_mapProviders.erase(mapIterator);
        }
    } catch (...) {
        // Teardown never fails; whatever goes wrong ends the walk.
    }
}

CKspProviderManager *CKspProviderManager::GetInstance()
{
    // Only ever called with g_csKsp held, so the lazy creation needs no lock.
    if (s_pInstance == NULL) {
        s_pInstance = new CKspProviderManager();
    }
    return s_pInstance;
}

void CKspProviderManager::DestroyInstance()
{
    try {
        delete s_pInstance;
    } catch (...) {
        // Process detach never fails on this account.
    }
    s_pInstance = NULL;
}

NCRYPT_PROV_HANDLE CKspProviderManager::OpenProvider(LPCWSTR pszProviderName, DWORD dwFlags)
{
    if (pszProviderName == NULL) {
        throw CKspError(NTE_INVALID_PARAMETER);
    }
    const KSP_WSTRING strProviderName(pszProviderName);

    CKspBaseProviderContext *pProvider = NULL;
    if (IsCapiProviderName(strProviderName)) {
        pProvider = new CKspCapiProviderContext(strProviderName);
    } else if (strProviderName == KSP_PROVIDER_NAME) {
        pProvider = new CKspProviderContext(strProviderName);
    } else {
        throw CKspError(NTE_INVALID_PARAMETER);
    }

    try {
        pProvider->Open(dwFlags);
        const NCRYPT_PROV_HANDLE hProvider = pProvider->GetHandle();
        KspMapOperation([&] { m_mapProviders[hProvider] = pProvider; });
        return hProvider;
    } catch (...) {
        // Never entered in the map, so no handle names it.
        delete pProvider;
        throw;
    }
}

KSP_PROVIDER_MAP::iterator CKspProviderManager::FindProvider(NCRYPT_PROV_HANDLE hProvider)
{
    // A handle from the caller is only ever a key into the map.
    KSP_PROVIDER_MAP::iterator mapIterator = KspMapOperation([&] { return m_mapProviders.find(hProvider); });
    if (mapIterator == m_mapProviders.end()) {
        throw CKspError(NTE_INVALID_HANDLE);
    }
    if (mapIterator->second == NULL) {
        throw CKspError(NTE_INTERNAL_ERROR);
    }
    return mapIterator;
}

void CKspProviderManager::FreeProvider(NCRYPT_PROV_HANDLE hProvider)
{
    KSP_PROVIDER_MAP::iterator mapIterator = FindProvider(hProvider);
    CKspBaseProviderContext *pProvider = mapIterator->second;
    KspMapOperation([&] { m_mapProviders.erase(mapIterator); });
    pProvider->Close();
    delete pProvider;
}

CKspBaseProviderContext *CKspProviderManager::GetProvider(NCRYPT_PROV_HANDLE hProvider)
{
    return FindProvider(hProvider)->second;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE /*hinstDLL*/, DWORD fdwReason, LPVOID /*lpvReserved*/)
{
    // Nothing happens at attach: the static objects exist already and the
    // manager is created by the first entry that needs it. At detach, on
    // FreeLibrary and at process end alike, everything still open goes.
    if (fdwReason == DLL_PROCESS_DETACH) {
        CKspProviderManager::DestroyInstance();
    }
    return TRUE;
}
