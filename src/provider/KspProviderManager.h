// The process-wide owner of every provider object handed out, keyed by
// provider handle. Used only under g_csKsp, except by the teardown at
// process detach.
#ifndef KSP_PROVIDER_MANAGER_H
#define KSP_PROVIDER_MANAGER_H

#include <map>

#include "provider/KspBaseProviderContext.h"

typedef std::map<NCRYPT_PROV_HANDLE, CKspBaseProviderContext *> KSP_PROVIDER_MAP;

class CKspProviderManager
{
public:
    // The singleton, created on first use.
    static CKspProviderManager *GetInstance();
    // Destroys the singleton and everything still open; never throws.
    static void DestroyInstance();

    NCRYPT_PROV_HANDLE OpenProvider(LPCWSTR pszProviderName, DWORD dwFlags);
    void FreeProvider(NCRYPT_PROV_HANDLE hProvider);
    CKspBaseProviderContext *GetProvider(NCRYPT_PROV_HANDLE hProvider);

    ~CKspProviderManager();

private:
    CKspProviderManager();
    CKspProviderManager(const CKspProviderManager &);
    CKspProviderManager &operator=(const CKspProviderManager &);

    KSP_PROVIDER_MAP::iterator FindProvider(NCRYPT_PROV_HANDLE hProvider);

    KSP_PROVIDER_MAP m_mapProviders;

    static CKspProviderManager *s_pInstance;
};

#endif
