#include "Providers.h"

#include "CspError.h"

#include <wincrypt.h>

namespace qvn
{
namespace csp
{
namespace
{

const ProviderInfo g_providers[] = {
    {u"Quorvane Alder Cryptographic Provider", PROV_RSA_FULL, "alder"},
    {u"Quorvane Birch Cryptographic Provider", PROV_RSA_SCHANNEL, "birch"},
    {u"Quorvane Cedar Cryptographic Provider", PROV_RSA_AES, "cedar"},
    {u"Quorvane Dogwood Cryptographic Provider", PROV_RSA_FULL, "dogwood"},
};

// The highest provider type that CryptoAPI accepts at all.
constexpr DWORD kMaxProviderType = 999;

bool SameName(LPCWSTR pszA, LPCWSTR pszB)
{
    return std::char_traits<WCHAR>::length(pszA) == std::char_traits<WCHAR>::length(pszB) &&
           std::char_traits<WCHAR>::compare(pszA, pszB, std::char_traits<WCHAR>::length(pszA)) == 0;
}

} // namespace

const ProviderInfo *FindProviderByName(LPCWSTR pszName)
{
    if (pszName == nullptr) {
        return nullptr;
    }
    for (const ProviderInfo &provider : g_providers) {
        if (SameName(provider.pszName, pszName)) {
            return &provider;
        }
    }
    return nullptr;
}

const ProviderInfo &ResolveProvider(LPCWSTR pszName, DWORD dwProvType)
{
    if (dwProvType == 0 || dwProvType > kMaxProviderType) {
        Fail(NTE_BAD_PROV_TYPE);
    }
    if (pszName == nullptr || pszName[0] == 0) {
        for (const ProviderInfo &provider : g_providers) {
            if (provider.dwProvType == dwProvType) {
                return provider;
            }
        }
        Fail(NTE_PROV_TYPE_NOT_DEF);
    }
    const ProviderInfo *pProvider = FindProviderByName(pszName);
    if (pProvider == nullptr) {
        Fail(NTE_KEYSET_NOT_DEF);
    }
    if (pProvider->dwProvType != dwProvType) {
        Fail(NTE_PROV_TYPE_NO_MATCH);
    }
    return *pProvider;
}

const ProviderInfo *AllProviders(size_t *pcProviders)
{
    *pcProviders = sizeof(g_providers) / sizeof(g_providers[0]);
    return g_providers;
}

} // namespace csp
} // namespace qvn
