// The four simulated Quorvane CSPs: their names, provider types and the
// directory names of their key stores.
#ifndef QVN_CSP_PROVIDERS_H
#define QVN_CSP_PROVIDERS_H

#include <windows.h>

#include <string>

namespace qvn
{
namespace csp
{

struct ProviderInfo {
    const WCHAR *pszName;     // the CSP name, exactly as CryptAcquireContextW takes it
    DWORD dwProvType;         // PROV_RSA_FULL, PROV_RSA_SCHANNEL or PROV_RSA_AES
    const char *pszStoreName; // directory of its key containers under the store root
};

// Resolves the provider of a CryptAcquireContextW call. A null or empty name
// selects the default provider of the type (the first of the four with that
// type). Throws NTE_BAD_PROV_TYPE for a type of 0 or above 999,
// NTE_PROV_TYPE_NOT_DEF when no provider has the type (name absent),
// NTE_KEYSET_NOT_DEF for an unknown name and NTE_PROV_TYPE_NO_MATCH for a known
// name of another type. Names compare exactly (case-sensitive).
const ProviderInfo &ResolveProvider(LPCWSTR pszName, DWORD dwProvType);

// The provider of that exact name whatever its type, or null.
const ProviderInfo *FindProviderByName(LPCWSTR pszName);

// All four, for walking the store.
const ProviderInfo *AllProviders(size_t *pcProviders);

} // namespace csp
} // namespace qvn

#endif
