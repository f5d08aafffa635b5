// The four simulated Quorvane CSPs: their names, provider types and the
// directory names of their key stores.
#ifndef QVN_CSP_PROVIDERS_H
#define QVN_CSP_PROVIDERS_H

#include <windows.h>

#include <string>
#include <vector>

namespace qvn
{
namespace csp
{

struct ProviderInfo {
    const WCHAR *pszName;     // the CSP name, exactly as CryptAcquireContextW takes it
    DWORD dwProvType;         // PROV_RSA_FULL, PROV_RSA_SCHANNEL or PROV_RSA_AES
    const char *pszStoreName; // directory of its key containers under the store root
};

// A CSP as CryptoAPI's provider registry lists it: its name and type.
struct RegisteredProvider {
    std::u16string strName;
    DWORD dwProvType;
};

// The provider registry (on Windows the key Defaults\Provider under
// HKLM\SOFTWARE\Microsoft\Cryptography): the four CSPs with their own types, unless the store
// directory holds a file "csp-providers", whose "TYPE NAME" lines replace that
// list. An installation with a CSP missing or of another type is made by
// writing that file. Throws NTE_FAIL when the file cannot be read.
std::vector<RegisteredProvider> RegisteredProviders();

// Resolves the provider of a CryptAcquireContextW call through the registry.
// A null or empty name selects the default provider of the type (the first
// registered with that type). Throws NTE_BAD_PROV_TYPE for a type of 0 or
// above 999, NTE_PROV_TYPE_NOT_DEF when no provider has the type (name
// absent), NTE_KEYSET_NOT_DEF for an unregistered name, NTE_PROV_TYPE_NO_MATCH
// for a name registered with another type and NTE_PROVIDER_DLL_FAIL for a
// registered name that is none of the four. Names compare exactly.
const ProviderInfo &ResolveProvider(LPCWSTR pszName, DWORD dwProvType);

// The provider of that exact name whatever its type, or null.
const ProviderInfo *FindProviderByName(LPCWSTR pszName);

// All four, for walking the store.
const ProviderInfo *AllProviders(size_t *pcProviders);

} // namespace csp
} // namespace qvn

#endif
