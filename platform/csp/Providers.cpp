#include "Providers.h"

#include "ContainerStore.h"
#include "CspError.h"

#include "kernel32/wide.h"

#include <wincrypt.h>

#include <fstream>
#include <sstream>

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

std::vector<RegisteredProvider> RegisteredProviders()
{
    std::vector<RegisteredProvider> registered;
    std::ifstream file(StoreRoot() + "/csp-providers");
    if (!file.is_open()) {
        for (const ProviderInfo &provider : g_providers) {
            registered.push_back({provider.pszName, provider.dwProvType});
        }
        return registered;
    }
    std::string strLine;
    while (std::getline(file, strLine)) {
        std::istringstream line(strLine);
        DWORD dwProvType = 0;
        std::string strName;
        if (line >> dwProvType && std::getline(line >> std::ws, strName) && !strName.empty()) {
            registered.push_back({ToUtf16(strName), dwProvType});
        }
    }
    if (file.bad()) {
        Fail(NTE_FAIL);
    }
    return registered;
}

const ProviderInfo &ResolveProvider(LPCWSTR pszName, DWORD dwProvType)
{
    if (dwProvType == 0 || dwProvType > kMaxProviderType) {
        Fail(NTE_BAD_PROV_TYPE);
    }
    const std::vector<RegisteredProvider> registered = RegisteredProviders();
    const RegisteredProvider *pChosen = nullptr;
    for (const RegisteredProvider &entry : registered) {
        const bool fNamed = pszName != nullptr && pszName[0] != 0;
        if (fNamed ? entry.strName == pszName : entry.dwProvType == dwProvType) {
            pChosen = &entry;
            break;
        }
    }
    if (pChosen == nullptr) {
        Fail(pszName == nullptr || pszName[0] == 0 ? NTE_PROV_TYPE_NOT_DEF : NTE_KEYSET_NOT_DEF);
    }
    if (pChosen->dwProvType != dwProvType) {
        Fail(NTE_PROV_TYPE_NO_MATCH);
    }
    const ProviderInfo *pProvider = FindProviderByName(pChosen->strName.c_str());
    if (pProvider == nullptr) {
        Fail(NTE_PROVIDER_DLL_FAIL); // registered, but there is no CSP of that name to load
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
